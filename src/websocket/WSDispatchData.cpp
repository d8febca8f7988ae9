#include "websocket/WSDispatchData.hpp"

#include <algorithm>
#include <cstring>

WSDispatchData::WSDispatchData(std::vector<std::uint8_t> bytes)
    : WSDispatchData(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))) {}

WSDispatchData::WSDispatchData(std::shared_ptr<const std::vector<std::uint8_t>> bytes) {
  if (!bytes || bytes->empty()) return;
  std::size_t length = bytes->size();
  pushRegion({std::move(bytes), 0, length});
}

WSDispatchData::WSDispatchData(std::shared_ptr<const std::vector<std::uint8_t>> bytes, std::size_t offset,
                               std::size_t length) {
  if (!bytes || length == 0) return;
  pushRegion({std::move(bytes), offset, length});
}

WSDispatchData WSDispatchData::concat(const WSDispatchData& other) const {
  WSDispatchData result = *this;
  result.append(other);
  return result;
}

void WSDispatchData::append(const WSDispatchData& other) {
  for (const Region& r : other._regions) pushRegion(r);
}

void WSDispatchData::clear() {
  _regions.clear();
  _ends.clear();
  _size = 0;
}

void WSDispatchData::pushRegion(Region region) {
  _size += region.length;
  if (!_regions.empty()) {
    Region& last = _regions.back();
    if (last.bytes == region.bytes && last.offset + last.length == region.offset) {
      last.length += region.length;
      _ends.back() = _size;
      return;
    }
  }
  _regions.push_back(std::move(region));
  _ends.push_back(_size);
}

WSDispatchData WSDispatchData::subrange(std::uint64_t offset, std::uint64_t length) const {
  WSDispatchData result;
  if (offset >= _size) return result;
  length = std::min(length, _size - offset);
  if (length == 0) return result;
  std::size_t index = regionIndex(offset);
  std::uint64_t regionStart = index == 0 ? 0 : _ends[index - 1];
  for (; length > 0 && index < _regions.size(); ++index) {
    const Region& r = _regions[index];
    std::uint64_t skip = offset - regionStart;
    std::uint64_t take = std::min<std::uint64_t>(r.length - skip, length);
    result.pushRegion({r.bytes, r.offset + static_cast<std::size_t>(skip), static_cast<std::size_t>(take)});
    length -= take;
    offset += take;
    regionStart += r.length;
  }
  return result;
}

std::size_t WSDispatchData::regionIndex(std::uint64_t offset) const {
  // Nearly every lookup is at the front (a reader consuming in order): no search for those.
  if (offset < _ends.front()) return 0;
  // The first region that ends after `offset`, by the regions' end offsets.
  return static_cast<std::size_t>(std::upper_bound(_ends.begin(), _ends.end(), offset) - _ends.begin());
}

std::size_t WSDispatchData::copyBytes(std::uint64_t offset, std::uint8_t* destination,
                                      std::size_t length) const {
  std::size_t copied = 0;
  applyRegions(offset, length, [&](std::span<const std::uint8_t> region) {
    std::memcpy(destination + copied, region.data(), region.size());
    copied += region.size();
    return true;
  });
  return copied;
}

std::span<const std::uint8_t> WSDispatchData::map(std::vector<std::uint8_t>& storage) const {
  if (_regions.empty()) return {};
  if (_regions.size() == 1) return {_regions[0].bytes->data() + _regions[0].offset, _regions[0].length};
  storage = copyBytes();
  return storage;
}

std::vector<std::uint8_t> WSDispatchData::copyBytes() const {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(_size));
  applyRegions([&](std::span<const std::uint8_t> region) {
    bytes.insert(bytes.end(), region.begin(), region.end());
    return true;
  });
  return bytes;
}
