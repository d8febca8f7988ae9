#include "websocket/detail/WSRandom.hpp"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <string>

namespace {
std::atomic<WSRandomSource> gRandomSource{nullptr};

void FillFrom(WSRandomSource source, std::span<std::uint8_t> bytes) {
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

// Small draws (a masking key for every frame, handshake keys) come from a per-thread pool that
// one RAND_bytes call refills. OpenSSL 3 spends far more per call (parameter lookups, a cipher
// context re-initialised) than on the bytes themselves: one call per frame was a third of the
// time spent sending small messages. The bytes are the same generator's and each is handed out
// once and then wiped; a forked child drops the pool it inherited, so that parent and child never
// hand out the same keys.
constexpr std::size_t kPoolSize = 512;
constexpr std::size_t kPooledDrawMax = 16;
std::atomic<unsigned> gForkGeneration{0};
std::once_flag gForkHandlerOnce;

struct Pool {
  std::array<std::uint8_t, kPoolSize> bytes{};
  std::size_t used = kPoolSize;
  unsigned generation = 0;
};
thread_local Pool tPool;

void FillFromPool(std::span<std::uint8_t> bytes) {
  std::call_once(gForkHandlerOnce, [] {
    ::pthread_atfork(nullptr, nullptr, [] { gForkGeneration.fetch_add(1, std::memory_order_relaxed); });
  });
  Pool& pool = tPool;
  const unsigned generation = gForkGeneration.load(std::memory_order_relaxed);
  if (pool.generation != generation || kPoolSize - pool.used < bytes.size()) {
    FillFrom(RAND_bytes, pool.bytes);
    pool.used = 0;
    pool.generation = generation;
  }
  std::memcpy(bytes.data(), pool.bytes.data() + pool.used, bytes.size());
  std::memset(pool.bytes.data() + pool.used, 0, bytes.size());
  pool.used += bytes.size();
}
} // namespace

void WSSetRandomSourceForTesting(WSRandomSource source) { gRandomSource.store(source); }

void WSRandomFill(std::span<std::uint8_t> bytes) {
  // An empty span may carry a null pointer, which memcpy must never see.
  if (bytes.empty()) return;
  if (WSRandomSource source = gRandomSource.load()) {
    FillFrom(source, bytes);
    return;
  }
  if (bytes.size() <= kPooledDrawMax)
    FillFromPool(bytes);
  else
    FillFrom(RAND_bytes, bytes);
}

std::vector<std::uint8_t> WSRandomData(std::uint64_t length) {
  std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
  WSRandomFill(data);
  return data;
}
