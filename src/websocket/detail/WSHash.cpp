#include "websocket/detail/WSHash.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

// SHA-1 as FIPS 180-4 section 6.1 gives it. Written out rather than taken from libcrypto: in
// OpenSSL 3 the one-shot SHA1() goes through the provider machinery (configuration, the default
// provider, its algorithm tables), which maps about 2 MiB of the library into a plug-in that
// otherwise never needs it. The handshake hashes one 60-byte string per connection, so speed is
// of no concern; SHA-1's weaknesses do not matter here either (RFC 6455 section 10.8: the accept
// value only proves the server read the handshake).
class SHA1 {
public:
  void update(const std::uint8_t* bytes, std::size_t length) {
    _length += length;
    while (length > 0) {
      const std::size_t take = std::min(length, _block.size() - _used);
      std::memcpy(_block.data() + _used, bytes, take);
      _used += take;
      bytes += take;
      length -= take;
      if (_used == _block.size()) compress();
    }
  }

  std::array<std::uint8_t, WSSHA1DigestLength> finish() {
    // Section 5.1.1: a 1 bit, zeros up to 56 bytes into a block, then the message length in bits
    // as a 64-bit big-endian number (a message of 56 to 63 bytes in its last block needs one more).
    const std::uint64_t bits = _length * 8;
    _block[_used++] = 0x80;
    if (_used > 56) {
      std::memset(_block.data() + _used, 0, _block.size() - _used);
      compress();
    }
    std::memset(_block.data() + _used, 0, 56 - _used);
    for (int i = 0; i < 8; ++i) _block[56 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    compress();
    std::array<std::uint8_t, WSSHA1DigestLength> digest{};
    for (std::size_t i = 0; i < digest.size(); ++i)
      digest[i] = static_cast<std::uint8_t>(_state[i / 4] >> (24 - 8 * (i % 4)));
    return digest;
  }

private:
  void compress() {
    // Section 6.1.2: the message schedule, then 80 rounds of four kinds.
    std::array<std::uint32_t, 80> w{};
    for (std::size_t t = 0; t < 16; ++t)
      w[t] = (std::uint32_t{_block[4 * t]} << 24) | (std::uint32_t{_block[4 * t + 1]} << 16) |
             (std::uint32_t{_block[4 * t + 2]} << 8) | std::uint32_t{_block[4 * t + 3]};
    for (std::size_t t = 16; t < 80; ++t) w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    std::uint32_t a = _state[0], b = _state[1], c = _state[2], d = _state[3], e = _state[4];
    for (std::size_t t = 0; t < 80; ++t) {
      std::uint32_t f, k;
      if (t < 20) {
        f = (b & c) | (~b & d); // Ch
        k = 0x5A827999;
      } else if (t < 40) {
        f = b ^ c ^ d; // Parity
        k = 0x6ED9EBA1;
      } else if (t < 60) {
        f = (b & c) | (b & d) | (c & d); // Maj
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      const std::uint32_t temp = std::rotl(a, 5) + f + e + k + w[t];
      e = d;
      d = c;
      c = std::rotl(b, 30);
      b = a;
      a = temp;
    }
    _state[0] += a;
    _state[1] += b;
    _state[2] += c;
    _state[3] += d;
    _state[4] += e;
    _used = 0;
  }

  // Section 5.3.1: the initial hash value.
  std::array<std::uint32_t, 5> _state{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::array<std::uint8_t, 64> _block{};
  std::size_t _used = 0;
  std::uint64_t _length = 0; // in bytes; FIPS 180-4 limits messages to 2^64 - 1 bits
};

} // namespace

std::vector<std::uint8_t> WSSHA1HashFromString(std::string_view string) {
  // A std::string already holds its UTF-8 form, so unlike a platform string there is no
  // conversion that could fail here.
  return WSSHA1HashFromBytes(string.data(), string.size());
}

std::vector<std::uint8_t> WSSHA1HashFromBytes(const void* bytes, std::size_t length) {
  SHA1 hash;
  // An empty input may come with a null pointer, which memcpy must never see.
  if (length > 0) hash.update(static_cast<const std::uint8_t*>(bytes), length);
  const auto digest = hash.finish();
  return {digest.begin(), digest.end()};
}
