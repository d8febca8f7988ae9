#pragma once
// Immutable byte buffers made of shared regions: appending and slicing share the regions and
// copy no bytes (the read and output buffers of a connection, and the slices handed to read
// requests).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class WSDispatchData {
public:
  WSDispatchData() = default;
  /// One region owning `bytes`.
  explicit WSDispatchData(std::vector<std::uint8_t> bytes);
  explicit WSDispatchData(std::shared_ptr<const std::vector<std::uint8_t>> bytes);

  std::uint64_t size() const { return _size; }
  bool empty() const { return _size == 0; }

  /// This buffer followed by `other` (regions shared).
  WSDispatchData concat(const WSDispatchData& other) const;
  /// Appends `other`'s regions to this buffer.
  void append(const WSDispatchData& other);
  /// A view of `length` bytes from `offset` (clamped to the end).
  WSDispatchData subrange(std::uint64_t offset, std::uint64_t length) const;

  /// Calls `f(span)` for each region in order; stops when `f` returns false.
  template <class F> void applyRegions(F&& f) const {
    for (const Region& r : _regions)
      if (!f(std::span<const std::uint8_t>(r.bytes->data() + r.offset, r.length))) return;
  }

  /// The bytes as one contiguous span: the region itself when there is only one, else a copy
  /// kept in `storage`.
  std::span<const std::uint8_t> map(std::vector<std::uint8_t>& storage) const;
  std::vector<std::uint8_t> copyBytes() const;
  std::size_t regionCount() const { return _regions.size(); }

private:
  struct Region {
    std::shared_ptr<const std::vector<std::uint8_t>> bytes;
    std::size_t offset;
    std::size_t length;
  };
  void pushRegion(Region region);

  std::vector<Region> _regions;
  /// The end offset of each region, for finding the region of an offset by binary search.
  std::vector<std::uint64_t> _ends;
  std::uint64_t _size = 0;
};
