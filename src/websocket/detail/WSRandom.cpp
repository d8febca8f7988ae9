#include "websocket/detail/WSRandom.hpp"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <string>

namespace {
std::atomic<WSRandomSource> gRandomSource{nullptr};
}

void WSSetRandomSourceForTesting(WSRandomSource source) { gRandomSource.store(source); }

void WSRandomFill(std::span<std::uint8_t> bytes) {
  WSRandomSource source = gRandomSource.load();
  if (!source) source = RAND_bytes;
  // RAND_bytes takes an int length: hand larger buffers over in pieces.
  std::size_t done = 0;
  while (done < bytes.size()) {
    const int piece = static_cast<int>(std::min<std::size_t>(bytes.size() - done, INT_MAX));
    const int result = source(bytes.data() + done, piece);
    if (result != 1) {
      // The library's error code says why; without one, RAND_bytes's own result does.
      const unsigned long code = ERR_get_error();
      const long status = code != 0 ? static_cast<long>(code & 0x7FFFFFFF) : static_cast<long>(result);
      throw WSInternalInconsistencyException("Failed to generate random bytes with OSStatus: " +
                                             std::to_string(status));
    }
    done += static_cast<std::size_t>(piece);
  }
}

std::vector<std::uint8_t> WSRandomData(std::uint64_t length) {
  std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
  WSRandomFill(data);
  return data;
}
