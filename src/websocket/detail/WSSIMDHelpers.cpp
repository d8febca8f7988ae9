#include "websocket/detail/WSSIMDHelpers.hpp"

#include <cstddef>
#include <cstring>

namespace {

// A 16-byte vector in the compiler's generic vector extension (GCC and Clang): SSE2 on x86-64,
// NEON elsewhere, plain words where neither exists. The XOR of two of them is one instruction.
typedef std::uint8_t Vec16 __attribute__((vector_size(16), __may_alias__));

void MaskScalar(std::uint8_t* bytes, std::uint64_t length, const std::uint8_t* key, std::uint64_t keyOffset) {
  // Eight bytes at a time through a word of the key repeated from the right phase (the copies
  // make unaligned access well defined), then the last few bytes one at a time. Small frames,
  // the usual case here, never reach the vector loop, so this matters for them.
  std::uint64_t i = 0;
  if (length >= 8) {
    std::uint8_t pattern[8];
    for (std::size_t j = 0; j < 8; ++j) pattern[j] = key[(keyOffset + j) & 3];
    std::uint64_t word;
    std::memcpy(&word, pattern, sizeof word);
    for (; i + 8 <= length; i += 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, bytes + i, sizeof chunk);
      chunk ^= word;
      std::memcpy(bytes + i, &chunk, sizeof chunk);
    }
  }
  for (; i < length; ++i) bytes[i] ^= key[(keyOffset + i) & 3];
}

} // namespace

void WSMaskBytesSIMD(std::uint8_t* bytes, std::uint64_t length, const std::uint8_t* maskKey) {
  WSMaskBytesSIMD(bytes, length, maskKey, 0);
}

void WSMaskBytesSIMD(std::uint8_t* bytes, std::uint64_t length, const std::uint8_t* maskKey,
                     std::uint64_t keyOffset) {
  // Prefix: the bytes up to the next 16-byte boundary, so that every block below is two
  // aligned vector loads and stores.
  const std::uint64_t prefix = (16 - (reinterpret_cast<std::uintptr_t>(bytes) & 15)) & 15;
  if (prefix > length || length - prefix < 32) {
    MaskScalar(bytes, length, maskKey, keyOffset);
    return;
  }
  MaskScalar(bytes, prefix, maskKey, keyOffset);

  // The key repeated, rotated so that pattern byte j lines up with payload index prefix + j.
  alignas(16) std::uint8_t pattern[16];
  for (std::size_t j = 0; j < 16; ++j) pattern[j] = maskKey[(keyOffset + prefix + j) & 3];
  Vec16 key;
  std::memcpy(&key, pattern, sizeof key);

  std::uint8_t* p = bytes + prefix;
  const std::uint64_t blocks = (length - prefix) / 32;
  // `p` is 16-byte aligned here, and Vec16 is declared may_alias (as the SSE2 types are), so
  // viewing the payload through it is neither misaligned nor a strict-aliasing violation.
  for (std::uint64_t b = 0; b < blocks; ++b, p += 32) {
    Vec16* v = reinterpret_cast<Vec16*>(__builtin_assume_aligned(p, 16));
    v[0] ^= key;
    v[1] ^= key;
  }

  // Tail: 32 is a multiple of 4, so the tail starts at key phase (keyOffset + prefix) again.
  MaskScalar(p, length - prefix - blocks * 32, maskKey, keyOffset + prefix);
}
