#include "websocket/proxy/WSSOCKSHandshake.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include "websocket/proxy/ProxyTestServers.hpp"

namespace {

using namespace wstest;
using Bytes = std::vector<std::uint8_t>;
using State = WSSOCKSHandshake::State;

WSSOCKSProxyConfiguration Proxy(WSSOCKSVersion version = WSSOCKSVersion::V5,
                                std::optional<std::string> user = {},
                                std::optional<std::string> password = {}) {
  return {"proxy.example", 1080, std::move(user), std::move(password), version};
}

Bytes B(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

Bytes Cat(Bytes a, const std::string& s) {
  a.insert(a.end(), s.begin(), s.end());
  return a;
}
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

State Feed(WSSOCKSHandshake& h, const Bytes& bytes) { return h.feed(bytes.data(), bytes.size()); }

// ---- Bytes on the wire ----

// Without a user only "no authentication" is offered; the request carries the host name (ATYP 3).
TEST(WSSOCKSHandshakeTest, SOCKS5WithoutUserSendsNameToProxy) {
  WSSOCKSHandshake h(Proxy(), "target.example", 443);
  EXPECT_EQ(h.takeOutput(), B({5, 1, 0}));
  EXPECT_EQ(Feed(h, B({5, 0})), State::AwaitingReply);
  EXPECT_EQ(h.takeOutput(), Cat(Cat(B({5, 1, 0, 3, 14}), "target.example"), B({0x01, 0xBB})));
  EXPECT_EQ(Feed(h, B({5, 0, 0, 1, 10, 0, 0, 1, 0x1F, 0x90})), State::Connected);
  EXPECT_TRUE(h.takeLeftover().empty());
}

// With a user both methods are offered and RFC 1929 sub-negotiation follows when chosen.
TEST(WSSOCKSHandshakeTest, SOCKS5UserPasswordSubnegotiation) {
  WSSOCKSHandshake h(Proxy(WSSOCKSVersion::V5, "user", "secret"), "t", 80);
  EXPECT_EQ(h.takeOutput(), B({5, 2, 0, 2}));
  EXPECT_EQ(Feed(h, B({5, 2})), State::AwaitingAuth);
  EXPECT_EQ(h.takeOutput(), Cat(Cat(Cat(B({1, 4}), "user"), B({6})), "secret"));
  EXPECT_EQ(Feed(h, B({1, 0})), State::AwaitingReply);
  EXPECT_EQ(h.takeOutput(), Cat(Cat(B({5, 1, 0, 3, 1}), "t"), B({0, 80})));
}

// A user without password sends an empty password.
TEST(WSSOCKSHandshakeTest, UserWithoutPasswordSendsEmptyPassword) {
  WSSOCKSHandshake h(Proxy(WSSOCKSVersion::V5, "u"), "t", 80);
  h.takeOutput();
  Feed(h, B({5, 2}));
  EXPECT_EQ(h.takeOutput(), Cat(B({1, 1}), Cat(Bytes{'u'}, B({0}))));
}

// Literal addresses are sent as addresses.
TEST(WSSOCKSHandshakeTest, LiteralAddressesUseAddressTypes) {
  WSSOCKSHandshake v4(Proxy(), "10.1.2.3", 8080);
  v4.takeOutput();
  Feed(v4, B({5, 0}));
  EXPECT_EQ(v4.takeOutput(), B({5, 1, 0, 1, 10, 1, 2, 3, 0x1F, 0x90}));
  WSSOCKSHandshake v6(Proxy(), "::1", 1);
  v6.takeOutput();
  Feed(v6, B({5, 0}));
  EXPECT_EQ(v6.takeOutput(), B({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1}));
}

// Every reply address type is read to its end, in any split; bytes after it are kept.
TEST(WSSOCKSHandshakeTest, RepliesOfEveryAddressTypeInAnySplit) {
  const std::vector<Bytes> replies{B({5, 0, 0, 1, 1, 2, 3, 4, 0, 80}),
                                   Cat(Cat(B({5, 0, 0, 3, 3}), "abc"), B({0, 80})),
                                   B({5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 80})};
  for (const Bytes& reply : replies) {
    const Bytes stream = Cat(Cat(B({5, 0}), reply), "DATA");
    for (std::size_t split = 1; split < stream.size(); ++split) {
      WSSOCKSHandshake h(Proxy(), "t", 80);
      Feed(h, Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(split)));
      EXPECT_EQ(Feed(h, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(split), stream.end())),
                State::Connected);
      const Bytes leftover = h.takeLeftover();
      EXPECT_EQ(std::string(leftover.begin(), leftover.end()), "DATA") << split;
    }
  }
}

// Refusals map to errno codes with descriptions; failure is sticky.
TEST(WSSOCKSHandshakeTest, RefusalsAndProtocolErrors) {
  struct Case {
    Bytes input;
    std::optional<std::string> user;
    int code;
  };
  const std::vector<Case> cases{
      {B({5, 0xFF}), {}, EACCES},     // no acceptable method
      {B({5, 2}), {}, EACCES},        // wants a password we do not have
      {B({4, 0}), {}, EPROTO},        // not SOCKS5
      {B({5, 2, 1, 1}), "u", EACCES}, // wrong credentials
      {B({5, 0, 5, 5, 0, 1, 0, 0, 0, 0, 0, 0}), {}, ECONNREFUSED},
      {B({5, 0, 5, 4, 0, 1, 0}), {}, EHOSTUNREACH},
      {B({5, 0, 5, 3, 0, 1, 0}), {}, ENETUNREACH},
      {B({5, 0, 5, 6, 0, 1, 0}), {}, ETIMEDOUT},
      {B({5, 0, 5, 0, 0, 9, 0}), {}, EPROTO}, // unknown address type
      {B({5, 0x03}), {}, EPROTO},             // a method never offered
  };
  for (const Case& c : cases) {
    WSSOCKSHandshake h(Proxy(WSSOCKSVersion::V5, c.user, "p"), "t", 80);
    EXPECT_EQ(Feed(h, c.input), State::Failed);
    EXPECT_EQ(h.errorCode(), c.code);
    EXPECT_FALSE(h.errorDescription().empty());
    EXPECT_EQ(Feed(h, B({5, 0})), State::Failed);
    EXPECT_TRUE(h.takeOutput().empty());
  }
  WSSOCKSHandshake closed(Proxy(), "t", 80);
  closed.endOfStream();
  EXPECT_EQ(closed.state(), State::Failed);
  EXPECT_EQ(closed.errorCode(), ECONNRESET);
  WSSOCKSHandshake longName(Proxy(), std::string(256, 'a'), 80);
  EXPECT_EQ(longName.state(), State::Failed);
}

// SOCKS4a sends the user id and the host name after the 0.0.0.1 marker address.
TEST(WSSOCKSHandshakeTest, SOCKS4aRequestAndReplies) {
  WSSOCKSHandshake h(Proxy(WSSOCKSVersion::V4a, "id"), "host.example", 8080);
  EXPECT_EQ(h.state(), State::AwaitingReply);
  Bytes expected = Cat(Cat(B({4, 1, 0x1F, 0x90, 0, 0, 0, 1}), "id"), B({0}));
  expected = Cat(Cat(expected, "host.example"), B({0}));
  EXPECT_EQ(h.takeOutput(), expected);
  EXPECT_EQ(Feed(h, B({0, 0x5A, 0, 0, 0, 0, 0})), State::AwaitingReply);
  EXPECT_EQ(Feed(h, B({0, 'x'})), State::Connected);
  EXPECT_EQ(h.takeLeftover(), Bytes{'x'});

  WSSOCKSHandshake literal(Proxy(WSSOCKSVersion::V4a), "10.0.0.2", 80);
  EXPECT_EQ(literal.takeOutput(), B({4, 1, 0, 80, 10, 0, 0, 2, 0}));
  EXPECT_EQ(Feed(literal, B({0, 0x5B, 0, 0, 0, 0, 0, 0})), State::Failed);
  EXPECT_EQ(literal.errorCode(), ECONNREFUSED);
  WSSOCKSHandshake ipv6(Proxy(WSSOCKSVersion::V4a), "::1", 80);
  EXPECT_EQ(ipv6.state(), State::Failed);
}

// The log line never shows the password.
TEST(WSSOCKSHandshakeTest, LogLineMasksPassword) {
  EXPECT_EQ(WSSOCKSProxyLogLine(Proxy(WSSOCKSVersion::V5, "alice", "hunter2")),
            "ProxyConnect set sock property stream to proxy.example:1080 user alice password ********");
  EXPECT_EQ(WSSOCKSProxyLogLine({"s", 0, {}, {}, WSSOCKSVersion::V5}),
            "ProxyConnect set sock property stream to s:0 user (null) password (null)");
  EXPECT_EQ((WSSOCKSProxyConfiguration{"s", 0, {}, {}, WSSOCKSVersion::V5}).effectivePort(), 1080);
}

// ---- Against microsocks ----

class WSSOCKSMicrosocksTest : public testing::Test {
protected:
  // Runs the handshake over a blocking socket to the proxy; returns the socket (the tunnel).
  static int Handshake(WSSOCKSHandshake& h, std::uint16_t proxyPort) {
    const int fd = ConnectLoopback(proxyPort);
    if (fd < 0) return fd;
    SendAll(fd, h.takeOutput());
    while (h.state() != State::Connected && h.state() != State::Failed) {
      const auto bytes = Receive(fd);
      if (bytes.empty()) {
        h.endOfStream();
        break;
      }
      h.feed(bytes.data(), bytes.size());
      SendAll(fd, h.takeOutput());
    }
    return fd;
  }
  static std::string Echo(int fd, const std::string& text) {
    SendAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::string echoed;
    while (echoed.size() < text.size()) {
      const auto bytes = Receive(fd);
      if (bytes.empty()) break;
      echoed.append(bytes.begin(), bytes.end());
    }
    return echoed;
  }
  TempDir dir;
};

// Without credentials the proxy resolves "localhost" and the tunnel carries bytes.
TEST_F(WSSOCKSMicrosocksTest, NoAuthenticationTunnel) {
  ScriptServer echo("echo_server.py");
  MicroSocks proxy;
  WSSOCKSHandshake h({"127.0.0.1", proxy.port(), {}, {}, WSSOCKSVersion::V5}, "localhost", echo.port());
  const int fd = Handshake(h, proxy.port());
  ASSERT_EQ(h.state(), State::Connected) << h.errorDescription();
  EXPECT_EQ(Echo(fd, "socks five"), "socks five");
  close(fd);
}

// With the right user and password the tunnel opens.
TEST_F(WSSOCKSMicrosocksTest, UserPasswordTunnel) {
  ScriptServer echo("echo_server.py");
  MicroSocks proxy("alice", "s3cret");
  WSSOCKSHandshake h({"127.0.0.1", proxy.port(), "alice", "s3cret", WSSOCKSVersion::V5}, "127.0.0.1",
                     echo.port());
  const int fd = Handshake(h, proxy.port());
  ASSERT_EQ(h.state(), State::Connected) << h.errorDescription();
  EXPECT_EQ(Echo(fd, "authenticated"), "authenticated");
  close(fd);
}

// Wrong credentials, or none where the proxy wants them, fail with EACCES.
TEST_F(WSSOCKSMicrosocksTest, WrongOrMissingCredentialsFail) {
  MicroSocks proxy("alice", "s3cret");
  WSSOCKSHandshake wrong({"127.0.0.1", proxy.port(), "alice", "nope", WSSOCKSVersion::V5}, "127.0.0.1", 9);
  close(Handshake(wrong, proxy.port()));
  EXPECT_EQ(wrong.state(), State::Failed);
  EXPECT_EQ(wrong.errorCode(), EACCES) << wrong.errorDescription();
  WSSOCKSHandshake none({"127.0.0.1", proxy.port(), {}, {}, WSSOCKSVersion::V5}, "127.0.0.1", 9);
  close(Handshake(none, proxy.port()));
  EXPECT_EQ(none.state(), State::Failed);
  EXPECT_EQ(none.errorCode(), EACCES) << none.errorDescription();
}

// A target nobody listens on is reported as refused by the proxy.
TEST_F(WSSOCKSMicrosocksTest, ClosedTargetPortIsRefused) {
  MicroSocks proxy;
  WSSOCKSHandshake h({"127.0.0.1", proxy.port(), {}, {}, WSSOCKSVersion::V5}, "127.0.0.1", FreePort());
  close(Handshake(h, proxy.port()));
  EXPECT_EQ(h.state(), State::Failed);
  EXPECT_NE(h.errorDescription().find("SOCKS5 proxy could not connect"), std::string::npos)
      << h.errorDescription();
}

// SOCKS4a against a real server: the host name is resolved by the proxy; a refused user id fails.
TEST_F(WSSOCKSMicrosocksTest, SOCKS4aTunnelAndRefusal) {
  ScriptServer echo("echo_server.py");
  ScriptServer proxy("socks4a_server.py");
  WSSOCKSHandshake h({"127.0.0.1", proxy.port(), "user", {}, WSSOCKSVersion::V4a}, "localhost", echo.port());
  const int fd = Handshake(h, proxy.port());
  ASSERT_EQ(h.state(), State::Connected) << h.errorDescription();
  EXPECT_EQ(Echo(fd, "four a"), "four a");
  close(fd);
  WSSOCKSHandshake blocked({"127.0.0.1", proxy.port(), "blocked", {}, WSSOCKSVersion::V4a}, "localhost",
                           echo.port());
  close(Handshake(blocked, proxy.port()));
  EXPECT_EQ(blocked.state(), State::Failed);
  EXPECT_EQ(blocked.errorCode(), ECONNREFUSED);
}

} // namespace
