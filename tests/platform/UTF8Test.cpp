#include "platform/UTF8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::string_view text) { return {text.begin(), text.end()}; }

// An independent reference: decodes the code point from the bit patterns and then applies the
// RFC 3629 rules to the value (shortest form, no surrogates, at most U+10FFFF), where the code
// under test uses per-lead second-byte ranges. Returns the character's length, or 0 when it is
// invalid or cut off by the end.
int ReferenceCharacter(const std::uint8_t* p, std::size_t n) {
  const std::uint8_t b = p[0];
  int length;
  std::uint32_t cp;
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0)
    length = 2, cp = b & 0x1F;
  else if ((b & 0xF0) == 0xE0)
    length = 3, cp = b & 0x0F;
  else if ((b & 0xF8) == 0xF0)
    length = 4, cp = b & 0x07;
  else
    return 0;
  int i = 1;
  for (; i < length && static_cast<std::size_t>(i) < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (i < length) return 0; // cut off by the end
  const std::uint32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  const bool valid = cp >= minimum && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
  return valid ? length : 0;
}

// Reference prefix length: stop at the first invalid or incomplete character.
std::size_t ReferencePrefix(const Bytes& bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const int length = ReferenceCharacter(bytes.data() + i, bytes.size() - i);
    if (length <= 0) return i;
    i += static_cast<std::size_t>(length);
  }
  return i;
}

// The reader's use: feed chunks, advancing the scan position by each partial result.
bool ScanInChunks(const Bytes& message, const std::vector<std::size_t>& cuts) {
  Bytes received;
  std::size_t scanPosition = 0;
  std::size_t last = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(message.size());
  for (std::size_t end : ends) {
    received.insert(received.end(), message.begin() + static_cast<std::ptrdiff_t>(last),
                    message.begin() + static_cast<std::ptrdiff_t>(end));
    last = end;
    if (received.empty()) continue;
    const auto result = platform::ValidateUTF8Partial(std::span(received).subspan(scanPosition));
    if (result < 0) return false;
    scanPosition += static_cast<std::size_t>(result);
  }
  return platform::IsValidUTF8(received);
}

} // namespace

// Every one- and two-byte input, against the reference.
TEST(UTF8Test, EveryLeadByteWithEverySecondByte) {
  for (int a = 0; a < 256; ++a) {
    const Bytes one{static_cast<std::uint8_t>(a)};
    ASSERT_EQ(platform::UTF8ValidPrefixLength(one), ReferencePrefix(one)) << "byte " << a;
    for (int b = 0; b < 256; ++b) {
      const Bytes two{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
      ASSERT_EQ(platform::UTF8ValidPrefixLength(two), ReferencePrefix(two)) << a << " " << b;
    }
  }
}

// Every three-byte input (16.7 million): covers every continuation-range edge of the three-byte
// forms (E0 A0, ED 9F/A0) and the starts of the four-byte forms.
TEST(UTF8Test, EveryThreeByteInput) {
  Bytes three(3);
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      for (int c = 0; c < 256; ++c) {
        three[0] = static_cast<std::uint8_t>(a), three[1] = static_cast<std::uint8_t>(b),
        three[2] = static_cast<std::uint8_t>(c);
        const std::size_t expected = ReferencePrefix(three);
        if (platform::UTF8ValidPrefixLength(three) != expected) {
          FAIL() << a << " " << b << " " << c << " expected " << expected;
        }
      }
    }
  }
}

// Every four-byte lead with every second byte and the edge values of the last two bytes.
TEST(UTF8Test, FourByteFormsAtEveryEdge) {
  const int edges[] = {0x00, 0x7F, 0x80, 0x81, 0xBE, 0xBF, 0xC0, 0xFF};
  for (int a = 0xF0; a <= 0xFF; ++a) {
    for (int b = 0; b < 256; ++b) {
      for (int c : edges) {
        for (int d : edges) {
          const Bytes four{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                           static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)};
          ASSERT_EQ(platform::UTF8ValidPrefixLength(four), ReferencePrefix(four))
              << a << " " << b << " " << c << " " << d;
        }
      }
    }
  }
}

// The named invalid forms.
TEST(UTF8Test, RejectsOverlongSurrogatesAndOutOfRange) {
  EXPECT_FALSE(platform::IsValidUTF8(B("\xC0\xAF")));         // overlong "/"
  EXPECT_FALSE(platform::IsValidUTF8(B("\xC1\xBF")));         // overlong U+007F
  EXPECT_FALSE(platform::IsValidUTF8(B("\xE0\x9F\xBF")));     // overlong U+07FF
  EXPECT_FALSE(platform::IsValidUTF8(B("\xF0\x8F\xBF\xBF"))); // overlong U+FFFF
  EXPECT_FALSE(platform::IsValidUTF8(B("\xED\xA0\x80")));     // U+D800
  EXPECT_FALSE(platform::IsValidUTF8(B("\xED\xBF\xBF")));     // U+DFFF
  EXPECT_FALSE(platform::IsValidUTF8(B("\xF4\x90\x80\x80"))); // U+110000
  EXPECT_FALSE(platform::IsValidUTF8(B("\xF5\x80\x80\x80")));
  EXPECT_FALSE(platform::IsValidUTF8(B("\x80"))); // stray continuation
  EXPECT_FALSE(platform::IsValidUTF8(B("\xC3"))); // cut off
  EXPECT_TRUE(platform::IsValidUTF8(B("")));
  EXPECT_TRUE(platform::IsValidUTF8(B("\xED\x9F\xBF")));     // U+D7FF
  EXPECT_TRUE(platform::IsValidUTF8(B("\xEE\x80\x80")));     // U+E000
  EXPECT_TRUE(platform::IsValidUTF8(B("\xEF\xBF\xBF")));     // U+FFFF (a noncharacter, still valid)
  EXPECT_TRUE(platform::IsValidUTF8(B("\xF4\x8F\xBF\xBF"))); // U+10FFFF
  EXPECT_TRUE(platform::IsValidUTF8(B(std::string("a\0b", 3))));
  EXPECT_TRUE(platform::IsValidUTF8(B("\xCE\xBA\xE1\xBD\xB9\xCF\x83\xCE\xBC\xCE\xB5"))); // RFC 6455 test text
}

// The ASCII fast path hands over to the byte-wise check at every position of a word.
TEST(UTF8Test, NonASCIIAtEveryWordPosition) {
  for (std::size_t length = 1; length <= 40; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      Bytes bad(length, 'a');
      bad[at] = 0xFF;
      EXPECT_EQ(platform::UTF8ValidPrefixLength(bad), at) << length << " " << at;
      Bytes good(length + 1, 'a');
      good[at] = 0xC3, good[at + 1] = 0xA9;
      EXPECT_TRUE(platform::IsValidUTF8(good)) << length << " " << at;
    }
  }
}

// The partial rule: the bytes after the valid prefix are held back only while more bytes can
// still make them a valid character; a tail no bytes can complete fails as soon as it is there.
TEST(UTF8Test, PartialCheckHoldsBackOnlyTailsThatCanStillComplete) {
  struct Case {
    const char* text;
    std::int64_t expected;
  };
  const Case cases[] = {
      // Complete text, and incomplete characters that more bytes can complete.
      {"", 0},
      {"abc", 3},
      {"ab\xC3", 2},
      {"ab\xE0\xA0", 2},
      {"ab\xED\x9F", 2},
      {"ab\xEF\xBF", 2},
      {"ab\xF0", 2},
      {"ab\xF0\x9F", 2},
      {"ab\xF0\x9F\x98", 2},
      {"ab\xF0\x9F\x98\x80", 6},
      {"\xF0\x90\x80", 0},
      {"\xF3\xBF\xBF", 0},
      {"ab\xF4", 2},
      {"ab\xF4\x8F\xBF", 2},
      // Tails that can no longer become valid: a byte that starts no character, a second byte
      // out of its lead's range, a third or fourth byte that is not a continuation.
      {"abc\xFF", -1},
      {"abc\xC0", -1},
      {"abc\xC1", -1},
      {"abc\xF5", -1},
      {"abc\x80", -1},
      {"ab\xC3\x41", -1},
      {"ab\xE0\x80", -1},
      {"ab\xE0\x9F", -1},
      {"ab\xED\xA0", -1},
      {"ab\xED\xBF", -1},
      {"ab\xF0\x80", -1},
      {"ab\xF0\x8F", -1},
      {"ab\xF4\x90", -1},
      {"ab\xF4\xBF", -1},
      {"ab\xE2\x82\x41", -1},
      {"ab\xF0\x9F\x41", -1},
      {"ab\xF0\x9F\x98\x41", -1},
      {"\xED\xA0\x80"
       "a",
       -1},
      {"\xFF\xFF\xFF\xFF", -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(platform::ValidateUTF8Partial(B(c.text)), c.expected)
        << testing::PrintToString(std::string(c.text));
}

// Every one- and two-byte tail: held back exactly when some further bytes make it a valid
// character, by the reference decoder.
TEST(UTF8Test, EveryShortTailIsHeldBackExactlyWhenItCanComplete) {
  auto canComplete = [](const Bytes& tail) {
    // The second byte is the only one with a range of its own; later ones are any continuation.
    for (int second = 0; second < 256; ++second) {
      Bytes full = tail;
      if (full.size() < 2) full.push_back(static_cast<std::uint8_t>(second));
      for (;;) {
        const auto length = static_cast<std::size_t>(ReferenceCharacter(full.data(), full.size()));
        if (full.size() > tail.size() && length == full.size()) return true;
        if (full.size() == 4) break;
        full.push_back(0x80);
      }
      if (tail.size() >= 2) break;
    }
    return false;
  };
  for (int a = 0x80; a < 256; ++a) {
    const Bytes one{static_cast<std::uint8_t>(a)};
    ASSERT_EQ(platform::UTF8CouldBeginCharacter(one), canComplete(one)) << a;
    for (int b = 0; b < 256; ++b) {
      const Bytes two{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
      ASSERT_EQ(platform::UTF8CouldBeginCharacter(two), canComplete(two)) << a << " " << b;
    }
  }
}

// The reader's loop accepts valid text split at every position (across frames or reads) and
// rejects invalid text however it is split.
TEST(UTF8Test, SplitAtEveryPosition) {
  const Bytes valid = B("a\xC3\xA9"
                        "b\xE2\x82\xAC"
                        "c\xF0\x9F\x98\x80"
                        "d\xF4\x8F\xBF\xBF");
  for (std::size_t i = 0; i <= valid.size(); ++i) {
    for (std::size_t j = i; j <= valid.size(); ++j) {
      EXPECT_TRUE(ScanInChunks(valid, {i, j})) << i << " " << j;
    }
  }
  for (const Bytes& invalid : {B("a\xC3\xA9"
                                 "b\xED\xA0\x80"
                                 "xyz"),
                               B("abc\xC3"), B("ab\xF0\x9F\x98"),
                               B("\xC0\xAF"
                                 "abcd"),
                               B("abcd\x80")}) {
    for (std::size_t i = 0; i <= invalid.size(); ++i) {
      for (std::size_t j = i; j <= invalid.size(); ++j) {
        EXPECT_FALSE(ScanInChunks(invalid, {i, j})) << i << " " << j;
      }
    }
  }
}

// Every byte-at-a-time split of every one-to-four byte character.
TEST(UTF8Test, EveryCodePointOneByteAtATime) {
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; cp += (cp < 0x800 ? 1 : 61)) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    Bytes c;
    if (cp < 0x80)
      c = {static_cast<std::uint8_t>(cp)};
    else if (cp < 0x800)
      c = {static_cast<std::uint8_t>(0xC0 | cp >> 6), static_cast<std::uint8_t>(0x80 | (cp & 0x3F))};
    else if (cp < 0x10000)
      c = {static_cast<std::uint8_t>(0xE0 | cp >> 12), static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)),
           static_cast<std::uint8_t>(0x80 | (cp & 0x3F))};
    else
      c = {static_cast<std::uint8_t>(0xF0 | cp >> 18), static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F)),
           static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)),
           static_cast<std::uint8_t>(0x80 | (cp & 0x3F))};
    std::vector<std::size_t> cuts;
    for (std::size_t k = 1; k < c.size(); ++k) cuts.push_back(k);
    ASSERT_TRUE(ScanInChunks(c, cuts)) << cp;
  }
}
