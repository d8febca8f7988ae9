#include "websocket/detail/WSSIMDHelpers.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

void ReferenceMask(std::uint8_t* bytes, std::uint64_t length, const std::uint8_t* key,
                   std::uint64_t keyOffset) {
  for (std::uint64_t i = 0; i < length; ++i) bytes[i] ^= key[(keyOffset + i) % 4];
}

std::uint8_t Pattern(std::size_t i) { return static_cast<std::uint8_t>(i * 131 + 17); }

} // namespace

// Exhaustive rather than clever: the vector path has three pieces (prefix to the 16-byte
// boundary, 32-byte blocks, tail) whose seams depend on the address's alignment, the key phase
// and the length. Every alignment x key phase x length up to 300 crosses every seam; bytes
// around the range must stay untouched.
TEST(WSMaskBytesSIMDTest, MatchesScalarForEveryAlignmentOffsetAndLength) {
  const std::uint8_t key[4] = {0x12, 0x9A, 0xF0, 0x3C};
  alignas(64) std::uint8_t buffer[512];
  alignas(64) std::uint8_t expected[512];
  for (std::size_t alignment = 0; alignment < 16; ++alignment) {
    for (std::uint64_t keyOffset = 0; keyOffset < 4; ++keyOffset) {
      for (std::uint64_t length = 0; length <= 300; ++length) {
        for (std::size_t i = 0; i < sizeof buffer; ++i) buffer[i] = expected[i] = Pattern(i);
        ReferenceMask(expected + 16 + alignment, length, key, keyOffset);
        if (keyOffset == 0)
          WSMaskBytesSIMD(buffer + 16 + alignment, length, key);
        else
          WSMaskBytesSIMD(buffer + 16 + alignment, length, key, keyOffset);
        ASSERT_EQ(std::memcmp(buffer, expected, sizeof buffer), 0)
            << "alignment " << alignment << " key offset " << keyOffset << " length " << length;
      }
    }
  }
}

// Large buffers at every alignment, and a key offset past 4 (a running payload index).
TEST(WSMaskBytesSIMDTest, LargeBuffersAndLargeKeyOffsets) {
  const std::uint8_t key[4] = {0xFF, 0x00, 0x55, 0xAA};
  for (std::size_t length : {4096u, 65536u + 7u, 1048576u + 13u}) {
    std::vector<std::uint8_t> buffer(length + 32), expected(length + 32);
    for (std::size_t alignment = 0; alignment < 16; alignment += 5) {
      for (std::uint64_t keyOffset : {0ull, 5ull, 1ull << 40}) {
        for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = expected[i] = Pattern(i);
        ReferenceMask(expected.data() + alignment, length, key, keyOffset);
        WSMaskBytesSIMD(buffer.data() + alignment, length, key, keyOffset);
        ASSERT_EQ(buffer, expected) << length << " " << alignment << " " << keyOffset;
      }
    }
  }
}

// Masking twice with the same key gives the original bytes back.
TEST(WSMaskBytesSIMDTest, MaskingIsItsOwnInverse) {
  const std::uint8_t key[4] = {1, 2, 3, 4};
  std::vector<std::uint8_t> data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = Pattern(i);
  const auto original = data;
  WSMaskBytesSIMD(data.data() + 3, 997, key);
  EXPECT_NE(data, original);
  WSMaskBytesSIMD(data.data() + 3, 997, key);
  EXPECT_EQ(data, original);
  WSMaskBytesSIMD(nullptr, 0, key); // empty: touches nothing
}
