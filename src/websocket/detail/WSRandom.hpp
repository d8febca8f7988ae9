#pragma once
// Cryptographically secure random bytes (the kernel's, through getrandom(2)) for handshake keys
// and masking keys. Callable from any thread: small draws come from a per-thread pool that one
// getrandom call refills (a forked child starts a new pool); the testing seam bypasses it.

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
/// "Failed to generate random bytes with OSStatus: %d" when the source fails (the errno of
/// getrandom, or what a testing source returned), and
/// std::bad_alloc / std::length_error when the buffer cannot be allocated.
std::vector<std::uint8_t> WSRandomData(std::uint64_t length);
/// Fills `bytes` with random bytes, without allocating (masking keys). Throws as WSRandomData.
void WSRandomFill(std::span<std::uint8_t> bytes);

/// A replacement random source with RAND_bytes's signature: fills `length` bytes and returns 1
/// on success, anything else on failure.
using WSRandomSource = int (*)(unsigned char* bytes, int length);
/// Replaces the random source (nullptr restores getrandom). For tests: a failing or a
/// predictable source. Atomic, but meant to be set while no connection runs.
void WSSetRandomSourceForTesting(WSRandomSource source);
