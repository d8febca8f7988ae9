#include "platform/UTF8.hpp"

#include <cstring>

namespace platform {

// The second-byte ranges are what rule out the forms RFC 3629 forbids: E0 80..9F would be
// overlong (< U+0800), ED A0..BF a UTF-16 surrogate, F0 80..8F overlong (< U+10000), F4 90..BF
// above U+10FFFF. C0, C1 (overlong two-byte forms) and F5..FF never start a character; 80..BF
// never start one either.
std::size_t UTF8CharacterLength(const std::uint8_t* bytes, std::size_t available) {
  const std::uint8_t lead = bytes[0];
  if (lead < 0x80) return 1;
  std::size_t length;
  std::uint8_t low = 0x80, high = 0xBF; // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (available < length) return 0;
  if (bytes[1] < low || bytes[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return 0;
  }
  return length;
}

std::size_t UTF8ValidPrefixLength(std::span<const std::uint8_t> bytes) {
  const std::uint8_t* data = bytes.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII fast path: eight bytes at a time while none has its top bit set. The texts of this
    // system are JSON, nearly all ASCII.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, data + i, sizeof word);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    if (data[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = UTF8CharacterLength(data + i, n - i);
    if (length == 0) return i;
    i += length;
  }
  return n;
}

bool IsValidUTF8(std::span<const std::uint8_t> bytes) { return UTF8ValidPrefixLength(bytes) == bytes.size(); }

bool IsValidUTF8(std::string_view text) {
  return IsValidUTF8(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::int64_t ValidateUTF8Partial(std::span<const std::uint8_t> bytes) {
  // A prefix longer than the valid prefix always contains the first bad (or cut-off) character
  // and cannot decode; a shorter one decodes exactly when it ends on a character boundary. So
  // of the candidates n, n-1, n-2 and n-3 the longest that decodes is the valid prefix itself,
  // provided it is within 3 bytes of the end.
  const std::size_t valid = UTF8ValidPrefixLength(bytes);
  if (valid + 3 >= bytes.size()) return static_cast<std::int64_t>(valid);
  return -1;
}

void AppendUTF8(std::string& out, std::uint64_t codePoint) {
  const std::uint64_t cp = codePoint;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x110000) {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += "\xEF\xBF\xBD";
  }
}

} // namespace platform
