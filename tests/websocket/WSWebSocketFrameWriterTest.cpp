// The frame writer, checked by the peer: FIN and MASK on every frame, a fresh key per frame,
// every length form, close payloads, the state errors of the send operations and short writes.
#include "websocket/WSWebSocketConnection.hpp"

#include "WSTestSupport.hpp"
#include "websocket/detail/WSFrame.hpp"
#include "websocket/stream/WSStream.hpp"

#include <gtest/gtest.h>

#include <future>

using namespace wstest;

namespace {

/// A connection whose peer reads `count` frames, then answers the close handshake.
struct Capture {
  explicit Capture(std::size_t count) {
    server = std::make_unique<RawServer>([this, count](RawPeer& peer) {
      peer.handshake();
      for (std::size_t i = 0; i < count; ++i) frames.push_back(peer.readFrame());
      keysFresh = peer.keysWereFresh();
      closeFrame = peer.answerClose();
    });
    client.open(server->url());
    EXPECT_TRUE(client.delegate->waitFor(Report::Open));
  }
  /// Closes the client (the peer answers) and waits for the server's script.
  void finish() {
    client.socket->close();
    EXPECT_EQ(server->finish(), "");
  }
  Client client;
  std::vector<ClientFrame> frames;
  ClientFrame closeFrame;
  bool keysFresh = false;
  // Last: destroyed (its script joined) before the fields the script writes.
  std::unique_ptr<RawServer> server;
};

// Every length form: 0 and 125 in 7 bits, 126 and 65535 in 16 bits, 65536 in 64 bits; each
// frame has FIN and MASK, no RSV bit, a fresh key, and unmasks to what was sent.
TEST(WSWebSocketFrameWriterTest, FramesCarryFinMaskFreshKeyAndLength) {
  std::vector<std::size_t> sizes = {0, 1, 125, 126, 65535, 65536, 100000};
  Capture capture(sizes.size() * 2);
  for (std::size_t size : sizes) {
    WSData data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i ^ size);
    ASSERT_TRUE(capture.client.socket->sendData(data, nullptr));
    ASSERT_TRUE(capture.client.socket->sendString(std::string(size, 'x'), nullptr));
  }
  capture.finish();
  ASSERT_EQ(capture.frames.size(), sizes.size() * 2);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const ClientFrame& binary = capture.frames[2 * i];
    const ClientFrame& text = capture.frames[2 * i + 1];
    std::size_t size = sizes[i];
    for (const ClientFrame* f : {&binary, &text}) {
      EXPECT_TRUE(f->fin);
      EXPECT_TRUE(f->masked);
      EXPECT_EQ(f->rsv, 0);
      EXPECT_EQ(f->length, size);
      EXPECT_EQ(f->length7, size <= 125 ? size : size <= 65535 ? 126 : 127) << size;
    }
    EXPECT_EQ(binary.opcode, WSOpcodeBinary);
    EXPECT_EQ(text.opcode, WSOpcodeText);
    for (std::size_t j = 0; j < size; ++j) ASSERT_EQ(binary.payload[j], static_cast<std::uint8_t>(j ^ size));
    EXPECT_EQ(text.text(), std::string(size, 'x'));
  }
  EXPECT_TRUE(capture.keysFresh);
}

// close() sends 1000 as the two bytes 0x03 0xE8.
TEST(WSWebSocketFrameWriterTest, CloseSendsCode1000) {
  Capture capture(0);
  capture.finish();
  EXPECT_EQ(capture.closeFrame.opcode, WSOpcodeClose);
  EXPECT_EQ(capture.closeFrame.payload, (WSData{0x03, 0xE8}));
}

// A close with 1002 and "abc" sends 0x03 0xEA 0x61 0x62 0x63; a second close sends nothing more.
TEST(WSWebSocketFrameWriterTest, CloseWithReasonAndSecondCloseIgnored) {
  Capture capture(0);
  capture.client.socket->closeWithCode(1002, std::string("abc"));
  capture.client.socket->closeWithCode(1000, std::string("second"));
  EXPECT_EQ(capture.server->finish(), "");
  EXPECT_EQ(capture.closeFrame.payload, (WSData{0x03, 0xEA, 0x61, 0x62, 0x63}));
  ASSERT_TRUE(capture.client.delegate->waitFor(Report::Close));
  EXPECT_EQ(capture.client.delegate->last(Report::Close).code, 1002);
  EXPECT_EQ(capture.client.delegate->last(Report::Close).reason, std::optional<std::string>("abc"));
}

// Pings: empty and with bytes; nothing at all for a binary send without data.
TEST(WSWebSocketFrameWriterTest, PingsAndNoDataSends) {
  Capture capture(3);
  EXPECT_TRUE(capture.client.socket->sendPing(WSData{}, nullptr));
  EXPECT_TRUE(capture.client.socket->sendDataNoCopy(nullptr, nullptr)); // sends nothing
  capture.client.socket->send(std::nullopt);                            // sends nothing
  EXPECT_TRUE(capture.client.socket->sendPing(Bytes("abc"), nullptr));
  capture.client.socket->send(WSMessage(std::string("via send")));
  capture.finish();
  EXPECT_EQ(capture.frames[0].opcode, WSOpcodePing);
  EXPECT_EQ(capture.frames[0].payload, WSData{});
  EXPECT_EQ(capture.frames[1].opcode, WSOpcodePing);
  EXPECT_EQ(capture.frames[1].payload, Bytes("abc"));
  EXPECT_EQ(capture.frames[2].opcode, WSOpcodeText);
  EXPECT_EQ(capture.frames[2].text(), "via send");
}

// Before the connection is open every send returns false with 2134 and its own text.
TEST(WSWebSocketFrameWriterTest, SendBeforeOpenFailsWith2134) {
  auto socket = WSWebSocket::initWithURL("ws://127.0.0.1:9/");
  WSError error;
  EXPECT_FALSE(socket->sendString("x", &error));
  EXPECT_EQ(error.domain, WSWebSocketErrorDomain);
  EXPECT_EQ(error.code, 2134);
  EXPECT_EQ(error.localizedDescription,
            "Invalid State: Cannot call `sendString:error:` until connection is open.");
  EXPECT_FALSE(socket->sendData(WSData{1}, &error));
  EXPECT_EQ(error.localizedDescription,
            "Invalid State: Cannot call `sendDataNoCopy:error:` until connection is open.");
  EXPECT_FALSE(socket->sendPing(WSData{}, &error));
  EXPECT_EQ(error.localizedDescription,
            "Invalid State: Cannot call `sendPing:error:` until connection is open.");
  EXPECT_FALSE(socket->sendData(WSData{1}, nullptr));
  EXPECT_EQ(socket->readyState(), WS_CONNECTING);
}

// With a tiny socket send buffer the output is written in many short writes; the peer still
// receives every byte in order.
TEST(WSWebSocketFrameWriterTest, ShortWritesKeepEveryByte) {
  WSStreamSetSendBufferSizeForTesting(2048);
  Capture capture(5);
  WSStreamSetSendBufferSizeForTesting(0);
  std::vector<WSData> sent;
  for (std::size_t size : {3u << 20, 10u, 1u << 20, 7u, 200000u}) {
    WSData data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 31 + size);
    sent.push_back(data);
    ASSERT_TRUE(capture.client.socket->sendData(data, nullptr));
  }
  capture.finish();
  ASSERT_EQ(capture.frames.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_TRUE(capture.frames[i].payload == sent[i]) << i;
}

// A burst of several megabytes of frames of every size, sent without waiting, leaves over
// several pump steps and write chunks: the peer reads every frame, in order, each with its own key.
TEST(WSWebSocketFrameWriterTest, ABurstLeavesInOrderOverSeveralSteps) {
  std::vector<WSData> sent;
  for (std::size_t i = 0; i < 600; ++i) {
    std::size_t size = (i * 7919) % 20000;
    if (i % 150 == 3) size = (5u << 20) + i; // over one step's budget
    if (i % 97 == 5) size = 65535 + i % 3;
    WSData data(size);
    for (std::size_t j = 0; j < size; ++j) data[j] = static_cast<std::uint8_t>(i + j * 13);
    sent.push_back(std::move(data));
  }
  Capture capture(sent.size());
  for (const WSData& data : sent) ASSERT_TRUE(capture.client.socket->sendData(data, nullptr));
  capture.finish();
  EXPECT_TRUE(capture.keysFresh);
  ASSERT_EQ(capture.frames.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(capture.frames[i].opcode, WSOpcodeBinary) << i;
    ASSERT_TRUE(capture.frames[i].payload == sent[i]) << i;
  }
}

// While the peer does not read, the unsent bytes are counted and a pong that is still waiting
// answers only the latest ping (RFC 6455 section 5.5.3); once the peer reads, everything arrives
// in order and the drain report follows.
TEST(WSWebSocketFrameWriterTest, BackedUpOutputIsCountedCoalescesPongsAndReportsItsDrain) {
  // 24 MiB: more than the socket buffers of both ends hold.
  constexpr std::size_t kMessages = 384, kSize = 64 * 1024, kPings = 200;
  std::promise<void> sent, reported;
  std::vector<ClientFrame> pongs;
  std::size_t messages = 0;
  RawServer server([&](RawPeer& peer) {
    peer.handshake();
    sent.get_future().wait();
    for (std::size_t i = 0; i < kPings; ++i) peer.send(ServerFrame(9, Bytes("p" + std::to_string(i))));
    reported.get_future().wait();
    for (;;) {
      ClientFrame frame = peer.readFrame();
      if (frame.opcode == WSOpcodeBinary) ++messages;
      if (frame.opcode != WSOpcodePong) continue;
      pongs.push_back(frame);
      if (frame.text() == "p" + std::to_string(kPings - 1)) break;
    }
    peer.answerClose();
  });
  Client client;
  client.open(server.url());
  ASSERT_TRUE(client.delegate->waitFor(Report::Open));
  for (std::size_t i = 0; i < kMessages; ++i)
    ASSERT_TRUE(client.socket->sendData(WSData(kSize, 0x42), nullptr));
  EXPECT_GT(client.socket->bufferedAmount(), 0u);
  sent.set_value();
  ASSERT_TRUE(client.delegate->waitFor(Report::Ping, kPings));
  EXPECT_GT(client.socket->bufferedAmount(), 0u) << "the peer took everything without reading";
  client.socket->reportWhenOutputDrains();
  reported.set_value();
  ASSERT_TRUE(client.delegate->waitFor(Report::Drain));
  EXPECT_EQ(client.socket->bufferedAmount(), 0u);
  client.socket->close();
  EXPECT_EQ(server.finish(), "");
  EXPECT_EQ(messages, kMessages);
  EXPECT_LT(pongs.size(), kPings / 2) << "a pong per ping while the peer did not read";
  EXPECT_EQ(client.delegate->count(Report::Drain), 1u);
}

} // namespace
