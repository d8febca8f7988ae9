#include "websocket/proxy/WSStreamTransport.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

#include "websocket/proxy/ProxyTestServers.hpp"
#include "websocket/proxy/WSHTTPConnect.hpp"

namespace {

using namespace wstest;
using Phase = WSStreamTransport::Phase;

// Every combination runs against real servers: an echo server, a TLS echo server (answers
// "<SNI>|<bytes>"), tinyproxy and microsocks.
class WSStreamTransportTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    pki = new TestPKI();
    setenv("SSL_CERT_FILE", pki->file("ca.pem").c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete pki;
    unsetenv("SSL_CERT_FILE");
  }

  // Moves bytes between the socket and the transport until `done` holds, the transport fails or
  // the socket ends.
  template <class Done> static void Drive(WSStreamTransport& t, int fd, Done done) {
    for (;;) {
      SendAll(fd, t.takeSocketOutput());
      if (done() || t.failed()) return;
      const auto bytes = Receive(fd);
      if (bytes.empty()) {
        t.socketEnded();
        return;
      }
      t.socketReceived(bytes.data(), bytes.size());
    }
  }

  static std::string Exchange(WSStreamTransport& t, int fd, const std::string& text, std::size_t expected) {
    t.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    Drive(t, fd, [&] { return t.available() >= expected; });
    std::string out(t.available(), '\0');
    out.resize(t.read(reinterpret_cast<std::uint8_t*>(out.data()), out.size()));
    return out;
  }

  static WSStreamSecurityOptions TLS(const std::string& peer = "") {
    WSStreamSecurityOptions options;
    options.peerName = peer;
    WSSecurityPolicy().updateSecurityOptionsInStream(options);
    return options;
  }

  std::uint16_t StartTLSServer(const std::string& name = "server") {
    tlsServer = std::make_unique<ScriptServer>(
        "tls_echo_server.py",
        std::vector<std::string>{pki->file(name + "-chain.pem"), pki->file(name + ".key")});
    return tlsServer->port();
  }

  static TestPKI* pki;
  TempDir dir;
  std::unique_ptr<ScriptServer> tlsServer;
};

TestPKI* WSStreamTransportTest::pki = nullptr;

// Without SOCKS or TLS the transport is open at once and passes bytes through.
TEST_F(WSStreamTransportTest, PlainDirect) {
  ScriptServer echo("echo_server.py");
  const int fd = ConnectLoopback(echo.port());
  WSStreamTransport t(std::nullopt, "127.0.0.1", echo.port());
  EXPECT_FALSE(t.isOpen());
  t.connected();
  EXPECT_TRUE(t.isOpen());
  EXPECT_TRUE(t.isReady());
  EXPECT_EQ(Exchange(t, fd, "plain", 5), "plain");
  close(fd);
}

// TLS started on the open stream: not ready until the handshake is done, then the trust is there.
TEST_F(WSStreamTransportTest, TLSDirect) {
  const int fd = ConnectLoopback(StartTLSServer());
  WSStreamTransport t(std::nullopt, "localhost", 0);
  t.connected();
  t.startTLS(TLS());
  EXPECT_EQ(t.phase(), Phase::TLSHandshake);
  EXPECT_TRUE(t.isOpen());
  EXPECT_FALSE(t.isReady());
  EXPECT_FALSE(t.peerTrust());
  Drive(t, fd, [&] { return t.isReady(); });
  ASSERT_EQ(t.phase(), Phase::TLSOpen) << t.errorDescription();
  ASSERT_TRUE(t.peerTrust());
  EXPECT_EQ(t.peerTrust()->certificates.size(), 2u);
  EXPECT_EQ(Exchange(t, fd, "wss", 13), "localhost|wss");
  close(fd);
}

// An untrusted chain fails the transport with the TLS layer's description.
TEST_F(WSStreamTransportTest, TLSUntrustedFails) {
  const int fd = ConnectLoopback(StartTLSServer("untrusted"));
  WSStreamTransport t(std::nullopt, "localhost", 0);
  t.connected();
  t.startTLS(TLS());
  Drive(t, fd, [&] { return t.isReady(); });
  EXPECT_EQ(t.phase(), Phase::Failed);
  EXPECT_NE(t.errorDescription().find("certificate verify failed"), std::string::npos)
      << t.errorDescription();
  close(fd);
}

// SOCKS5 first, then TLS for the target through the tunnel; bytes written early wait for both.
TEST_F(WSStreamTransportTest, TLSThroughSOCKS5WithCredentials) {
  const std::uint16_t target = StartTLSServer();
  MicroSocks proxy("bob", "pw");
  const int fd = ConnectLoopback(proxy.port());
  WSStreamTransport t(WSSOCKSProxyConfiguration{"127.0.0.1", proxy.port(), "bob", "pw", WSSOCKSVersion::V5},
                      "localhost", target);
  const std::string early = "early";
  t.write(reinterpret_cast<const std::uint8_t*>(early.data()), early.size());
  t.startTLS(TLS());
  t.connected();
  EXPECT_EQ(t.phase(), Phase::SOCKS);
  EXPECT_FALSE(t.isOpen());
  Drive(t, fd, [&] { return t.isReady(); });
  ASSERT_EQ(t.phase(), Phase::TLSOpen) << t.errorDescription();
  EXPECT_EQ(Exchange(t, fd, "", 15), "localhost|early");
  close(fd);
}

// A SOCKS refusal fails the transport with the handshake's error.
TEST_F(WSStreamTransportTest, SOCKSRefusalFails) {
  MicroSocks proxy("bob", "pw");
  const int fd = ConnectLoopback(proxy.port());
  WSStreamTransport t(
      WSSOCKSProxyConfiguration{"127.0.0.1", proxy.port(), "bob", "wrong", WSSOCKSVersion::V5}, "localhost",
      9);
  t.connected();
  Drive(t, fd, [&] { return t.isOpen(); });
  EXPECT_EQ(t.phase(), Phase::Failed);
  EXPECT_EQ(t.errorCode(), EACCES);
  close(fd);
}

// Through an HTTP proxy: CONNECT on the plain stream, then TLS with the target as peer name.
TEST_F(WSStreamTransportTest, TLSThroughHTTPConnectTunnel) {
  const std::uint16_t target = StartTLSServer();
  TinyProxy proxy(dir);
  const int fd = ConnectLoopback(proxy.port());
  WSStreamTransport t(std::nullopt, "127.0.0.1", proxy.port()); // the socket's host is the proxy
  t.connected();
  const std::string request = WSHTTPConnectRequest("localhost", target);
  t.write(reinterpret_cast<const std::uint8_t*>(request.data()), request.size());
  WSHTTPConnectResponseReader reader;
  Drive(t, fd, [&] {
    std::uint8_t buffer[512];
    while (std::size_t n = t.read(buffer, sizeof buffer)) reader.feed(buffer, n);
    return reader.result() != WSHTTPConnectResponseReader::Result::NeedMore;
  });
  ASSERT_EQ(reader.result(), WSHTTPConnectResponseReader::Result::Accepted);
  t.startTLS(TLS("localhost"));
  Drive(t, fd, [&] { return t.isReady(); });
  ASSERT_EQ(t.phase(), Phase::TLSOpen) << t.errorDescription();
  EXPECT_EQ(Exchange(t, fd, "tunnel", 16), "localhost|tunnel");
  close(fd);
}

// A server that closes during the TLS handshake fails the transport.
TEST_F(WSStreamTransportTest, EndDuringTLSHandshakeFails) {
  ScriptServer echo("echo_server.py");
  WSStreamTransport t(std::nullopt, "localhost", 0);
  t.connected();
  t.startTLS(TLS());
  t.socketEnded();
  EXPECT_EQ(t.phase(), Phase::Failed);
  EXPECT_EQ(t.errorCode(), ECONNRESET);
}

} // namespace
