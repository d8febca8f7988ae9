// The connection object's lifecycle: creation variants and contract violations, the ready
// state and its observers, close while connecting, the order of reports, and release after
// the end.
#include "websocket/WSWebSocketConnection.hpp"

#include "WSTestSupport.hpp"
#include "websocket/security/WSPinningSecurityPolicy.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

using namespace wstest;

namespace {

// A request without URL, a close code of 0 and a reason that is not UTF-8 are refused.
TEST(WSWebSocketLifecycleTest, ContractViolationsThrow) {
  EXPECT_THROW(WSWebSocket::initWithURLRequest(WSURLRequest()), std::invalid_argument);
  auto socket = WSWebSocket::initWithURL("ws://127.0.0.1:9/");
  EXPECT_THROW(socket->closeWithCode(0, std::nullopt), std::invalid_argument);
  EXPECT_THROW(socket->closeWithCode(1000, std::string("\xff")), std::invalid_argument);
  EXPECT_EQ(socket->readyState(), WS_CONNECTING);
}

// The variants choose the TLS policy: pinning for a request with pinned certificates, chain
// validation off only when untrusted certificates are allowed.
TEST(WSWebSocketLifecycleTest, CreationVariantsChooseThePolicy) {
  auto plain =
      std::dynamic_pointer_cast<WSWebSocketConnection>(WSWebSocket::initWithURL("wss://example.test/"));
  ASSERT_TRUE(plain && plain->securityPolicy());
  EXPECT_TRUE(plain->securityPolicy()->certificateChainValidationEnabled());
  auto untrusted = std::dynamic_pointer_cast<WSWebSocketConnection>(
      WSWebSocket::initWithURL("wss://example.test/", std::nullopt, true));
  EXPECT_FALSE(untrusted->securityPolicy()->certificateChainValidationEnabled());
  WSURLRequest pinned("wss://example.test/");
  pinned.pinnedCertificates = {WSData{1, 2, 3}};
  auto pinning = std::dynamic_pointer_cast<WSWebSocketConnection>(WSWebSocket::initWithURLRequest(pinned));
  EXPECT_TRUE(std::dynamic_pointer_cast<WSPinningSecurityPolicy>(pinning->securityPolicy()));
  auto given = WSSecurityPolicy::defaultPolicy();
  auto withPolicy =
      std::dynamic_pointer_cast<WSWebSocketConnection>(WSWebSocket::initWithURL("wss://x/", given));
  EXPECT_EQ(withPolicy->securityPolicy(), given);
  EXPECT_EQ(plain->url(), "wss://example.test/");
}

// open() twice raises and changes nothing; so does open() after the connection ended.
TEST(WSWebSocketLifecycleTest, SecondOpenThrows) {
  RawServer server([](RawPeer& peer) {
    peer.handshake();
    peer.answerClose();
  });
  Client client;
  client.open(server.url());
  EXPECT_THROW(client.socket->open(), std::logic_error);
  ASSERT_TRUE(client.delegate->waitFor(Report::Open));
  client.socket->close();
  ASSERT_TRUE(client.delegate->waitFor(Report::Close));
  EXPECT_THROW(client.socket->open(), std::logic_error);
  EXPECT_EQ(server.finish(), "");
  EXPECT_EQ(client.delegate->count(Report::Open), 1u);
}

// Observers see one notification pair per actual change: 0 to 1 on open, 1 to 2 on close; the
// state stays 2 after a clean close.
TEST(WSWebSocketLifecycleTest, ReadyStateObserversSeeEachChange) {
  RawServer server([](RawPeer& peer) {
    peer.handshake();
    peer.answerClose();
  });
  std::mutex mutex;
  std::vector<std::tuple<bool, std::int64_t, std::int64_t>> changes;
  Client client;
  WSURLRequest request(server.url());
  request.timeoutInterval = 0;
  client.socket = WSWebSocket::initWithURLRequest(request);
  client.socket->addReadyStateObserver([&](bool prior, std::int64_t from, std::int64_t to) {
    std::lock_guard lock(mutex);
    changes.emplace_back(prior, from, to);
  });
  client.socket->setDelegate(client.delegate);
  client.socket->setDelegateDispatchQueue(client.queue);
  client.socket->open();
  ASSERT_TRUE(client.delegate->waitFor(Report::Open));
  client.socket->close();
  client.socket->close(); // finds state 2: nothing
  ASSERT_TRUE(client.delegate->waitFor(Report::Close));
  EXPECT_EQ(server.finish(), "");
  EXPECT_EQ(client.socket->readyState(), WS_CLOSING);
  std::lock_guard lock(mutex);
  using C = std::tuple<bool, std::int64_t, std::int64_t>;
  EXPECT_EQ(changes, (std::vector<C>{C{true, 0, 1}, C{false, 0, 1}, C{true, 1, 2}, C{false, 1, 2}}));
}

// A close while connecting sends no close frame; the streams are closed by the pump, which
// reports code 0, no reason, clean.
TEST(WSWebSocketLifecycleTest, CloseWhileConnecting) {
  RawServer server([](RawPeer& peer) { peer.waitForClientClose(); });
  Client client;
  client.open(server.url());
  client.socket->close();
  ASSERT_TRUE(client.delegate->waitForEnd());
  ASSERT_EQ(client.delegate->count(Report::Close), 1u);
  auto close = client.delegate->last(Report::Close);
  EXPECT_EQ(close.code, 0);
  EXPECT_EQ(close.reason, std::nullopt);
  EXPECT_TRUE(close.wasClean);
  EXPECT_EQ(client.delegate->count(Report::Open), 0u);
  EXPECT_EQ(server.finish(), "");
}

// After a failure a close does nothing: no close report follows the failure report.
TEST(WSWebSocketLifecycleTest, NoCloseReportAfterFailure) {
  RawServer server([](RawPeer& peer) {
    peer.readHead();
    peer.send("HTTP/1.1 500 Oops\r\n\r\n");
    peer.waitForClientClose();
  });
  Client client;
  client.open(server.url());
  ASSERT_TRUE(client.delegate->waitFor(Report::Fail));
  client.socket->close();
  EXPECT_EQ(server.finish(), "");
  ASSERT_EQ(client.delegate->count(Report::Fail), 1u);
  EXPECT_EQ(client.delegate->count(Report::Close), 0u);
  EXPECT_EQ(client.socket->readyState(), WS_CLOSED);
}

// A connection the client refuses reports the same close however its own steps and the peer's
// later bytes interleave: the values taken when it refused the input (no close frame of the
// peer before it: code 0, no reason, clean), not a close frame or an end of stream read after.
TEST(WSWebSocketLifecycleTest, ARefusedConnectionAlwaysReportsTheSameClose) {
  struct Exchange {
    const char* name;
    std::function<void(RawPeer&)> script;
  };
  const auto refused = ServerFrame(1, Bytes("x"), true, 0x40); // RSV1
  const auto closeFrame = ServerFrame(8, ClosePayload(1000, "bye"));
  std::vector<std::uint16_t> sentCodes;
  const Exchange exchanges[] = {
      {"refused frame, then the end of the stream",
       [&](RawPeer& peer) {
         peer.send(refused);
         peer.shutdownWrite();
         peer.waitForClientClose();
       }},
      {"reserved opcode and a close frame in one write",
       [&](RawPeer& peer) {
         WSData both = ServerFrame(3, Bytes("reserved"));
         both.insert(both.end(), closeFrame.begin(), closeFrame.end());
         peer.send(both);
         ClientFrame frame;
         do frame = peer.readFrame();
         while (frame.opcode != 8); // close
         sentCodes.push_back(static_cast<std::uint16_t>(frame.payload.at(0) << 8 | frame.payload.at(1)));
         peer.waitForClientClose();
       }},
      {"refused frame, the close answered, then the end of the stream",
       [&](RawPeer& peer) {
         peer.send(refused);
         ClientFrame frame;
         do frame = peer.readFrame();
         while (frame.opcode != 8); // close
         peer.send(closeFrame);
         peer.shutdownWrite();
         peer.waitForClientClose();
       }},
  };
  for (const Exchange& exchange : exchanges) {
    for (int round = 0; round < 70; ++round) {
      RawServer server([&](RawPeer& peer) {
        peer.handshake();
        exchange.script(peer);
      });
      Client client;
      client.open(server.url());
      ASSERT_TRUE(client.delegate->waitForEnd()) << exchange.name << ", round " << round;
      ASSERT_EQ(server.finish(), "") << exchange.name << ", round " << round;
      ASSERT_EQ(client.delegate->count(Report::Fail), 0u) << exchange.name << ", round " << round;
      const Report close = client.delegate->last(Report::Close);
      ASSERT_EQ(std::make_tuple(close.code, close.reason, close.wasClean),
                std::make_tuple(std::int64_t{0}, std::optional<std::string>(), true))
          << exchange.name << ", round " << round;
    }
  }
  // The client's close frame is its refusal's, never an answer to the close frame read after it.
  EXPECT_EQ(sentCodes, std::vector<std::uint16_t>(70, 1002));
}

// A connection lives while it works even when its owner lets go, and is released once its
// clean-up has run.
TEST(WSWebSocketLifecycleTest, KeepsItselfAliveUntilCleanup) {
  RawServer server([](RawPeer& peer) {
    peer.handshake();
    peer.send(ServerFrame(1, std::string("hello")));
    peer.answerClose();
  });
  Client client;
  client.open(server.url());
  std::weak_ptr<WSWebSocket> weak = client.socket;
  auto socket = std::move(client.socket); // the test's own reference, kept only for close()
  ASSERT_TRUE(client.delegate->waitFor(Report::String));
  socket->close();
  socket.reset();
  ASSERT_TRUE(client.delegate->waitFor(Report::Close));
  EXPECT_EQ(server.finish(), "");
  auto deadline = Clock::now() + kTimeout;
  while (!weak.expired() && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_TRUE(weak.expired());
}

// A delegate that is gone gets nothing, and the connection still answers pings.
TEST(WSWebSocketLifecycleTest, DelegateGoneStillAnswersPing) {
  ClientFrame pong;
  RawServer server([&](RawPeer& peer) {
    peer.handshake();
    peer.send(ServerFrame(9, Bytes("still there?")));
    pong = peer.readFrame();
    // The server closes: the client answers and ends the connection.
    peer.send(ServerFrame(8, ClosePayload(1000)));
    EXPECT_EQ(peer.readFrame().opcode, 8);
    EXPECT_TRUE(peer.waitForClientClose());
  });
  Client client;
  client.open(server.url());
  ASSERT_TRUE(client.delegate->waitFor(Report::Open));
  client.delegate.reset(); // reports already queued keep it until they have run
  EXPECT_EQ(server.finish(), "");
  EXPECT_EQ(pong.opcode, 10);
  EXPECT_EQ(pong.payload, Bytes("still there?"));
}

} // namespace
