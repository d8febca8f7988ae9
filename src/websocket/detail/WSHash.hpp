#pragma once
// SHA-1 digests for the opening handshake (RFC 6455 section 4.2.2: the Sec-WebSocket-Accept
// value is base64(SHA-1(key + GUID)); the Base64 is platform/Base64.hpp's). Stateless; callable
// from any thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t WSSHA1DigestLength = 20;

/// The SHA-1 digest (FIPS 180-4) of the string's bytes (its UTF-8 form), without a terminating
/// zero: always 20 bytes.
std::vector<std::uint8_t> WSSHA1HashFromString(std::string_view string);
/// The SHA-1 digest of `length` bytes at `bytes`: 20 bytes.
std::vector<std::uint8_t> WSSHA1HashFromBytes(const void* bytes, std::size_t length);
