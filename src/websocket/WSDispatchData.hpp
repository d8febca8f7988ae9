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
  /// One region: `length` bytes of `bytes` from `offset` (the caller keeps them in range).
  WSDispatchData(std::shared_ptr<const std::vector<std::uint8_t>> bytes, std::size_t offset,
                 std::size_t length);

  std::uint64_t size() const { return _size; }
  bool empty() const { return _size == 0; }

  /// This buffer followed by `other` (regions shared).
  WSDispatchData concat(const WSDispatchData& other) const;
  /// Appends `other`'s regions to this buffer. A region that continues the last one in the same
  /// bytes extends it, so reads into one block and frames composed into one block stay a region.
  void append(const WSDispatchData& other);
  void clear();
  /// A view of `length` bytes from `offset` (clamped to the end).
  WSDispatchData subrange(std::uint64_t offset, std::uint64_t length) const;

  /// Calls `f(span)` for each region in order; stops when `f` returns false.
  template <class F> void applyRegions(F&& f) const {
    for (const Region& r : _regions)
      if (!f(std::span<const std::uint8_t>(r.bytes->data() + r.offset, r.length))) return;
  }

  /// Calls `f(span)` for the regions of `length` bytes from `offset` (clamped to the end), without
  /// making a slice; stops when `f` returns false.
  template <class F> void applyRegions(std::uint64_t offset, std::uint64_t length, F&& f) const {
    if (offset >= _size) return;
    if (length > _size - offset) length = _size - offset;
    std::size_t index = regionIndex(offset);
    std::uint64_t skip = offset - (index == 0 ? 0 : _ends[index - 1]);
    for (; length > 0 && index < _regions.size(); ++index, skip = 0) {
      const Region& r = _regions[index];
      const std::uint64_t take = r.length - skip < length ? r.length - skip : length;
      if (!f(std::span<const std::uint8_t>(r.bytes->data() + r.offset + skip,
                                           static_cast<std::size_t>(take))))
        return;
      length -= take;
    }
  }
  /// Copies up to `length` bytes from `offset` to `destination`; returns how many were copied.
  std::size_t copyBytes(std::uint64_t offset, std::uint8_t* destination, std::size_t length) const;

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
  /// The index of the region holding `offset` (< size()).
  std::size_t regionIndex(std::uint64_t offset) const;

  std::vector<Region> _regions;
  /// The end offset of each region, for finding the region of an offset by binary search.
  std::vector<std::uint64_t> _ends;
  std::uint64_t _size = 0;
};
