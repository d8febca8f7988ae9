#include "websocket/detail/WSRandom.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/random.h>

namespace {
std::atomic<WSRandomSource> gRandomSource{nullptr};

[[noreturn]] void Fail(long status) {
  throw WSInternalInconsistencyException("Failed to generate random bytes with OSStatus: " +
                                         std::to_string(status));
}

void FillFrom(WSRandomSource source, std::span<std::uint8_t> bytes) {
  // The source takes an int length: hand larger buffers over in pieces.
  std::size_t done = 0;
  while (done < bytes.size()) {
    const int piece = static_cast<int>(std::min<std::size_t>(bytes.size() - done, INT_MAX));
    const int result = source(bytes.data() + done, piece);
    if (result != 1) Fail(result);
    done += static_cast<std::size_t>(piece);
  }
}

// The kernel's generator (getrandom(2) on the urandom source: it blocks only until the generator
// is seeded, once after boot). libcrypto's RAND_bytes would be as good, but in OpenSSL 3 its first
// call starts the provider machinery (configuration, default provider, a DRBG), which maps about
// 2 MiB of the library into a plug-in that otherwise only talks plain ws:// on loopback.
void FillFromKernel(std::span<std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    // Requests above 32 MiB - 1 and a signal during a large request end in short reads: go on.
    const ssize_t got = ::getrandom(bytes.data() + done, bytes.size() - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
    }
    done += static_cast<std::size_t>(got);
  }
}

// Small draws (a masking key for every frame, handshake keys) come from a per-thread pool that
// one getrandom call refills. A system call per frame costs more than the bytes themselves (one
// RAND_bytes call per frame, as it was, was a third of the time spent sending small messages).
// The bytes are the same generator's and each is handed out once and then wiped; a forked child
// drops the pool it inherited, so that parent and child never hand out the same keys.
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
    FillFromKernel(pool.bytes);
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
    FillFromKernel(bytes);
}

std::vector<std::uint8_t> WSRandomData(std::uint64_t length) {
  std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
  WSRandomFill(data);
  return data;
}
