#pragma once
// RFC 6455 section 5.3 masking: byte i of the payload is XORed with key byte (i mod 4).
// Masking and unmasking are the same operation. Stateless; callable from any thread.

#include <cstdint>

/// XORs `length` bytes at `bytes` in place with the repeated 4-byte `maskKey`. Bytes before the
/// first 16-byte boundary are done one at a time, then 32-byte blocks as two aligned 16-byte
/// vector operations, then the tail one at a time.
void WSMaskBytesSIMD(std::uint8_t* bytes, std::uint64_t length, const std::uint8_t* maskKey);

/// The same for a chunk that starts `keyOffset` bytes into a masked payload: byte i is XORed with
/// key byte ((keyOffset + i) mod 4).
void WSMaskBytesSIMD(std::uint8_t* bytes, std::uint64_t length, const std::uint8_t* maskKey,
                     std::uint64_t keyOffset);
