// Property: a proxy's answer to CONNECT gives the same verdict whether it arrives in one piece,
// in two pieces split at any point (taken from the input's first byte) or byte by byte: the
// same result, status and header fields, and for an open tunnel the same leftover, which is the
// tail of the input. Accepted means a status below 299; the reader never holds an undecided head
// beyond its cap.

#include "websocket/proxy/WSHTTPConnect.hpp"

#include <algorithm>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

struct Outcome {
  WSHTTPConnectResponseReader::Result result;
  int status;
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::uint8_t> leftover;
  bool operator==(const Outcome&) const = default;
};

Outcome Finish(WSHTTPConnectResponseReader& reader) {
  return {reader.result(), reader.statusCode(), reader.headerFields(), reader.takeLeftover()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // With the first byte's top bit, the rest's first byte is repeated to reach the head cap
  // (65,536 - 4 + byte 1's value) before the rest follows: heads at and beyond the cap.
  std::vector<std::uint8_t> stretched;
  if (data[0] & 0x80) {
    stretched.assign(64 * 1024 - 4 + data[1], data[2 % size]);
    stretched.insert(stretched.end(), data + 2, data + size);
  }
  const std::span<const std::uint8_t> input = stretched.empty()
                                                  ? std::span<const std::uint8_t>(data + 1, size - 1)
                                                  : std::span<const std::uint8_t>(stretched);
  const std::size_t split = input.empty() ? 0 : (data[0] * 1021u) % (input.size() + 1);

  WSHTTPConnectResponseReader whole;
  whole.feed(input.data(), input.size());
  WSHTTPConnectResponseReader halves;
  halves.feed(input.data(), split);
  halves.feed(input.data() + split, input.size() - split);
  WSHTTPConnectResponseReader bytes;
  for (std::uint8_t byte : input) bytes.feed(&byte, 1);

  using Result = WSHTTPConnectResponseReader::Result;
  (void)whole.headerFieldsDescription();
  const Outcome a = Finish(whole);
  Outcome b = Finish(halves), c = Finish(bytes);
  if (a.result != Result::Accepted)
    b.leftover = c.leftover = a.leftover; // a refused tunnel has no use for them
  if (!(a == b) || !(a == c)) std::abort();

  if (a.result == Result::NeedMore) {
    if (input.size() > 64 * 1024 || !a.leftover.empty())
      std::abort(); // an undecided head stays under the cap
    return 0;
  }
  if (a.status < 0 || a.status > 999) std::abort();
  if ((a.result == Result::Accepted) != (a.status < 299)) std::abort();
  if (a.result == Result::Refused) {
    (void)whole.failureDescription();
    return 0;
  }
  // The leftover is the tail of the input: the tunnel's first bytes after the blank line.
  if (a.leftover.size() > input.size()) std::abort();
  if (!std::equal(a.leftover.begin(), a.leftover.end(),
                  input.end() - static_cast<std::ptrdiff_t>(a.leftover.size())))
    std::abort();
  return 0;
}
