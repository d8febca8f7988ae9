// The connection against an independent server (python3-websockets): handshake, echo of text
// and binary, fragmented and large messages, pings both ways, close from either side, and a
// dropped TCP connection.
#include "websocket/WSWebSocketConnection.hpp"
#include "websocket/detail/WSHTTPConnectMessage.hpp"

#include "WSTestSupport.hpp"
#include "platform/Queue.hpp"
#include "websocket/WSURLRequest.hpp"

#include <gtest/gtest.h>

using namespace wstest;

namespace {

class WSWebSocketServerTest : public ::testing::Test {
protected:
  std::shared_ptr<WSWebSocket> connect(const std::string& url, const WSProtocols& protocols = std::nullopt) {
    WSURLRequest request(url);
    request.timeoutInterval = 0; // the time-out has its own tests
    socket = WSWebSocket::initWithURLRequest(request, protocols);
    socket->setDelegate(delegate);
    socket->setDelegateDispatchQueue(queue);
    socket->open();
    return socket;
  }
  std::shared_ptr<WSWebSocket> connectOpen(const std::string& url,
                                           const WSProtocols& protocols = std::nullopt) {
    connect(url, protocols);
    EXPECT_TRUE(delegate->waitFor(Report::Open)) << "never opened";
    return socket;
  }

  // One server for the suite.
  static void SetUpTestSuite() { sServer = std::make_unique<PythonServer>(); }
  static void TearDownTestSuite() { sServer.reset(); }
  static PythonServer& server() { return *sServer; }
  static inline std::unique_ptr<PythonServer> sServer;

  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<platform::SerialQueue> queue = std::make_shared<platform::SerialQueue>("test.delegate");
  std::shared_ptr<WSWebSocket> socket;
};

// Opening handshake with a real server: open report, state 1, no subprotocol.
TEST_F(WSWebSocketServerTest, OpensAndReportsOpenState) {
  connectOpen(server().url("/echo"));
  EXPECT_EQ(socket->readyState(), WS_OPEN);
  EXPECT_EQ(socket->protocol(), "");
  ASSERT_TRUE(socket->receivedHTTPHeaders());
  EXPECT_EQ(socket->receivedHTTPHeaders()->statusCode(), 101);
  EXPECT_EQ(delegate->count(Report::Fail), 0u);
}

// "localhost" may resolve to ::1 first while the server listens on 127.0.0.1 only.
TEST_F(WSWebSocketServerTest, LocalhostConnectsToAnIPv4OnlyServer) {
  connectOpen(server().url("/echo", "localhost"));
  EXPECT_EQ(socket->readyState(), WS_OPEN);
}

// A text message comes back as a string, through both the generic and the typed report.
TEST_F(WSWebSocketServerTest, EchoesTextAsString) {
  connectOpen(server().url("/echo"));
  ASSERT_TRUE(socket->sendString("héllo wörld ✓", nullptr));
  ASSERT_TRUE(delegate->waitFor(Report::String));
  EXPECT_EQ(delegate->last(Report::String).text, "héllo wörld ✓");
  auto message = delegate->last(Report::Message).message;
  ASSERT_TRUE(message && std::holds_alternative<std::string>(*message));
  EXPECT_EQ(std::get<std::string>(*message), "héllo wörld ✓");
}

// Binary messages of every length form come back byte for byte.
TEST_F(WSWebSocketServerTest, EchoesBinaryAtEveryLengthForm) {
  connectOpen(server().url("/echo"));
  std::vector<std::size_t> sizes = {0, 1, 125, 126, 65535, 65536, 1 << 20};
  for (std::size_t size : sizes) {
    WSData data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + size);
    ASSERT_TRUE(socket->sendData(data, nullptr));
  }
  ASSERT_TRUE(delegate->waitFor(Report::Data, sizes.size()));
  auto received = delegate->reportsOf(Report::Data);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    ASSERT_EQ(received[i].bytes.size(), sizes[i]);
    for (std::size_t j = 0; j < sizes[i]; ++j)
      ASSERT_EQ(received[i].bytes[j], static_cast<std::uint8_t>(j * 7 + sizes[i])) << "size " << sizes[i];
  }
}

// A message of several megabytes is assembled and delivered whole.
TEST_F(WSWebSocketServerTest, EchoesLargeTextMessage) {
  connectOpen(server().url("/echo"));
  std::string text;
  while (text.size() < 5u * 1024 * 1024) text += "Ünïcödé text in a large message, ";
  ASSERT_TRUE(socket->sendString(text, nullptr));
  ASSERT_TRUE(delegate->waitFor(Report::String));
  EXPECT_EQ(delegate->last(Report::String).text, text);
}

// A message the server sends in three fragments arrives as one.
TEST_F(WSWebSocketServerTest, AssemblesFragmentedMessage) {
  connectOpen(server().url("/fragmented"));
  ASSERT_TRUE(delegate->waitFor(Report::String));
  EXPECT_EQ(delegate->last(Report::String).text, "hello fragmented world");
}

// A delegate that declines conversion gets the bytes of a text message.
TEST_F(WSWebSocketServerTest, DeclinedConversionDeliversBytes) {
  delegate->convertText = false;
  connectOpen(server().url("/echo"));
  socket->sendString("as bytes", nullptr);
  ASSERT_TRUE(delegate->waitFor(Report::Data));
  EXPECT_EQ(delegate->last(Report::Data).bytes, Bytes("as bytes"));
  EXPECT_EQ(delegate->count(Report::String), 0u);
}

// The server's ping is reported and answered with a pong carrying the same payload.
TEST_F(WSWebSocketServerTest, AnswersServerPing) {
  connectOpen(server().url("/ping"));
  ASSERT_TRUE(delegate->waitFor(Report::String));
  EXPECT_EQ(delegate->last(Report::String).text, "pong received");
  ASSERT_EQ(delegate->count(Report::Ping), 1u);
  EXPECT_EQ(delegate->last(Report::Ping).bytes, Bytes("are you there"));
}

// The client's ping is answered by the server's pong.
TEST_F(WSWebSocketServerTest, ReportsPongForOwnPing) {
  connectOpen(server().url("/echo"));
  ASSERT_TRUE(socket->sendPing(Bytes("ping payload"), nullptr));
  ASSERT_TRUE(delegate->waitFor(Report::Pong));
  EXPECT_EQ(delegate->last(Report::Pong).bytes, Bytes("ping payload"));
}

// An offered subprotocol that the server accepts becomes the connection's protocol.
TEST_F(WSWebSocketServerTest, NegotiatesOfferedSubprotocol) {
  connectOpen(server().url("/subprotocol"), std::vector<std::string>{"superchat", "chat"});
  EXPECT_EQ(socket->protocol(), "chat");
}

// A close started here: the server's close frame ends it cleanly; the state stays closing.
TEST_F(WSWebSocketServerTest, ClientCloseCompletesCleanly) {
  connectOpen(server().url("/echo"));
  socket->closeWithCode(4001, std::string("bye now"));
  ASSERT_TRUE(delegate->waitFor(Report::Close));
  auto close = delegate->last(Report::Close);
  EXPECT_EQ(close.code, 4001);
  EXPECT_EQ(close.reason, std::optional<std::string>("bye now"));
  EXPECT_TRUE(close.wasClean);
  // The clean close leaves the state at closing; the server's end of the TCP connection, when
  // it is seen before the streams are closed, then moves it to closed (without a report).
  EXPECT_GE(socket->readyState(), WS_CLOSING);
  EXPECT_EQ(delegate->count(Report::Fail), 0u);
}

// A close started by the server is answered; the report carries the server's code and reason.
TEST_F(WSWebSocketServerTest, ServerCloseIsAnsweredAndReported) {
  connectOpen(server().url("/close"));
  socket->sendString("close 4321 server says bye", nullptr);
  ASSERT_TRUE(delegate->waitFor(Report::Close));
  auto close = delegate->last(Report::Close);
  EXPECT_EQ(close.code, 4321);
  EXPECT_EQ(close.reason, std::optional<std::string>("server says bye"));
  EXPECT_TRUE(close.wasClean);
  EXPECT_EQ(delegate->count(Report::Fail), 0u);
}

// A TCP connection dropped without a closing handshake: 1001 "Stream end encountered", unclean.
TEST_F(WSWebSocketServerTest, DroppedConnectionReportsStreamEnd) {
  connectOpen(server().url("/drop"));
  socket->sendString("anything", nullptr);
  ASSERT_TRUE(delegate->waitForEnd());
  ASSERT_EQ(delegate->count(Report::Close), 1u) << "a failure instead of a close";
  auto close = delegate->last(Report::Close);
  EXPECT_EQ(close.code, 1001);
  EXPECT_EQ(close.reason, std::optional<std::string>("Stream end encountered"));
  EXPECT_FALSE(close.wasClean);
  EXPECT_EQ(socket->readyState(), WS_CLOSED);
}

// Many messages from several threads all arrive, each thread's in order.
TEST_F(WSWebSocketServerTest, SendsFromSeveralThreadsKeepPerThreadOrder) {
  connectOpen(server().url("/echo"));
  constexpr int kThreads = 4, kMessages = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kMessages; ++i)
        socket->sendString(std::to_string(t) + ":" + std::to_string(i), nullptr);
    });
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(delegate->waitFor(Report::String, kThreads * kMessages));
  std::vector<int> next(kThreads, 0);
  for (auto& r : delegate->reportsOf(Report::String)) {
    int t = std::stoi(r.text.substr(0, r.text.find(':')));
    EXPECT_EQ(std::stoi(r.text.substr(r.text.find(':') + 1)), next[t]++);
  }
}

} // namespace
