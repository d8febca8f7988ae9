#include "websocket/WSDispatchData.hpp"

#include <algorithm>

WSDispatchData::WSDispatchData(std::vector<std::uint8_t> bytes)
    : WSDispatchData(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))) {}

WSDispatchData::WSDispatchData(std::shared_ptr<const std::vector<std::uint8_t>> bytes) {
  if (!bytes || bytes->empty()) return;
  _size = bytes->size();
  _regions.push_back({std::move(bytes), 0, static_cast<std::size_t>(_size)});
}

WSDispatchData WSDispatchData::concat(const WSDispatchData& other) const {
  WSDispatchData result = *this;
  result.append(other);
  return result;
}

void WSDispatchData::append(const WSDispatchData& other) {
  _regions.insert(_regions.end(), other._regions.begin(), other._regions.end());
  _size += other._size;
}

WSDispatchData WSDispatchData::subrange(std::uint64_t offset, std::uint64_t length) const {
  WSDispatchData result;
  if (offset >= _size) return result;
  length = std::min(length, _size - offset);
  std::uint64_t position = 0;
  for (const Region& r : _regions) {
    if (length == 0) break;
    std::uint64_t end = position + r.length;
    if (end > offset) {
      std::uint64_t start = offset > position ? offset - position : 0;
      std::uint64_t take = std::min<std::uint64_t>(r.length - start, length);
      result._regions.push_back(
          {r.bytes, r.offset + static_cast<std::size_t>(start), static_cast<std::size_t>(take)});
      result._size += take;
      length -= take;
      offset += take;
    }
    position = end;
  }
  return result;
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
