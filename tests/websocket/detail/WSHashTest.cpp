#include "websocket/detail/WSHash.hpp"
#include "platform/Base64.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

} // namespace

// FIPS 180-4 example messages and RFC 3174 section 7.3's test cases (one million 'a': many blocks).
TEST(WSHashTest, SHA1MatchesStandardVectors) {
  EXPECT_EQ(Hex(WSSHA1HashFromString("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Hex(WSSHA1HashFromString("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(WSSHA1HashFromString("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(
      Hex(WSSHA1HashFromString("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
                               "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu")),
      "a49b2446a02c645bf419f995b67091253a04a259");
  EXPECT_EQ(Hex(WSSHA1HashFromString(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  std::string repeated;
  for (int i = 0; i < 80; ++i) repeated += "01234567";
  EXPECT_EQ(Hex(WSSHA1HashFromString(repeated)), "dea356a2cddd90c7a7ecedc5ebb563934f460452");
}

// FIPS 180-4 pads to a multiple of 64 bytes with a 1 bit and a 64-bit length: a last block of 55
// bytes takes the padding in one block, 56 to 63 need a second one. Every length from 0 to 200
// (every residue mod 64 three times), fed in one piece, agrees with OpenSSL's SHA-1.
TEST(WSHashTest, SHA1AgreesWithOpenSSLAroundEveryPaddingBoundary) {
  std::mt19937 random(11);
  std::vector<std::uint8_t> data(200);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  for (std::size_t length = 0; length <= data.size(); ++length) {
    SCOPED_TRACE(length);
    std::vector<std::uint8_t> expected(SHA_DIGEST_LENGTH);
    unsigned int size = 0;
    ASSERT_EQ(EVP_Digest(data.data(), length, expected.data(), &size, EVP_sha1(), nullptr), 1);
    EXPECT_EQ(WSSHA1HashFromBytes(data.data(), length), expected);
  }
}

// Message lengths whose bit count fills two, three and four bytes of the big-endian length field.
TEST(WSHashTest, SHA1OfLongMessagesAgreesWithOpenSSL) {
  for (std::size_t length : {std::size_t{1} << 13, std::size_t{100003}, (std::size_t{1} << 21) + 7}) {
    SCOPED_TRACE(length);
    const std::vector<std::uint8_t> data(length, static_cast<std::uint8_t>(length));
    std::vector<std::uint8_t> expected(SHA_DIGEST_LENGTH);
    unsigned int size = 0;
    ASSERT_EQ(EVP_Digest(data.data(), length, expected.data(), &size, EVP_sha1(), nullptr), 1);
    EXPECT_EQ(WSSHA1HashFromBytes(data.data(), length), expected);
  }
}

// The digest covers exactly the string's bytes: no terminating zero, embedded zeros kept.
TEST(WSHashTest, SHA1OfStringEqualsSHA1OfItsBytes) {
  const std::string text("a\0b\xC3\xA9", 5);
  EXPECT_EQ(WSSHA1HashFromString(text), WSSHA1HashFromBytes(text.data(), text.size()));
  EXPECT_NE(WSSHA1HashFromString(text), WSSHA1HashFromString(std::string(text) + '\0'));
  EXPECT_EQ(WSSHA1HashFromBytes(nullptr, 0).size(), WSSHA1DigestLength);
}

// RFC 6455 section 1.3: the worked example of the accept value.
TEST(WSHashTest, AcceptValueOfTheRFCExample) {
  const std::string input = std::string("dGhlIHNhbXBsZSBub25jZQ==") + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  EXPECT_EQ(platform::Base64EncodedStringFromData(WSSHA1HashFromString(input)),
            "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}
