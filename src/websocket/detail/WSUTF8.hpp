#pragma once
// UTF-8 validation for text messages (RFC 6455 section 8.1), strict per RFC 3629: overlong
// forms, UTF-16 surrogates (U+D800..U+DFFF), code points above U+10FFFF and stray or missing
// continuation bytes are invalid. Stateless; callable from any thread.

#include <cstddef>
#include <cstdint>
#include <span>

/// Length of the longest prefix of `bytes` made of complete, valid characters.
std::size_t WSUTF8ValidPrefixLength(std::span<const std::uint8_t> bytes);

/// True when all of `bytes` is valid UTF-8 (the empty text is).
bool WSIsValidUTF8(std::span<const std::uint8_t> bytes);

/// The check of a text message still arriving: the number of leading bytes that decode as
/// complete, valid UTF-8, allowing up to 3 bytes at the end to be held back as an incomplete
/// final character (they are checked again with the next bytes). That is: the longest prefix of
/// n, n-1, n-2 or n-3 bytes that decodes; -1 when none does.
std::int64_t WSValidateUTF8Partial(std::span<const std::uint8_t> bytes);
