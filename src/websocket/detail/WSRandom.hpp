#pragma once
// Cryptographically secure random bytes (OpenSSL's RAND_bytes) for handshake keys and
// masking keys. Callable from any thread: small draws come from a per-thread pool that one
// RAND_bytes call refills (a forked child starts a new pool); the testing seam bypasses it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

/// Thrown when the random source fails. Nothing can go on safely without random keys, so
/// callers do not catch it: on a queue it ends the program.
class WSInternalInconsistencyException : public std::logic_error {
public:
  using std::logic_error::logic_error;
};

/// A buffer of `length` random bytes. Throws WSInternalInconsistencyException with
/// "Failed to generate random bytes with OSStatus: %d" when the source fails, and
/// std::bad_alloc / std::length_error when the buffer cannot be allocated.
std::vector<std::uint8_t> WSRandomData(std::uint64_t length);
/// Fills `bytes` with random bytes, without allocating (masking keys). Throws as WSRandomData.
void WSRandomFill(std::span<std::uint8_t> bytes);

/// The random source: RAND_bytes's signature, returning 1 on success.
using WSRandomSource = int (*)(unsigned char* bytes, int length);
/// Replaces the random source (nullptr restores RAND_bytes). For tests: a failing or a
/// predictable source. Atomic, but meant to be set while no connection runs.
void WSSetRandomSourceForTesting(WSRandomSource source);
