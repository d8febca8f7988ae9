#include "platform/Base64.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

using platform::Base64EncodedStringFromData;

namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

} // namespace

// RFC 4648 section 10 test vectors.
TEST(Base64Test, Base64MatchesRFC4648Vectors) {
  EXPECT_EQ(Base64EncodedStringFromData(Bytes("")), "");
  EXPECT_EQ(Base64EncodedStringFromData(Bytes("f")), "Zg==");
  EXPECT_EQ(Base64EncodedStringFromData(Bytes("fo")), "Zm8=");
  EXPECT_EQ(Base64EncodedStringFromData(Bytes("foo")), "Zm9v");
  EXPECT_EQ(Base64EncodedStringFromData(Bytes("foob")), "Zm9vYg==");
  EXPECT_EQ(Base64EncodedStringFromData(Bytes("fooba")), "Zm9vYmE=");
  EXPECT_EQ(Base64EncodedStringFromData(Bytes("foobar")), "Zm9vYmFy");
}

// The "+" and "/" alphabet, one line however long: checked against OpenSSL's encoder for every
// length up to 300 so that every padding case and every byte value occurs.
TEST(Base64Test, Base64AgreesWithOpenSSLForEveryLengthAndByte) {
  std::mt19937 random(7);
  for (std::size_t length = 0; length <= 300; ++length) {
    SCOPED_TRACE(length);
    std::vector<std::uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(length % 2 ? random() : i);
    std::string expected(4 * ((length + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()), data.data(),
                                        static_cast<int>(length));
    expected.resize(static_cast<std::size_t>(written));
    const std::string encoded = Base64EncodedStringFromData(data);
    EXPECT_EQ(encoded, expected);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
  }
  EXPECT_EQ(Base64EncodedStringFromData(std::vector<std::uint8_t>{0xFB, 0xFF}), "+/8=");
}
