// Properties: the header parser asks for exactly the header's size and never reads past the
// input; every prefix shorter than the header asks for more; a parsed header re-composed as a
// masked client frame parses back to the same fields. The reader's checks and the close-payload
// reader accept any bytes, and an accepted close payload re-encodes to the same bytes.

#include "platform/UTF8.hpp"
#include "websocket/detail/WSFrame.hpp"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  std::size_t needed = 0;
  const auto header = WSParseFrameHeader(input, &needed);
  if (size >= 2 && needed != WSFrameHeaderSize(data[1])) std::abort();
  if (header) {
    if (header->headerSize != needed || header->headerSize > size) std::abort();
    for (std::size_t cut = 0; cut < header->headerSize; ++cut) {
      if (WSParseFrameHeader(input.first(cut))) std::abort();
    }
    std::uint8_t opcode = 0;
    WSCheckFrameStart(data[0], data[1], data[0] & 1, 2, &opcode);
    WSCheckControlFrame(header->opcode, header->fin, header->payloadLength);

    // Re-compose the payload present in the input (bounded) and parse it back.
    const auto payload =
        input.subspan(header->headerSize).first(std::min<std::size_t>(size - header->headerSize, 70000));
    std::vector<std::uint8_t> frame(payload.size() + WSFrameMaxHeaderSize);
    const std::size_t frameSize = WSComposeFrame(header->opcode, payload, header->maskKey, frame);
    const auto back = WSParseFrameHeader(std::span(frame).first(frameSize));
    if (!back || back->opcode != header->opcode || back->payloadLength != payload.size() || !back->fin ||
        !back->masked || back->maskKey != header->maskKey || back->headerSize + payload.size() != frameSize)
      std::abort();
  }

  const auto close = WSParseClosePayload(input);
  if (!close.error && size >= 2) {
    if (!WSCloseCodeIsValid(static_cast<std::uint32_t>(close.code))) std::abort();
    if (size <= 125 &&
        WSClosePayloadCreate(close.code, close.reason) != std::vector<std::uint8_t>(data, data + size))
      std::abort();
  }
  return 0;
}
