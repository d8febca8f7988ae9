// Property: a response head parses the same whether it arrives in one piece or in two pieces
// split at any point (the split is taken from the input's first byte): the same completion,
// failure, status, fields and number of bytes taken. The parser never takes more bytes than it
// was given, and never holds more than the 64 KiB cap.

#include "websocket/detail/WSHTTPConnectMessage.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t split = data[0] % size;
  const std::span<const std::uint8_t> input(data + 1, size - 1);

  WSHTTPResponse whole;
  const std::size_t takenWhole = whole.appendBytes(input);

  WSHTTPResponse pieces;
  const std::size_t first = pieces.appendBytes(input.first(std::min(split, input.size())));
  const std::size_t second = pieces.appendBytes(input.subspan(std::min(split, input.size())));

  if (takenWhole > input.size() || first + second > input.size()) std::abort();
  if (whole.isHeaderComplete() != pieces.isHeaderComplete()) std::abort();
  if (whole.isHeaderComplete()) {
    if (takenWhole != first + second || takenWhole > WSMaxHTTPHeadSize) std::abort();
    if (whole.statusCode() != pieces.statusCode() || whole.allHeaderFields() != pieces.allHeaderFields())
      std::abort();
    if (whole.statusCode() < 0 || whole.statusCode() > 999) std::abort(); // three digits, any value
    WSCheckHandshake(whole, "dGhlIHNhbXBsZSBub25jZQ==");
  }
  return 0;
}
