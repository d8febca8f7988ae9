// Property: the reader's loop over a text message arriving in chunks (the partial check with a
// running scan position, then the full check at the end) reaches the same verdict as checking
// the whole message at once, wherever the chunks are cut. The first input byte picks the cuts.

#include "platform/UTF8.hpp"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 7;
  const std::span<const std::uint8_t> message(data + 1, size - 1);

  std::vector<std::uint8_t> received;
  std::size_t scan = 0;
  bool failed = false;
  for (std::size_t at = 0; at < message.size() && !failed; at += step) {
    const auto chunk = message.subspan(at, std::min(step, message.size() - at));
    received.insert(received.end(), chunk.begin(), chunk.end());
    const auto result = platform::ValidateUTF8Partial(std::span(received).subspan(scan));
    if (result < 0)
      failed = true;
    else
      scan += static_cast<std::size_t>(result);
    if (scan > received.size()) std::abort();
  }
  const bool chunkedVerdict = !failed && platform::IsValidUTF8(received);
  if (chunkedVerdict != platform::IsValidUTF8(message)) std::abort();
  if (platform::UTF8ValidPrefixLength(message) > message.size()) std::abort();
  return 0;
}
