// The opening handshake against a scripted server: the upgrade request as sent, every refusal
// of the response, heads split or joined with frames, and the connect time-out.
#include "websocket/WSWebSocketConnection.hpp"
#include "websocket/detail/WSHTTPConnectMessage.hpp"

#include "WSTestSupport.hpp"
#include "platform/RunLoop.hpp"
#include "websocket/detail/WSFrame.hpp"

#include <gtest/gtest.h>

using namespace wstest;

namespace {

void ExpectFailure(const WSError& error, const std::string& domain, std::int64_t code,
                   const std::string& description) {
  EXPECT_EQ(error.domain, domain);
  EXPECT_EQ(error.code, code);
  EXPECT_EQ(error.localizedDescription, description);
}

/// Runs a scripted server that answers the upgrade request with `response` and then waits for
/// the client to go away; returns the client after its end.
void FailsWith(const std::string& response, const std::string& domain, std::int64_t code,
               const std::string& description, std::optional<std::int64_t> status = std::nullopt) {
  RawServer server([&](RawPeer& peer) {
    peer.readHead();
    peer.send(response);
    EXPECT_TRUE(peer.waitForClientClose());
  });
  Client client;
  client.open(server.url());
  ASSERT_TRUE(client.delegate->waitForEnd());
  ASSERT_EQ(client.delegate->count(Report::Fail), 1u);
  ExpectFailure(client.failure(), domain, code, description);
  EXPECT_EQ(client.failure().httpResponseStatusCode, status);
  EXPECT_EQ(client.socket->readyState(), WS_CLOSED);
  EXPECT_EQ(server.finish(), "");
  EXPECT_EQ(client.delegate->count(Report::Close), 0u);
  EXPECT_EQ(client.delegate->count(Report::Open), 0u);
}

// RFC 6455 section 4.1: request line, Host, Upgrade, Connection, a 24-character key, version
// 13 and the Origin; the user's fields replace generated ones.
TEST(WSWebSocketHandshakeTest, SendsTheUpgradeRequest) {
  std::string head, key, host, origin, upgrade, connection, version, custom;
  RawServer server([&](RawPeer& peer) {
    head = peer.readHead();
    key = peer.field("Sec-WebSocket-Key");
    host = peer.field("Host");
    origin = peer.field("Origin");
    upgrade = peer.field("Upgrade");
    connection = peer.field("Connection");
    version = peer.field("Sec-WebSocket-Version");
    custom = peer.field("X-Custom");
    EXPECT_EQ(peer.field("Authorization"), "");
    EXPECT_EQ(peer.field("Sec-WebSocket-Protocol"), "");
    peer.close();
  });
  Client client;
  client.open(server.url("/path/to?x=1"), 0, std::nullopt, {{"X-Custom", "value"}});
  ASSERT_EQ(server.finish(), "");
  EXPECT_EQ(head.substr(0, head.find("\r\n")), "GET /path/to?x=1 HTTP/1.1");
  EXPECT_EQ(key.size(), 24u);
  EXPECT_EQ(host, "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(origin, "http://127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(upgrade, "websocket");
  EXPECT_EQ(connection, "Upgrade");
  EXPECT_EQ(version, "13");
  EXPECT_EQ(custom, "value");
  client.delegate->waitForEnd();
}

// Subprotocols offered go out joined by ", "; a user "Origin" replaces the generated one.
TEST(WSWebSocketHandshakeTest, OffersSubprotocolsAndUserOrigin) {
  std::string protocols, origin;
  RawServer server([&](RawPeer& peer) {
    peer.readHead();
    protocols = peer.field("Sec-WebSocket-Protocol");
    origin = peer.field("Origin");
    peer.close();
  });
  Client client;
  client.open(server.url(), 0, std::vector<std::string>{"a", "b"}, {{"Origin", "https://example.test"}});
  ASSERT_EQ(server.finish(), "");
  EXPECT_EQ(protocols, "a, b");
  EXPECT_EQ(origin, "https://example.test");
  client.delegate->waitForEnd();
}

// Status 400 or more fails with 2132 and the status in the user information.
TEST(WSWebSocketHandshakeTest, BadStatusFailsWith2132) {
  FailsWith("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", WSWebSocketErrorDomain, 2132,
            "Received bad response code from server: 404.", 404);
}

// A status below 400 goes on, and a wrong accept value then fails with 2133.
TEST(WSWebSocketHandshakeTest, WrongAcceptFailsWith2133) {
  FailsWith("HTTP/1.1 399 Odd\r\nSec-WebSocket-Accept: AAAAAAAAAAAAAAAAAAAAAAAAAAA=\r\n\r\n",
            WSWebSocketErrorDomain, 2133, "Invalid Sec-WebSocket-Accept response.");
}

// A response without Sec-WebSocket-Accept fails with 2133.
TEST(WSWebSocketHandshakeTest, MissingAcceptFailsWith2133) {
  FailsWith("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", WSWebSocketErrorDomain, 2133,
            "Invalid Sec-WebSocket-Accept response.");
}

// RFC 6455 section 4.1: a 101 with the right accept value but without the Upgrade and
// Connection tokens is not a WebSocket upgrade and fails with 2133.
TEST(WSWebSocketHandshakeTest, SwitchWithoutUpgradeFieldsFailsWith2133) {
  for (const std::string fields :
       {"", "Upgrade: websocket\r\n", "Connection: Upgrade\r\n", "Upgrade: h2c\r\nConnection: Upgrade\r\n"}) {
    SCOPED_TRACE(fields);
    RawServer server([&](RawPeer& peer) {
      peer.readHead();
      peer.send("HTTP/1.1 101 Switching Protocols\r\n" + fields +
                "Sec-WebSocket-Accept: " + peer.acceptValue() + "\r\n\r\n");
      EXPECT_TRUE(peer.waitForClientClose());
    });
    Client client;
    client.open(server.url());
    ASSERT_TRUE(client.delegate->waitForEnd());
    ASSERT_EQ(client.delegate->count(Report::Fail), 1u);
    ExpectFailure(client.failure(), WSWebSocketErrorDomain, 2133, "Invalid HTTP upgrade response.");
    EXPECT_EQ(client.delegate->count(Report::Open), 0u);
    EXPECT_EQ(server.finish(), "");
  }
}

// A head that is not HTTP fails the connection instead of waiting forever.
TEST(WSWebSocketHandshakeTest, GarbageHeadFails) {
  FailsWith("\x01\x02garbage that is not HTTP at all\r\n\r\n", WSWebSocketErrorDomain, 2133,
            "Invalid HTTP response from server.");
}

// A head without its end is refused once it passes 64 KiB: the client does not buffer forever.
TEST(WSWebSocketHandshakeTest, EndlessHeadFailsAt64KiB) {
  std::string endless = "HTTP/1.1 101 Switching Protocols\r\nX-Filler: ";
  endless += std::string(200 * 1024, 'x');
  RawServer server([&](RawPeer& peer) {
    peer.readHead();
    try {
      peer.send(endless);
    } catch (const std::exception&) {
      // The client may close while the filler is still being written.
    }
    peer.waitForClientClose();
  });
  Client client;
  client.open(server.url());
  ASSERT_TRUE(client.delegate->waitForEnd());
  ASSERT_EQ(client.delegate->count(Report::Fail), 1u);
  ExpectFailure(client.failure(), WSWebSocketErrorDomain, 2133, "Invalid HTTP response from server.");
  EXPECT_EQ(server.finish(), "");
}

// A subprotocol the client did not offer fails with 2133.
TEST(WSWebSocketHandshakeTest, UnrequestedSubprotocolFails) {
  RawServer server([&](RawPeer& peer) {
    peer.handshake("Sec-WebSocket-Protocol: chat\r\n");
    peer.waitForClientClose();
  });
  Client client;
  client.open(server.url());
  ASSERT_TRUE(client.delegate->waitForEnd());
  ASSERT_EQ(client.delegate->count(Report::Fail), 1u);
  ExpectFailure(client.failure(), WSWebSocketErrorDomain, 2133,
                "Server specified Sec-WebSocket-Protocol that wasn't requested.");
  EXPECT_EQ(server.finish(), "");
}

// Status 200 with the right accept value and no Upgrade or Connection fields is accepted.
TEST(WSWebSocketHandshakeTest, Status200WithRightAcceptOpens) {
  RawServer server([&](RawPeer& peer) {
    peer.readHead();
    peer.send("HTTP/1.1 200 OK\r\nSec-WebSocket-Accept: " + peer.acceptValue() + "\r\n\r\n");
    peer.send(ServerFrame(WSOpcodeText, std::string("after 200")));
    peer.answerClose();
  });
  Client client;
  client.open(server.url());
  ASSERT_TRUE(client.delegate->waitFor(Report::String));
  EXPECT_EQ(client.delegate->last(Report::String).text, "after 200");
  EXPECT_EQ(client.socket->receivedHTTPHeaders()->statusCode(), 200);
  client.socket->close();
  EXPECT_EQ(server.finish(), "");
}

// A head arriving one byte at a time, with the terminator split, is parsed.
TEST(WSWebSocketHandshakeTest, HeadInOneByteWritesIsParsed) {
  RawServer server([&](RawPeer& peer) {
    peer.readHead();
    peer.sendBytewise(
        Bytes("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: " +
              peer.acceptValue() + "\r\n\r\n"));
    peer.send(ServerFrame(WSOpcodeText, std::string("bytewise")));
    peer.answerClose();
  });
  Client client;
  client.open(server.url());
  ASSERT_TRUE(client.delegate->waitFor(Report::String));
  EXPECT_EQ(client.delegate->last(Report::String).text, "bytewise");
  client.socket->close();
  EXPECT_EQ(server.finish(), "");
}

// A head sent together with the first frames in one write: the frames are read after it.
TEST(WSWebSocketHandshakeTest, HeadTogetherWithFirstFrames) {
  RawServer server([&](RawPeer& peer) {
    peer.readHead();
    WSData all = Bytes("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Accept: " +
                       peer.acceptValue() + "\r\n\r\n");
    for (const char* text : {"one", "two", "three"}) {
      WSData frame = ServerFrame(WSOpcodeText, std::string(text));
      all.insert(all.end(), frame.begin(), frame.end());
    }
    peer.send(all);
    peer.answerClose();
  });
  Client client;
  client.open(server.url());
  ASSERT_TRUE(client.delegate->waitFor(Report::String, 3));
  auto strings = client.delegate->reportsOf(Report::String);
  EXPECT_EQ(strings[0].text, "one");
  EXPECT_EQ(strings[1].text, "two");
  EXPECT_EQ(strings[2].text, "three");
  EXPECT_EQ(client.delegate->reports().front().kind, Report::Open) << "open is reported before messages";
  client.socket->close();
  EXPECT_EQ(server.finish(), "");
}

// A refused TCP connection fails with the socket's error.
TEST(WSWebSocketHandshakeTest, RefusedConnectionFailsWithSocketError) {
  Client client;
  client.open("ws://127.0.0.1:" + std::to_string(ReleasedLoopbackPort()) + "/");
  ASSERT_TRUE(client.delegate->waitForEnd());
  ASSERT_EQ(client.delegate->count(Report::Fail), 1u);
  ExpectFailure(client.failure(), NSPOSIXErrorDomain, ECONNREFUSED, "Connection refused");
  EXPECT_EQ(client.socket->readyState(), WS_CLOSED);
}

// A server that accepts TCP but never answers: the connect time-out (on the main queue) fails
// the connection with -1001.
TEST(WSWebSocketHandshakeTest, ConnectTimeoutFailsWhileWaitingForResponse) {
  RawServer server([&](RawPeer& peer) {
    peer.readHead();
    peer.waitForClientClose();
  });
  Client client;
  client.queue = nullptr; // reports on the main queue, which this thread serves
  client.open(server.url(), 0.3);
  ASSERT_TRUE(
      platform::RunLoop::main().runUntil([&] { return client.delegate->count(Report::Fail) > 0; }, kTimeout));
  ExpectFailure(client.failure(), NSURLErrorDomain, -1001, "Timed out connecting to server.");
  EXPECT_EQ(server.finish(), "");
  EXPECT_EQ(client.delegate->count(Report::Close), 0u);
}

// Once open, the time-out does nothing.
TEST(WSWebSocketHandshakeTest, ConnectTimeoutIgnoredOnceOpen) {
  RawServer server([&](RawPeer& peer) {
    peer.handshake();
    peer.answerClose();
  });
  Client client;
  client.open(server.url(), 0.2);
  ASSERT_TRUE(client.delegate->waitFor(Report::Open));
  // Serve the main queue past the time-out's deadline.
  platform::RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(400));
  EXPECT_EQ(client.delegate->count(Report::Fail), 0u);
  EXPECT_EQ(client.socket->readyState(), WS_OPEN);
  client.socket->close();
  EXPECT_EQ(server.finish(), "");
}

} // namespace
