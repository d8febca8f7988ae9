// The frame reader fed arbitrary server bytes after a valid opening handshake, through an
// in-memory stream pair instead of a socket (WSStreamSetPairFactoryForTesting).
//
// Properties: whatever the server sends, the connection
//  - reports exactly one end (didClose or didFail) after the bytes run out, within a deadline,
//    and nothing after it; didOpen before any message;
//  - delivers text messages only as valid UTF-8;
//  - writes after its upgrade request only well-formed masked frames: the messages the delegate
//    sends back (each received message is echoed, as the plug-in answers events with commands),
//    byte for byte and in order, pongs, and at most one close, with a code a client may send, and
//    nothing after the close (the last frame may be cut short when the connection closes after
//    the server's end).
//
// The same bytes also go straight to the connection's frame reader (WSFrameReader), whole and in
// pieces of the largest read: both give the same events, a data frame's pieces add up to its
// announced length, and nothing follows a failure.
//
// Input: the first byte sets the largest read and write (0: unlimited; else 1 to 127 bytes) and,
// with its top bit, makes the whole rest the server's bytes, response head included; without it a
// valid "101 Switching Protocols" head comes first.

#include "platform/Base64.hpp"
#include "platform/RunLoop.hpp"
#include "platform/UTF8.hpp"
#include "support/FuzzEnvironment.hpp"
#include "websocket/MemoryStream.hpp"
#include "websocket/WSURLRequest.hpp"
#include "websocket/WSWebSocket.hpp"
#include "websocket/detail/WSFrame.hpp"
#include "websocket/detail/WSFrameReader.hpp"
#include "websocket/detail/WSHTTPConnectMessage.hpp"
#include "websocket/detail/WSRandom.hpp"
#include "websocket/detail/WSSIMDHelpers.hpp"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

std::vector<std::uint8_t> gServerBytes;
std::size_t gChunk = 0;
std::shared_ptr<fuzz::MemoryStreamCore> gCore;

// A fixed key makes the server's accept value known in advance.
int ZeroRandom(unsigned char* bytes, int length) {
  std::memset(bytes, 0x5A, static_cast<std::size_t>(length));
  return 1;
}

std::string ValidHead() {
  std::vector<std::uint8_t> key(16, 0x5A);
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         WSExpectedAcceptForKey(platform::Base64EncodedStringFromData(key)) + "\r\n\r\n";
}

class Delegate final : public WSWebSocketDelegate {
public:
  bool opened = false, ended = false;
  void webSocketDidOpen(WSWebSocket&) override {
    if (opened || ended) std::abort();
    opened = true;
  }
  std::vector<WSMessage> echoed; // in the order sent
  void webSocketDidReceiveMessage(WSWebSocket& webSocket, const WSMessage& message) override {
    if (!opened || ended) std::abort();
    if (auto* text = std::get_if<std::string>(&message))
      if (!platform::IsValidUTF8({reinterpret_cast<const std::uint8_t*>(text->data()), text->size()}))
        std::abort();
    WSError error;
    const bool sent = std::holds_alternative<std::string>(message)
                          ? webSocket.sendString(std::get<std::string>(message), &error)
                          : webSocket.sendData(std::get<WSData>(message), &error);
    if (sent) echoed.push_back(message); // refused once closing has begun
  }
  void webSocketDidFail(WSWebSocket&, const WSError&) override { end(); }
  void webSocketDidClose(WSWebSocket&, std::int64_t, const std::optional<std::string>&, bool) override {
    end();
  }

private:
  void end() {
    if (ended) std::abort();
    ended = true;
  }
};

/// The connection's bytes after its request head: the echoed messages in order, masked pongs and at
/// most one close, last.
void CheckClientFrames(const std::vector<std::uint8_t>& written, const std::vector<WSMessage>& echoed) {
  std::size_t nextEcho = 0;
  const std::string text(written.begin(), written.end());
  const auto headEnd = text.find("\r\n\r\n");
  if (headEnd == std::string::npos) std::abort(); // the request always goes out first
  std::span<const std::uint8_t> rest(written.data() + headEnd + 4, written.size() - headEnd - 4);
  bool closed = false;
  while (!rest.empty()) {
    std::size_t needed = 0;
    const auto header = WSParseFrameHeader(rest, &needed);
    if (!header && rest.size() < needed) return; // cut short
    if (!header || !header->masked || !header->fin || header->rsv || closed) std::abort();
    const bool data = header->opcode == WSOpcodeText || header->opcode == WSOpcodeBinary;
    if (!data && header->opcode != WSOpcodePong && header->opcode != WSOpcodeClose) std::abort();
    if (!data && header->payloadLength > 125) std::abort();
    if (rest.size() < header->headerSize + header->payloadLength) return; // cut short
    std::vector<std::uint8_t> payload(
        rest.begin() + static_cast<std::ptrdiff_t>(header->headerSize),
        rest.begin() + static_cast<std::ptrdiff_t>(header->headerSize + header->payloadLength));
    WSMaskBytesSIMD(payload.data(), payload.size(), header->maskKey.data());
    if (data) {
      if (nextEcho >= echoed.size()) std::abort();
      const WSMessage& want = echoed[nextEcho++];
      const bool text = std::holds_alternative<std::string>(want);
      if (text != (header->opcode == WSOpcodeText)) std::abort();
      const std::string bytes(payload.begin(), payload.end());
      if (text ? bytes != std::get<std::string>(want) : payload != std::get<WSData>(want)) std::abort();
    }
    if (header->opcode == WSOpcodeClose) {
      closed = true;
      if (payload.size() == 1) std::abort();
      if (payload.size() >= 2) {
        const std::uint32_t code = (payload[0] << 8) | payload[1];
        if (!WSCloseCodeIsValid(code)) std::abort();
        if (!platform::IsValidUTF8(std::span<const std::uint8_t>(payload).subspan(2))) std::abort();
      }
    }
    rest = rest.subspan(header->headerSize + header->payloadLength);
  }
}

/// The reader's events for `bytes` fed in pieces of `chunk` bytes (0: whole), as text.
std::string ReaderTrace(std::span<const std::uint8_t> bytes, std::size_t chunk) {
  WSFrameReader reader(64ull * 1024 * 1024); // the connection's default bound
  std::string trace;
  std::uint64_t announced = 0, received = 0;
  while (!bytes.empty()) {
    auto piece = bytes.first(chunk ? std::min(chunk, bytes.size()) : bytes.size());
    bytes = bytes.subspan(piece.size());
    for (;;) {
      WSFrameEvent event;
      const std::size_t taken = reader.read(piece, &event);
      if (taken > piece.size()) std::abort();
      piece = piece.subspan(taken);
      using K = WSFrameEvent::Kind;
      if (event.kind == K::NeedMore) {
        if (!piece.empty()) std::abort();
        break;
      }
      if (event.kind == K::Failed) {
        if (reader.read(piece, &event) != 0 || event.kind != K::Failed) std::abort(); // sticky
        return trace + "F" + std::to_string(reader.closeCode()) + reader.failureReason();
      }
      if (event.kind == K::ControlFrame) {
        if (!WSOpcodeIsControl(event.opcode) || event.bytes.size() > WSMaxControlPayloadLength) std::abort();
        trace += "C" + std::to_string(event.opcode) + std::string(event.bytes.begin(), event.bytes.end());
        continue;
      }
      if (event.kind == K::DataHeader) {
        if (received != announced) std::abort();
        announced = event.payloadLength;
        received = 0;
        trace += "D" + std::to_string(event.opcode) + (event.fin ? "f" : "") + std::to_string(announced);
      } else {
        received += event.bytes.size();
        trace.append(event.bytes.begin(), event.bytes.end());
      }
      if (event.frameComplete && received != announced) std::abort();
    }
  }
  return trace;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::PrepareEnvironment();
  WSSetRandomSourceForTesting(ZeroRandom);
  WSStreamSetPairFactoryForTesting([](const std::string&, std::uint16_t) {
    return fuzz::MemoryStreamPair(std::move(gServerBytes), gChunk, &gCore);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const std::string head = ValidHead();
  const bool rawHead = data[0] & 0x80;
  gChunk = data[0] & 0x7F;
  gServerBytes.clear();
  if (!rawHead) gServerBytes.assign(head.begin(), head.end());
  gServerBytes.insert(gServerBytes.end(), data + 1, data + size);
  if (!rawHead) {
    const std::span<const std::uint8_t> frames(data + 1, size - 1);
    if (ReaderTrace(frames, 0) != ReaderTrace(frames, gChunk ? gChunk : 1)) std::abort();
  }

  WSURLRequest request("ws://fuzz.invalid:1/");
  request.timeoutInterval = 0; // no connect time-out task holding the connection for a minute
  auto delegate = std::make_shared<Delegate>();
  std::weak_ptr<WSWebSocket> weak;
  {
    auto socket = WSWebSocket::initWithURLRequest(request);
    socket->setDelegate(delegate);
    socket->open();
    weak = socket;
  }
  auto& loop = platform::RunLoop::main();
  if (!loop.runUntil([&] { return delegate->ended; }, kDeadline)) std::abort(); // hung
  // The clean-up releases the connection on its own queues; wait for it so that no connection
  // outlives its input.
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!weak.expired()) {
    if (std::chrono::steady_clock::now() > deadline) std::abort();
    loop.runUntil([] { return false; }, std::chrono::milliseconds(1));
  }
  CheckClientFrames(fuzz::MemoryStreamWritten(*gCore), delegate->echoed);
  gCore.reset();
  return 0;
}
