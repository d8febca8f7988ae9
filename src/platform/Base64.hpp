#pragma once
// Base64 text (RFC 4648 section 4: the "+" and "/" alphabet, "=" padding, one line) of any
// bytes: the WebSocket handshake's key and accept values, Basic proxy credentials and the image
// data URLs of zorbel-deck. Stateless; callable from any thread.

#include <cstdint>
#include <span>
#include <string>

namespace platform {

/// Standard Base64 of `data` on one line, whatever its size.
std::string Base64EncodedStringFromData(std::span<const std::uint8_t> data);

} // namespace platform
