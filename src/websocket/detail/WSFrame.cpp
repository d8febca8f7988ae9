#include "websocket/detail/WSFrame.hpp"

#include "platform/UTF8.hpp"
#include "websocket/detail/WSSIMDHelpers.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

namespace {

void WriteBigEndian(std::uint8_t* out, std::uint64_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * (size - 1 - i)));
}

} // namespace

std::size_t WSComposeFrameHeader(std::uint8_t opcode, std::uint64_t payloadLength,
                                 const std::array<std::uint8_t, 4>& maskKey, std::uint8_t* out) {
  const std::uint64_t n = payloadLength;
  std::uint8_t* p = out;
  // FIN set, RSV clear: the client never fragments and negotiates no extension.
  p[0] = static_cast<std::uint8_t>(0x80 | (opcode & 0x0F));
  if (n <= 125) {
    p[1] = static_cast<std::uint8_t>(0x80 | n);
    p += 2;
  } else if (n <= 0xFFFF) {
    p[1] = 0x80 | 126;
    WriteBigEndian(p + 2, n, 2);
    p += 4;
  } else {
    p[1] = 0x80 | 127;
    WriteBigEndian(p + 2, n, 8);
    p += 10;
  }
  // Section 5.3: every client frame is masked, with a key the caller draws anew for it.
  std::memcpy(p, maskKey.data(), 4);
  return static_cast<std::size_t>(p + 4 - out);
}

std::size_t WSComposeFrame(std::uint8_t opcode, std::span<const std::uint8_t> payload,
                           const std::array<std::uint8_t, 4>& maskKey, std::span<std::uint8_t> out) {
  const std::uint64_t n = payload.size();
  const std::size_t headerSize = WSClientFrameHeaderSize(n);
  if (out.size() < headerSize || out.size() - headerSize < n) return 0;
  std::uint8_t* p = out.data() + WSComposeFrameHeader(opcode, n, maskKey, out.data());
  if (n > 0) {
    std::memcpy(p, payload.data(), n);
    WSMaskBytesSIMD(p, n, maskKey.data());
  }
  return headerSize + n;
}

std::uint64_t WSReadBigEndian(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) value = (value << 8) | bytes[i];
  return value;
}

std::optional<std::string_view> WSCheckFrameStart(std::uint8_t byte0, std::uint8_t byte1,
                                                  std::uint64_t currentFrameCount,
                                                  std::uint8_t currentFrameOpcode, std::uint8_t* opcode) {
  // No extension is ever negotiated, so every RSV bit is refused (section 5.2).
  if (byte0 & 0x70) return "Server used RSV bits";
  std::uint8_t frameOpcode = byte0 & 0x0F;
  if (!WSOpcodeIsControl(frameOpcode)) {
    if (frameOpcode == WSOpcodeContinuation) {
      if (currentFrameCount == 0) return "cannot continue a message";
      frameOpcode = currentFrameOpcode;
    } else if (currentFrameCount != 0) {
      return "all data frames after the initial data frame must have opcode 0";
    }
  }
  // Section 5.1: a client closes the connection on a masked frame from the server.
  if (byte1 & 0x80) return "Client must receive unmasked data";
  if (opcode) *opcode = frameOpcode;
  return std::nullopt;
}

std::optional<std::string_view> WSCheckControlFrame(std::uint8_t opcode, bool fin,
                                                    std::uint64_t payloadLength) {
  if (!WSOpcodeIsControl(opcode)) return std::nullopt;
  // Section 5.5: control frames are never fragmented and carry at most 125 bytes.
  if (!fin) return "Fragmented control frames not allowed";
  if (payloadLength > WSMaxControlPayloadLength)
    return "Control frames cannot have payloads larger than 126 bytes";
  return std::nullopt;
}

std::string WSUnknownOpcodeMessage(std::uint8_t opcode) { return "Unknown opcode " + std::to_string(opcode); }

WSClosePayload WSParseClosePayload(std::span<const std::uint8_t> payload) {
  WSClosePayload result;
  if (payload.empty()) {
    // Section 7.1.5: no status code in the frame is reported as 1005.
    result.code = 1005;
    return result;
  }
  if (payload.size() == 1) {
    result.error = "Payload for close must be larger than 2 bytes";
    return result;
  }
  result.code = static_cast<std::int32_t>(WSReadBigEndian(payload.first(2)));
  if (!WSCloseCodeIsValid(static_cast<std::uint32_t>(result.code))) {
    result.error = "Cannot have close code of " + std::to_string(result.code);
    return result;
  }
  if (payload.size() > 2) {
    const auto reason = payload.subspan(2);
    if (!platform::IsValidUTF8(reason)) {
      result.error = "Close reason MUST be valid UTF-8";
      return result;
    }
    result.reason.emplace(reinterpret_cast<const char*>(reason.data()), reason.size());
  }
  return result;
}

std::vector<std::uint8_t> WSClosePayloadCreate(std::int64_t code, const std::optional<std::string>& reason) {
  // A close frame is a control frame: 2 bytes of code leave 123 for the reason. A longer reason
  // is cut at a character boundary rather than sending a frame the server must refuse.
  std::size_t reasonSize = reason ? reason->size() : 0;
  if (reasonSize > WSMaxControlPayloadLength - 2) {
    const auto bytes =
        std::span(reinterpret_cast<const std::uint8_t*>(reason->data()), WSMaxControlPayloadLength - 2);
    reasonSize = platform::UTF8ValidPrefixLength(bytes);
  }
  std::vector<std::uint8_t> payload(2 + reasonSize);
  WriteBigEndian(payload.data(), static_cast<std::uint64_t>(code) & 0xFFFF, 2);
  if (reasonSize) std::memcpy(payload.data() + 2, reason->data(), reasonSize);
  return payload;
}
