#include "websocket/detail/WSHash.hpp"

#include <openssl/sha.h>

std::vector<std::uint8_t> WSSHA1HashFromString(std::string_view string) {
  // A std::string already holds its UTF-8 form, so unlike a platform string there is no
  // conversion that could fail here.
  return WSSHA1HashFromBytes(string.data(), string.size());
}

std::vector<std::uint8_t> WSSHA1HashFromBytes(const void* bytes, std::size_t length) {
  std::vector<std::uint8_t> digest(WSSHA1DigestLength);
  // SHA1() with an empty input still needs a valid pointer.
  static const unsigned char empty = 0;
  SHA1(length ? static_cast<const unsigned char*>(bytes) : &empty, length, digest.data());
  return digest;
}

std::string WSBase64EncodedStringFromData(std::span<const std::uint8_t> data) {
  // Written out rather than through EVP_EncodeBlock so that inputs of any size (no int length)
  // are fine; the handshake only ever encodes 16 or 20 bytes anyway.
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  const std::size_t rest = data.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{data[i]} << 16;
    if (rest == 2) v |= std::uint32_t{data[i + 1]} << 8;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}
