#include "platform/UTF8.hpp"

#include <cstring>

namespace platform {

namespace {

/// What a lead byte asks of the bytes after it: the character's length and the allowed range of
/// its second byte. `length` 0: the byte starts no character.
struct LeadForm {
  std::size_t length;
  std::uint8_t low = 0x80, high = 0xBF;
};

// The second-byte ranges are what rule out the forms RFC 3629 forbids: E0 80..9F would be
// overlong (< U+0800), ED A0..BF a UTF-16 surrogate, F0 80..8F overlong (< U+10000), F4 90..BF
// above U+10FFFF. C0, C1 (overlong two-byte forms) and F5..FF never start a character; 80..BF
// never start one either.
LeadForm FormOf(std::uint8_t lead) {
  if (lead < 0x80) return {1};
  if (lead >= 0xC2 && lead <= 0xDF) return {2};
  if (lead == 0xE0) return {3, 0xA0};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3};
  if (lead == 0xF0) return {4, 0x90};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  if (lead >= 0xF1 && lead <= 0xF3) return {4};
  return {0};
}

/// True when the `available` bytes at `bytes` (fewer than their character needs) are each what
/// that character allows at their place: more bytes may still complete it.
bool FollowsForm(const std::uint8_t* bytes, std::size_t available, const LeadForm& form) {
  if (available >= 2 && (bytes[1] < form.low || bytes[1] > form.high)) return false;
  for (std::size_t i = 2; i < available; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return false;
  }
  return true;
}

} // namespace

std::size_t UTF8CharacterLength(const std::uint8_t* bytes, std::size_t available) {
  const LeadForm form = FormOf(bytes[0]);
  if (form.length == 0 || available < form.length) return 0;
  return FollowsForm(bytes, form.length, form) ? form.length : 0;
}

bool UTF8CouldBeginCharacter(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return false;
  const LeadForm form = FormOf(bytes[0]);
  return bytes.size() < form.length && FollowsForm(bytes.data(), bytes.size(), form);
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
  // the valid prefix is the answer, provided what follows it is the start of a character that
  // more bytes can still complete: a tail that no bytes can make valid (F4 90, say, or E0 80)
  // fails now, not when the text ends.
  const std::size_t valid = UTF8ValidPrefixLength(bytes);
  if (valid == bytes.size() || UTF8CouldBeginCharacter(bytes.subspan(valid)))
    return static_cast<std::int64_t>(valid);
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
