// The frame reader against a scripted server: every protocol error and the close frame it
// sends, close codes, UTF-8 checks at every split, extended lengths, pings, the message bound,
// and the ends of the stream.
#include "websocket/WSWebSocketConnection.hpp"

#include "WSTestSupport.hpp"
#include "support/Wait.hpp"
#include "websocket/detail/WSFrame.hpp"

#include <netinet/tcp.h>

#include <gtest/gtest.h>

#include <future>
#include <random>

using namespace wstest;

namespace {

WSData Join(const std::vector<WSData>& frames) {
  WSData all;
  for (auto& f : frames) all.insert(all.end(), f.begin(), f.end());
  return all;
}

/// What the client's close frame said, the frames it sent before it, and what its delegate heard.
struct Outcome {
  std::optional<ClientFrame> closeFrame;
  std::vector<ClientFrame> framesBefore;
  std::vector<Report> reports;
};

/// Opens a client on a scripted server that sends `frames` after the handshake, then reads the
/// client's frames up to its close frame (answering pings' pongs are skipped) and waits for the
/// client to close TCP.
Outcome RunScript(const std::vector<WSData>& frames,
                  std::function<void(WSWebSocketConnection&)> configure = nullptr) {
  Outcome outcome;
  RawServer server([&](RawPeer& peer) {
    peer.handshake();
    peer.send(Join(frames));
    for (;;) {
      ClientFrame frame = peer.readFrame();
      if (frame.opcode == WSOpcodeClose) {
        outcome.closeFrame = frame;
        break;
      }
      outcome.framesBefore.push_back(frame);
    }
    EXPECT_TRUE(peer.waitForClientClose());
  });
  Client client;
  WSURLRequest request(server.url());
  request.timeoutInterval = 0;
  auto connection = WSWebSocketConnection::create(request, std::nullopt, WSSecurityPolicy::defaultPolicy());
  client.socket = connection;
  connection->setDelegate(client.delegate);
  if (configure) configure(*connection);
  connection->setDelegateDispatchQueue(client.queue);
  connection->open();
  EXPECT_TRUE(client.delegate->waitForEnd());
  EXPECT_EQ(server.finish(), "");
  outcome.reports = client.delegate->reports();
  return outcome;
}

std::uint16_t CodeOf(const ClientFrame& frame) {
  return frame.payload.size() >= 2 ? static_cast<std::uint16_t>(frame.payload[0] << 8 | frame.payload[1]) : 0;
}
std::string ReasonOf(const ClientFrame& frame) {
  return frame.payload.size() > 2 ? std::string(frame.payload.begin() + 2, frame.payload.end()) : "";
}

struct ProtocolErrorCase {
  const char* name;
  std::vector<WSData> frames;
  std::uint16_t sentCode;
  std::string sentReason;
  std::int64_t reportedCode = 0; // the peer's close code, when its frame carried one
};

class WSWebSocketProtocolErrorTest : public ::testing::TestWithParam<ProtocolErrorCase> {};

// Each refused frame gets one close frame with the status and the rule's text, then the client
// closes TCP and reports the close of the peer's (absent) close frame: code 0 or the refused
// code, no reason, clean.
TEST_P(WSWebSocketProtocolErrorTest, ClosesWithCodeAndReason) {
  const ProtocolErrorCase& c = GetParam();
  Outcome outcome = RunScript(c.frames);
  ASSERT_TRUE(outcome.closeFrame) << c.name;
  EXPECT_TRUE(outcome.closeFrame->fin);
  EXPECT_TRUE(outcome.closeFrame->masked);
  EXPECT_EQ(CodeOf(*outcome.closeFrame), c.sentCode) << c.name;
  EXPECT_EQ(ReasonOf(*outcome.closeFrame), c.sentReason) << c.name;
  std::size_t closes = 0;
  for (auto& r : outcome.reports) {
    EXPECT_NE(r.kind, Report::Fail) << c.name;
    EXPECT_NE(r.kind, Report::Message) << c.name << ": nothing of a refused message is delivered";
    if (r.kind != Report::Close) continue;
    ++closes;
    EXPECT_EQ(r.code, c.reportedCode) << c.name;
    EXPECT_EQ(r.reason, std::nullopt) << c.name;
    EXPECT_TRUE(r.wasClean) << c.name;
  }
  EXPECT_EQ(closes, 1u) << c.name;
}

WSData Frame(std::uint8_t opcode, const std::string& payload, bool fin = true, std::uint8_t rsv = 0,
             std::optional<std::uint8_t> length7 = std::nullopt, bool masked = false) {
  return ServerFrame(opcode, Bytes(payload), fin, rsv, length7, masked);
}

std::vector<ProtocolErrorCase> ProtocolErrorCases() {
  std::vector<ProtocolErrorCase> cases = {
      {"rsv1", {Frame(1, "x", true, 0x40)}, 1002, "Server used RSV bits"},
      {"rsv3 with mask (first check wins)",
       {Frame(1, "x", true, 0x10, std::nullopt, true)},
       1002,
       "Server used RSV bits"},
      {"continuation first", {Frame(0, "x")}, 1002, "cannot continue a message"},
      {"new data opcode inside a message",
       {Frame(1, "a", false), Frame(1, "b")},
       1002,
       "all data frames after the initial data frame must have opcode 0"},
      {"masked", {Frame(2, "x", true, 0, std::nullopt, true)}, 1002, "Client must receive unmasked data"},
      {"fragmented ping", {Frame(9, "x", false)}, 1002, "Fragmented control frames not allowed"},
      {"ping of 126 bytes",
       {Frame(9, std::string(126, 'p'))},
       1002,
       "Control frames cannot have payloads larger than 126 bytes"},
      {"opcode 3", {Frame(3, "reserved")}, 1002, "Unknown opcode 3"},
      {"opcode 11", {Frame(11, "reserved")}, 1002, "Unknown opcode 11"},
      {"close of 1 byte",
       {ServerFrame(8, WSData{0x03})},
       1002,
       "Payload for close must be larger than 2 bytes"},
      {"close reason not UTF-8",
       {ServerFrame(8, WSData{0x03, 0xE8, 0xFF, 0xFE})},
       1002,
       "Close reason MUST be valid UTF-8",
       1000},
      {"invalid text while arriving",
       {Frame(1,
              "ok\xff"
              "abcd",
              false)},
       1007,
       "Text frames must be valid UTF-8"},
      {"text ending in half a character", {Frame(1, "ab\xe2\x82")}, 1007, "Text frames must be valid UTF-8."},
      // Bytes that no later bytes can make UTF-8 fail as they arrive, though the message goes on.
      {"overlong encoding", {Frame(1, "\xc0\xaf")}, 1007, "Text frames must be valid UTF-8"},
      {"F4 90 ends a fragment", {Frame(1, "ab\xF4\x90", false)}, 1007, "Text frames must be valid UTF-8"},
      {"E0 80 ends a fragment", {Frame(1, "ab\xE0\x80", false)}, 1007, "Text frames must be valid UTF-8"},
      {"ED A0 ends a fragment", {Frame(1, "ab\xED\xA0", false)}, 1007, "Text frames must be valid UTF-8"},
      {"F0 8F ends a fragment", {Frame(1, "ab\xF0\x8F", false)}, 1007, "Text frames must be valid UTF-8"},
      {"C1 ends a fragment", {Frame(1, "ab\xC1", false)}, 1007, "Text frames must be valid UTF-8"},
      {"F5 ends a fragment", {Frame(1, "ab\xF5", false)}, 1007, "Text frames must be valid UTF-8"},
      {"F4 90 ends a continuation",
       {Frame(1, "ab", false), Frame(0, "c\xF4\x90", false)},
       1007,
       "Text frames must be valid UTF-8"},
      {"announced 2^63 bytes", {WSData{0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0}}, 1009, "Message too big"},
      {"announced 2^64-1 bytes",
       {WSData{0x82, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
       1009,
       "Message too big"},
  };
  for (std::uint16_t code : {0, 999, 1004, 1005, 1006, 1012, 2999, 5000, 65535})
    cases.push_back({"refused close code",
                     {ServerFrame(8, ClosePayload(code))},
                     1002,
                     "Cannot have close code of " + std::to_string(code),
                     code});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryRule, WSWebSocketProtocolErrorTest, ::testing::ValuesIn(ProtocolErrorCases()));

// Messages complete before a refused frame that came in the same read reach the delegate first,
// while the connection is still open: the answers the delegate sends leave before the close frame.
TEST(WSWebSocketFrameReaderTest, MessagesBeforeARefusedFrameAreDeliveredFirst) {
  struct Case {
    const char* name;
    WSData refused;
    std::uint16_t code;
  };
  const Case cases[] = {
      {"RSV bits", Frame(1, "x", true, 0x40), 1002},
      {"reserved opcode", Frame(3, "reserved"), 1002},
      {"reserved control opcode", Frame(11, "reserved"), 1002},
      {"continuation first", Frame(0, "x"), 1002},
      {"new opcode inside a message", Join({Frame(1, "a", false), Frame(1, "b")}), 1002},
      {"control frame fragmented", Frame(9, "x", false), 1002},
      {"text that cannot become UTF-8", Frame(1, "ab\xF4\x90", false), 1007},
  };
  const auto echo = [](WSWebSocketConnection& c) {
    if (auto delegate = std::dynamic_pointer_cast<RecordingDelegate>(c.delegate())) delegate->echoText = true;
  };
  for (const Case& c : cases) {
    // One message from the read block, one assembled from fragments; all in one TCP write.
    Outcome outcome = RunScript({Frame(1, "hello"), Frame(1, "wor", false), Frame(0, "ld"), c.refused}, echo);
    ASSERT_TRUE(outcome.closeFrame) << c.name;
    EXPECT_EQ(CodeOf(*outcome.closeFrame), c.code) << c.name;
    std::vector<std::string> echoed;
    for (auto& frame : outcome.framesBefore) echoed.push_back(frame.text());
    EXPECT_EQ(echoed, (std::vector<std::string>{"hello", "world"})) << c.name;
    std::vector<Report::Kind> kinds;
    for (auto& r : outcome.reports)
      if (r.kind == Report::String || r.kind == Report::Close) kinds.push_back(r.kind);
    EXPECT_EQ(kinds, (std::vector<Report::Kind>{Report::String, Report::String, Report::Close})) << c.name;
  }
}

// Accepted close codes are answered with 1000 and reported with the peer's code and reason.
TEST(WSWebSocketFrameReaderTest, AcceptedCloseCodesAreAnsweredWith1000) {
  for (std::uint16_t code : {1000, 1003, 1007, 1011, 3000, 4999}) {
    Outcome outcome = RunScript({ServerFrame(8, ClosePayload(code, "why"))});
    ASSERT_TRUE(outcome.closeFrame);
    EXPECT_EQ(outcome.closeFrame->payload, (WSData{0x03, 0xE8})) << code;
    auto close = std::find_if(outcome.reports.begin(), outcome.reports.end(),
                              [](const Report& r) { return r.kind == Report::Close; });
    ASSERT_NE(close, outcome.reports.end());
    EXPECT_EQ(close->code, code);
    EXPECT_EQ(close->reason, std::optional<std::string>("why"));
    EXPECT_TRUE(close->wasClean);
  }
}

// A close frame without payload records 1005; a 2-byte one records its code and no reason.
TEST(WSWebSocketFrameReaderTest, CloseWithoutPayloadReports1005) {
  Outcome empty = RunScript({ServerFrame(8, WSData{})});
  EXPECT_EQ(empty.closeFrame->payload, (WSData{0x03, 0xE8}));
  EXPECT_EQ(empty.reports.back().code, 1005);
  EXPECT_EQ(empty.reports.back().reason, std::nullopt);
  Outcome codeOnly = RunScript({ServerFrame(8, ClosePayload(1001))});
  EXPECT_EQ(codeOnly.reports.back().code, 1001);
  EXPECT_EQ(codeOnly.reports.back().reason, std::nullopt);
}

// A close frame in the middle of a fragmented message ends the connection; the partial message
// is never delivered.
TEST(WSWebSocketFrameReaderTest, CloseDuringFragmentedMessage) {
  Outcome outcome = RunScript({Frame(1, "part one", false), ServerFrame(8, ClosePayload(1000, "bye"))});
  EXPECT_EQ(CodeOf(*outcome.closeFrame), 1000);
  for (auto& r : outcome.reports) EXPECT_NE(r.kind, Report::Message);
  EXPECT_EQ(outcome.reports.back().kind, Report::Close);
  EXPECT_EQ(outcome.reports.back().reason, std::optional<std::string>("bye"));
}

// Data frames summing past the bound are refused with 1009 as soon as the sum is announced.
TEST(WSWebSocketFrameReaderTest, AssembledMessageOverTheBoundCloses1009) {
  std::vector<WSData> frames = {ServerFrame(2, WSData(600 * 1024, 1), false)};
  for (int i = 0; i < 20; ++i) frames.push_back(ServerFrame(0, WSData(100 * 1024, 2), false));
  Outcome outcome = RunScript(frames, [](WSWebSocketConnection& c) { c.setMaximumMessageSize(1024 * 1024); });
  ASSERT_TRUE(outcome.closeFrame);
  EXPECT_EQ(CodeOf(*outcome.closeFrame), 1009);
  EXPECT_EQ(ReasonOf(*outcome.closeFrame), "Message too big");
}

/// A connection on a scripted server that runs `script` after the handshake; the client is
/// closed by the script's end (a close handshake or the TCP end).
struct Scripted {
  explicit Scripted(std::function<void(RawPeer&)> script)
      : server([script = std::move(script)](RawPeer& peer) {
          peer.handshake();
          int one = 1;
          ::setsockopt(peer.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          script(peer);
        }) {
    client.open(server.url());
  }
  RawServer server;
  Client client;
};

// Text split across frames at every byte, including inside 2-, 3- and 4-byte characters (the
// 4-byte one held back until its last byte), is accepted.
TEST(WSWebSocketFrameReaderTest, TextSplitAcrossFramesAtEveryByte) {
  const std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z"; // a é € 😀 z
  Scripted s([&](RawPeer& peer) {
    for (std::size_t k = 1; k < text.size(); ++k)
      peer.send(Join({Frame(1, text.substr(0, k), false), Frame(0, text.substr(k))}));
    peer.answerClose();
  });
  ASSERT_TRUE(s.client.delegate->waitFor(Report::String, text.size() - 1));
  for (auto& r : s.client.delegate->reportsOf(Report::String)) EXPECT_EQ(r.text, text);
  s.client.socket->close();
  EXPECT_EQ(s.server.finish(), "");
}

// The same text arriving one byte per segment is accepted.
TEST(WSWebSocketFrameReaderTest, TextSplitAcrossReadsAtEveryByte) {
  const std::string text = "\xf0\x9f\x98\x80 and \xe2\x82\xac";
  Scripted s([&](RawPeer& peer) {
    peer.sendBytewise(Join({Frame(1, text.substr(0, 2), false), Frame(0, text.substr(2))}));
    peer.answerClose();
  });
  ASSERT_TRUE(s.client.delegate->waitFor(Report::String));
  EXPECT_EQ(s.client.delegate->last(Report::String).text, text);
  s.client.socket->close();
  EXPECT_EQ(s.server.finish(), "");
}

// Empty text and binary messages; 16-bit lengths of 126 and 65535, 64-bit of 65536, and a
// 64-bit form used for a short payload.
TEST(WSWebSocketFrameReaderTest, EveryLengthFormIsRead) {
  std::vector<std::size_t> sizes = {0, 126, 65535, 65536};
  Scripted s([&](RawPeer& peer) {
    peer.send(Frame(1, ""));
    for (std::size_t size : sizes) peer.send(ServerFrame(2, WSData(size, static_cast<std::uint8_t>(size))));
    peer.send(ServerFrame(2, WSData(10, 7), true, 0, std::uint8_t(127)));
    peer.answerClose();
  });
  ASSERT_TRUE(s.client.delegate->waitFor(Report::Data, sizes.size() + 1));
  ASSERT_TRUE(s.client.delegate->waitFor(Report::String));
  EXPECT_EQ(s.client.delegate->last(Report::String).text, "");
  auto data = s.client.delegate->reportsOf(Report::Data);
  for (std::size_t i = 0; i < sizes.size(); ++i)
    EXPECT_EQ(data[i].bytes, WSData(sizes[i], static_cast<std::uint8_t>(sizes[i])));
  EXPECT_EQ(data.back().bytes, WSData(10, 7));
  s.client.socket->close();
  EXPECT_EQ(s.server.finish(), "");
}

// A long burst sent in one go (messages of every size, fragmented ones with a ping between the
// fragments): the reader works through it block by block, reusing its blocks and message buffers,
// and every message arrives intact and in order.
TEST(WSWebSocketFrameReaderTest, ALongBurstArrivesIntactAndInOrder) {
  std::mt19937 random(7);
  std::vector<WSData> messages;
  WSData stream;
  for (std::size_t i = 0; i < 1200; ++i) {
    std::size_t size = random() % 3000;
    if (i % 100 == 0) size = 65536 + random() % 300000;
    if (i % 100 == 1) size = 125 + i % 3;
    WSData message(size);
    for (std::size_t j = 0; j < size; ++j) message[j] = static_cast<std::uint8_t>(i * 131 + j * 7);
    WSData frames;
    if (i % 40 == 9 && size > 1) {
      const auto half = static_cast<std::ptrdiff_t>(size / 2);
      frames =
          Join({ServerFrame(2, WSData(message.begin(), message.begin() + half), false),
                ServerFrame(9, WSData{1, 2}), ServerFrame(0, WSData(message.begin() + half, message.end()))});
    } else {
      frames = ServerFrame(2, message);
    }
    stream.insert(stream.end(), frames.begin(), frames.end());
    messages.push_back(std::move(message));
  }
  Scripted s([&](RawPeer& peer) {
    peer.send(stream);
    peer.answerClose();
  });
  ASSERT_TRUE(s.client.delegate->waitFor(Report::Data, messages.size()));
  auto data = s.client.delegate->reportsOf(Report::Data);
  ASSERT_EQ(data.size(), messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i)
    ASSERT_TRUE(data[i].bytes == messages[i]) << "message " << i;
  s.client.socket->close();
  EXPECT_EQ(s.server.finish(), "");
}

// While the delegate's queue is blocked the reader stops at a bound and the rest waits in the
// socket; once the queue runs again reading resumes, and every message arrives in order.
TEST(WSWebSocketFrameReaderTest, ABlockedDelegatePausesReadingUntilItCatchesUp) {
  std::vector<WSData> messages;
  WSData stream;
  for (std::size_t i = 0; i < 600; ++i) {
    WSData message(i % 3 == 0 ? 100000 + i : 300 + i, static_cast<std::uint8_t>(i));
    WSData frame = ServerFrame(2, message);
    stream.insert(stream.end(), frame.begin(), frame.end());
    messages.push_back(std::move(message));
  }
  testsupport::Signal blocked;
  Scripted s([&](RawPeer& peer) {
    if (!blocked.wait()) return;
    peer.send(stream); // 20 MB: far more than the socket buffers and the reader's bound together
    peer.answerClose();
  });
  ASSERT_TRUE(s.client.delegate->waitFor(Report::Open));
  auto& connection = dynamic_cast<WSWebSocketConnection&>(*s.client.socket);
  std::promise<void> unblock;
  s.client.queue->async([unblocked = unblock.get_future().share()] { unblocked.wait(); });
  blocked.notify();
  EXPECT_TRUE(testsupport::WaitUntil([&] { return connection.readingPaused(); }));
  unblock.set_value();
  ASSERT_TRUE(s.client.delegate->waitFor(Report::Data, messages.size()));
  EXPECT_FALSE(connection.readingPaused());
  auto data = s.client.delegate->reportsOf(Report::Data);
  for (std::size_t i = 0; i < messages.size(); ++i)
    ASSERT_TRUE(data[i].bytes == messages[i]) << "message " << i;
  s.client.socket->close();
  EXPECT_EQ(s.server.finish(), "");
}

// Large messages are read from the socket straight into their buffers, text checked as it
// arrives (its two-byte characters cut between reads), and small ones come from the blocks:
// after a long stream in many read steps every message is intact and in order, and the reader
// has reused its blocks instead of taking a new one for every 64 KiB read.
TEST(WSWebSocketFrameReaderTest, LargeMessagesInPlaceAndBlocksReused) {
  std::vector<WSData> binary;
  std::vector<std::string> texts;
  WSData stream;
  auto add = [&stream](const WSData& frame) { stream.insert(stream.end(), frame.begin(), frame.end()); };
  for (std::size_t round = 0; round < 6; ++round) {
    std::string text;
    while (text.size() < (1u << 20) + round) text += round % 2 ? "\xC3\xA9t\xC3\xA9 " : "x\xC3\xA9";
    texts.push_back(text);
    add(ServerFrame(1, text));
    WSData large((2u << 20) + round * 4099);
    for (std::size_t j = 0; j < large.size(); ++j) large[j] = static_cast<std::uint8_t>(j * 13 + round);
    const auto third = static_cast<std::ptrdiff_t>(large.size() / 3);
    add(ServerFrame(2, WSData(large.begin(), large.begin() + third), false));
    add(ServerFrame(0, WSData(large.begin() + third, large.end())));
    binary.push_back(std::move(large));
    for (std::size_t i = 0; i < 20000; ++i) {
      WSData small(1 + (i * 7) % 90, static_cast<std::uint8_t>(i));
      add(ServerFrame(2, small));
      binary.push_back(std::move(small));
    }
  }
  Scripted s([&](RawPeer& peer) {
    peer.send(stream);
    peer.answerClose();
  });
  ASSERT_TRUE(s.client.delegate->waitFor(Report::Data, binary.size()));
  ASSERT_TRUE(s.client.delegate->waitFor(Report::String, texts.size()));
  auto data = s.client.delegate->reportsOf(Report::Data);
  for (std::size_t i = 0; i < binary.size(); ++i) ASSERT_TRUE(data[i].bytes == binary[i]) << "message " << i;
  auto strings = s.client.delegate->reportsOf(Report::String);
  for (std::size_t i = 0; i < texts.size(); ++i) ASSERT_TRUE(strings[i].text == texts[i]) << "text " << i;
  auto& connection = dynamic_cast<WSWebSocketConnection&>(*s.client.socket);
  // The small messages alone fill about 70 blocks of 64 KiB.
  EXPECT_LT(connection.readBlocksCreated(), 40u);
  s.client.socket->close();
  EXPECT_EQ(s.server.finish(), "");
}

// Pings of 0 and 125 bytes, one of them between the fragments of a message, are reported and
// answered with pongs carrying the same bytes; the message then completes.
TEST(WSWebSocketFrameReaderTest, PingsAreAnsweredEvenInsideAMessage) {
  std::vector<ClientFrame> pongs;
  Scripted s([&](RawPeer& peer) {
    peer.send(Join({Frame(1, "frag", false), ServerFrame(9, WSData{}), Frame(0, "mented")}));
    peer.send(ServerFrame(9, WSData(125, 0x5A)));
    pongs.push_back(peer.readFrame());
    pongs.push_back(peer.readFrame());
    EXPECT_TRUE(peer.keysWereFresh());
    // The server closes (a close from the client could overtake the pongs, which leave after
    // the ping reports).
    peer.send(ServerFrame(8, ClosePayload(1000)));
    EXPECT_EQ(peer.readFrame().opcode, WSOpcodeClose);
    EXPECT_TRUE(peer.waitForClientClose());
  });
  ASSERT_TRUE(s.client.delegate->waitFor(Report::Close));
  std::string finished = s.server.finish();
  ASSERT_EQ(finished, "");
  for (auto& r : s.client.delegate->reports()) {
    if (r.kind == Report::Close) {
      EXPECT_EQ(r.code, 1000) << (r.reason ? *r.reason : "");
    }
  }
  EXPECT_EQ(s.client.delegate->last(Report::String).text, "fragmented");
  EXPECT_EQ(s.client.delegate->count(Report::Ping), 2u);
  ASSERT_EQ(pongs.size(), 2u);
  EXPECT_EQ(pongs[0].opcode, WSOpcodePong);
  EXPECT_TRUE(pongs[0].fin && pongs[0].masked);
  EXPECT_EQ(pongs[0].payload, WSData{});
  EXPECT_EQ(pongs[1].payload, WSData(125, 0x5A));
}

// The stream ends while complete frames are still buffered: they are delivered first, then the
// close 1001 "Stream end encountered", unclean.
TEST(WSWebSocketFrameReaderTest, StreamEndAfterBufferedFrames) {
  Scripted s([&](RawPeer& peer) {
    peer.send(Join({Frame(1, "one"), Frame(1, "two"), Frame(1, "three")}));
    peer.close();
  });
  ASSERT_TRUE(s.client.delegate->waitFor(Report::Close));
  auto reports = s.client.delegate->reports();
  std::vector<std::string> texts;
  for (auto& r : reports)
    if (r.kind == Report::String) texts.push_back(r.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(reports.back().kind, Report::Close);
  EXPECT_EQ(reports.back().code, 1001);
  EXPECT_EQ(reports.back().reason, std::optional<std::string>("Stream end encountered"));
  EXPECT_FALSE(reports.back().wasClean);
  EXPECT_EQ(s.client.socket->readyState(), WS_CLOSED);
  EXPECT_EQ(s.server.finish(), "");
}

// The server ends the stream in the middle of a frame: one close 1001, nothing delivered.
TEST(WSWebSocketFrameReaderTest, StreamEndMidFrame) {
  Scripted s([&](RawPeer& peer) {
    WSData frame = ServerFrame(2, WSData(100, 1));
    frame.resize(30);
    peer.send(frame);
    peer.close();
  });
  ASSERT_TRUE(s.client.delegate->waitForEnd());
  EXPECT_EQ(s.client.delegate->count(Report::Data), 0u);
  ASSERT_EQ(s.client.delegate->count(Report::Close), 1u);
  EXPECT_EQ(s.client.delegate->last(Report::Close).code, 1001);
  EXPECT_EQ(s.server.finish(), "");
}

// A reset connection is a stream error: one failure with the socket's error, no close report.
TEST(WSWebSocketFrameReaderTest, ResetFailsWithSocketError) {
  Scripted s([&](RawPeer& peer) {
    peer.send(Frame(1, "before reset"));
    peer.reset();
  });
  ASSERT_TRUE(s.client.delegate->waitForEnd());
  ASSERT_TRUE(s.client.delegate->waitFor(Report::Fail));
  WSError error = s.client.failure();
  EXPECT_EQ(error.domain, NSPOSIXErrorDomain);
  EXPECT_EQ(error.code, ECONNRESET);
  EXPECT_EQ(error.localizedDescription, "Connection reset by peer");
  EXPECT_EQ(s.client.delegate->count(Report::Close), 0u);
  EXPECT_EQ(s.server.finish(), "");
}

// Random bytes after the handshake: whatever they are, exactly one end is reported and the
// connection is released.
TEST(WSWebSocketFrameReaderTest, GarbageEndsTheConnectionOnce) {
  std::mt19937 random(12345);
  for (int round = 0; round < 8; ++round) {
    WSData garbage(4096);
    for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
    std::weak_ptr<WSWebSocket> weak;
    {
      Scripted s([&](RawPeer& peer) {
        try {
          peer.send(garbage);
        } catch (const std::exception&) {
        }
        peer.close();
      });
      ASSERT_TRUE(s.client.delegate->waitForEnd()) << round;
      EXPECT_EQ(s.server.finish(), "");
      // Later reports would come after the first end; let the connection finish its work.
      weak = s.client.socket;
      s.client.socket.reset();
      auto deadline = Clock::now() + kTimeout;
      while (!weak.expired() && Clock::now() < deadline) std::this_thread::yield();
      EXPECT_TRUE(weak.expired()) << "connection not released, round " << round;
      EXPECT_EQ(s.client.delegate->count(Report::Fail) + s.client.delegate->count(Report::Close), 1u)
          << round;
    }
  }
}

} // namespace
