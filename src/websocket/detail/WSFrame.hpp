#pragma once
// RFC 6455 section 5.2 base framing, as pure functions: composing a client frame into a buffer,
// parsing a frame header from bytes, and the reader's header, close-code and close-payload
// rules with the texts a connection closes with. Does not read sockets, assemble messages or
// decide what to do on an error. Stateless; callable from any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum WSOpcode : std::uint8_t {
  WSOpcodeContinuation = 0,
  WSOpcodeText = 1,
  WSOpcodeBinary = 2,
  WSOpcodeClose = 8,
  WSOpcodePing = 9,
  WSOpcodePong = 10,
};

/// Largest header: 2 bytes, 8 bytes of extended length, 4 bytes of masking key.
inline constexpr std::size_t WSFrameMaxHeaderSize = 14;
/// Largest control frame payload (section 5.5).
inline constexpr std::uint64_t WSMaxControlPayloadLength = 125;

/// Only close, ping and pong are control frames; reserved opcodes 11 to 15 are read as data.
constexpr bool WSOpcodeIsControl(std::uint8_t opcode) {
  return opcode == WSOpcodeClose || opcode == WSOpcodePing || opcode == WSOpcodePong;
}

// ---- Composing (client frames: FIN set, MASK set, RSV clear) ----

/// Header size of a client frame for a payload of `payloadLength` bytes, masking key included:
/// 6 (up to 125), 8 (up to 65535) or 14.
constexpr std::size_t WSClientFrameHeaderSize(std::uint64_t payloadLength) {
  return payloadLength <= 125 ? 6 : payloadLength <= 0xFFFF ? 8 : 14;
}

/// Writes the header of a client frame for a payload of `payloadLength` bytes, masking key
/// included, to `out` (room for 14 bytes); returns its size.
std::size_t WSComposeFrameHeader(std::uint8_t opcode, std::uint64_t payloadLength,
                                 const std::array<std::uint8_t, 4>& maskKey, std::uint8_t* out);

/// Writes one client frame into `out`: byte 0 = 0x80 | opcode, byte 1 = 0x80 | 7-bit length
/// (126 + 16-bit or 127 + 64-bit big-endian extended length), the 4-byte `maskKey`, then the
/// payload copied and masked. Returns the frame size (header + payload), or 0 when `out` is too
/// small (nothing meaningful is written then). `payload` and `out` must not overlap.
std::size_t WSComposeFrame(std::uint8_t opcode, std::span<const std::uint8_t> payload,
                           const std::array<std::uint8_t, 4>& maskKey, std::span<std::uint8_t> out);

// ---- Parsing ----

struct WSFrameHeader {
  bool fin = false;
  /// RSV1..RSV3 as they stand in byte 0 (mask 0x70).
  std::uint8_t rsv = 0;
  /// Bits 0 to 3 of byte 0, as sent (0 for a continuation).
  std::uint8_t opcode = 0;
  bool masked = false;
  std::uint64_t payloadLength = 0;
  /// Valid when `masked`.
  std::array<std::uint8_t, 4> maskKey{};
  /// Bytes the header took: 2 to 14.
  std::size_t headerSize = 0;
};

/// Size of the extended length that follows the first two header bytes: 0, 2 or 8, from byte 1.
constexpr std::size_t WSFrameExtendedLengthSize(std::uint8_t byte1) {
  return (byte1 & 0x7F) == 126 ? 2 : (byte1 & 0x7F) == 127 ? 8 : 0;
}
/// Whole header size from byte 1: 2 + extended length + 4 when MASK is set.
constexpr std::size_t WSFrameHeaderSize(std::uint8_t byte1) {
  return 2 + WSFrameExtendedLengthSize(byte1) + ((byte1 & 0x80) ? 4 : 0);
}
/// Reads `bytes.size()` (at most 8) bytes as a big-endian unsigned number.
std::uint64_t WSReadBigEndian(std::span<const std::uint8_t> bytes);

/// Parses a header from the front of `bytes`. Returns the header when `bytes` holds all of it;
/// otherwise nothing, and `*bytesNeeded` (when given) is the header's total size so far as known
/// (2 while fewer than 2 bytes are there). Extended lengths are taken as sent: neither the top
/// bit of the 64-bit form nor minimal encoding is checked.
/// (Inline: the reader calls it for every frame.)
inline std::optional<WSFrameHeader> WSParseFrameHeader(std::span<const std::uint8_t> bytes,
                                                       std::size_t* bytesNeeded = nullptr) {
  if (bytes.size() < 2) {
    if (bytesNeeded) *bytesNeeded = 2;
    return std::nullopt;
  }
  const std::size_t headerSize = WSFrameHeaderSize(bytes[1]);
  if (bytes.size() < headerSize) {
    if (bytesNeeded) *bytesNeeded = headerSize;
    return std::nullopt;
  }
  WSFrameHeader header;
  header.fin = (bytes[0] & 0x80) != 0;
  header.rsv = bytes[0] & 0x70;
  header.opcode = bytes[0] & 0x0F;
  header.masked = (bytes[1] & 0x80) != 0;
  const std::size_t extended = WSFrameExtendedLengthSize(bytes[1]);
  header.payloadLength = extended ? WSReadBigEndian(bytes.subspan(2, extended)) : (bytes[1] & 0x7F);
  if (header.masked) std::memcpy(header.maskKey.data(), bytes.data() + 2 + extended, 4);
  header.headerSize = headerSize;
  if (bytesNeeded) *bytesNeeded = headerSize;
  return header;
}

// ---- The reader's rules; each returns the protocol error text (close 1002), or nothing ----

/// First two header bytes, in this order: RSV bits ("Server used RSV bits"), continuation with
/// no message in progress ("cannot continue a message"), a new data opcode inside a message
/// ("all data frames after the initial data frame must have opcode 0"), MASK set ("Client must
/// receive unmasked data"). On success `*opcode` is the frame's opcode, a continuation taking
/// `currentFrameOpcode`.
std::optional<std::string_view> WSCheckFrameStart(std::uint8_t byte0, std::uint8_t byte1,
                                                  std::uint64_t currentFrameCount,
                                                  std::uint8_t currentFrameOpcode, std::uint8_t* opcode);
/// Once the length is known: a control frame without FIN ("Fragmented control frames not
/// allowed") or with 126 or more bytes ("Control frames cannot have payloads larger than 126
/// bytes").
std::optional<std::string_view> WSCheckControlFrame(std::uint8_t opcode, bool fin,
                                                    std::uint64_t payloadLength);
/// At the end of a message whose opcode is not text or binary: "Unknown opcode %ld".
std::string WSUnknownOpcodeMessage(std::uint8_t opcode);

/// Close codes a server may send (section 7.4): 1000-1003, 1007-1011, 3000-4999.
constexpr bool WSCloseCodeIsValid(std::uint32_t code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) || (code >= 3000 && code <= 4999);
}

struct WSClosePayload {
  /// 1005 for an empty payload; otherwise the code as sent (kept even when it is refused).
  std::int32_t code = 1005;
  /// The reason when the payload had more than 2 bytes and they are UTF-8.
  std::optional<std::string> reason;
  /// The protocol error: "Payload for close must be larger than 2 bytes", "Cannot have close
  /// code of %d", "Close reason MUST be valid UTF-8".
  std::optional<std::string> error;
};
/// Reads a received close frame's payload.
WSClosePayload WSParseClosePayload(std::span<const std::uint8_t> payload);
/// A close frame's payload: the code's low 16 bits big-endian, then the reason's bytes, cut at a
/// character boundary to the 123 bytes a control frame leaves for them.
std::vector<std::uint8_t> WSClosePayloadCreate(std::int64_t code, const std::optional<std::string>& reason);
