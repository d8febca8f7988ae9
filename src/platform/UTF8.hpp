#pragma once
// UTF-8, strict per RFC 3629: overlong forms, UTF-16 surrogates (U+D800..U+DFFF), code points
// above U+10FFFF, the lead bytes C0, C1 and F5..FF and stray or missing continuation bytes are
// invalid. The one check of the whole system: WebSocket text and close reasons, JSON strings,
// the command line and PAC files. Stateless; callable from any thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace platform {

/// Length (1 to 4) of the valid character that starts at bytes[0], or 0 when the bytes there are
/// invalid or the character is cut off after `available` bytes. `available` is at least 1.
std::size_t UTF8CharacterLength(const std::uint8_t* bytes, std::size_t available);

/// Length of the longest prefix of `bytes` made of complete, valid characters. Runs of ASCII are
/// checked eight bytes at a time.
std::size_t UTF8ValidPrefixLength(std::span<const std::uint8_t> bytes);

/// True when all of `bytes` is valid UTF-8 (the empty text is).
bool IsValidUTF8(std::span<const std::uint8_t> bytes);
bool IsValidUTF8(std::string_view text);

/// True when `bytes` (1 to 3 of them) are the beginning of a valid character that is cut off:
/// a lead byte followed by bytes its character allows at their places (F4 80, not F4 90).
bool UTF8CouldBeginCharacter(std::span<const std::uint8_t> bytes);

/// The check of a text still arriving: the number of leading bytes that decode as complete,
/// valid UTF-8, allowing the bytes after them to be held back as an incomplete final character
/// (they are checked again with the next bytes) only when more bytes can still complete it
/// (UTF8CouldBeginCharacter); -1 when the bytes so far can no longer become valid UTF-8.
std::int64_t ValidateUTF8Partial(std::span<const std::uint8_t> bytes);

/// Appends the UTF-8 form of `codePoint`; one above U+10FFFF appends U+FFFD instead. Surrogate
/// values are encoded as they are: callers that must not produce them refuse them first.
void AppendUTF8(std::string& out, std::uint64_t codePoint);

} // namespace platform
