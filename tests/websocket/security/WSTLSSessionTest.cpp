#include "websocket/security/WSTLSSession.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "websocket/security/TestServers.hpp"
#include "websocket/security/WSPinningSecurityPolicy.hpp"

namespace {

using namespace wstest;

class WSTLSSessionTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    pki = new TestPKI();
    // OpenSSL's default trust store is replaced by the test CA alone.
    setenv("SSL_CERT_FILE", pki->file("ca.pem").c_str(), 1);
    for (const char* name : {"server", "wronghost", "untrusted"}) {
      auto child = std::make_unique<ChildProcess>(std::vector<std::string>{
          "/usr/bin/python3", SupportScript("tls_echo_server.py"),
          pki->file(std::string(name) + "-chain.pem"), pki->file(std::string(name) + ".key")});
      ports[name] = static_cast<std::uint16_t>(std::stoi(child->readLine()));
      servers.push_back(std::move(child));
    }
  }
  static void TearDownTestSuite() {
    servers.clear();
    delete pki;
    unsetenv("SSL_CERT_FILE");
  }

  static WSStreamSecurityOptions Options(const std::string& peer, bool validate) {
    WSStreamSecurityOptions options;
    options.peerName = peer;
    WSSecurityPolicy(validate).updateSecurityOptionsInStream(options);
    return options;
  }

  // Runs the handshake over a blocking socket until it ends one way or the other.
  static void Handshake(WSTLSSession& session, int fd) {
    SendAll(fd, session.takeCiphertext());
    while (session.state() == WSTLSSession::State::Handshaking) {
      auto bytes = Receive(fd);
      if (bytes.empty()) break;
      session.feedCiphertext(bytes.data(), bytes.size());
      SendAll(fd, session.takeCiphertext());
    }
  }

  // Sends `text` and collects plaintext until `expected` bytes have arrived.
  static std::string RoundTrip(WSTLSSession& session, int fd, const std::string& text, std::size_t expected) {
    session.writePlaintext(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    SendAll(fd, session.takeCiphertext());
    std::string received;
    while (received.size() < expected) {
      auto bytes = Receive(fd);
      if (bytes.empty()) break;
      session.feedCiphertext(bytes.data(), bytes.size());
      SendAll(fd, session.takeCiphertext());
      std::uint8_t buffer[4096];
      while (std::size_t n = session.readPlaintext(buffer, sizeof buffer))
        received.append(reinterpret_cast<char*>(buffer), n);
    }
    return received;
  }

  struct Socket {
    int fd;
    explicit Socket(std::uint16_t port) : fd(ConnectLoopback(port)) {}
    ~Socket() {
      if (fd >= 0) close(fd);
    }
  };

  static TestPKI* pki;
  static std::map<std::string, std::uint16_t> ports;
  static std::vector<std::unique_ptr<ChildProcess>> servers;
};

TestPKI* WSTLSSessionTest::pki = nullptr;
std::map<std::string, std::uint16_t> WSTLSSessionTest::ports;
std::vector<std::unique_ptr<ChildProcess>> WSTLSSessionTest::servers;

// A chain from the trusted CA for the right host name opens; SNI carries the host; data flows.
TEST_F(WSTLSSessionTest, TrustedChainOpensAndCarriesSNI) {
  Socket socket(ports["server"]);
  WSTLSSession session(Options("localhost", true));
  EXPECT_EQ(session.state(), WSTLSSession::State::Handshaking);
  EXPECT_TRUE(session.peerTrust().certificates.empty());
  Handshake(session, socket.fd);
  ASSERT_EQ(session.state(), WSTLSSession::State::Open) << session.errorDescription();
  EXPECT_TRUE(session.protocolVersion() == "TLSv1.2" || session.protocolVersion() == "TLSv1.3");
  EXPECT_EQ(RoundTrip(session, socket.fd, "hello", 15), "localhost|hello");
}

// The peer trust is the chain as sent, leaf first, in DER.
TEST_F(WSTLSSessionTest, PeerTrustIsTheChainInOrder) {
  Socket socket(ports["server"]);
  WSTLSSession session(Options("localhost", true));
  Handshake(session, socket.fd);
  ASSERT_EQ(session.state(), WSTLSSession::State::Open);
  const WSServerTrust trust = session.peerTrust();
  ASSERT_EQ(trust.certificates.size(), 2u);
  EXPECT_EQ(trust.certificates[0], pki->der("server"));
  EXPECT_EQ(trust.certificates[1], pki->der("ca"));
}

// Plaintext written during the handshake is held and sent once it has finished.
TEST_F(WSTLSSessionTest, EarlyPlaintextIsSentAfterHandshake) {
  Socket socket(ports["server"]);
  WSTLSSession session(Options("localhost", true));
  const std::string early = "early bytes";
  session.writePlaintext(reinterpret_cast<const std::uint8_t*>(early.data()), early.size());
  Handshake(session, socket.fd);
  ASSERT_EQ(session.state(), WSTLSSession::State::Open);
  EXPECT_EQ(RoundTrip(session, socket.fd, "", 21), "localhost|early bytes");
}

// A chain from an unknown CA fails the handshake with a description naming the cause.
TEST_F(WSTLSSessionTest, UntrustedChainFailsWithClearDescription) {
  Socket socket(ports["untrusted"]);
  WSTLSSession session(Options("localhost", true));
  Handshake(session, socket.fd);
  ASSERT_EQ(session.state(), WSTLSSession::State::Failed);
  EXPECT_EQ(session.errorCode(), EPROTO);
  EXPECT_NE(session.errorDescription().find("TLS handshake failed: certificate verify failed"),
            std::string::npos)
      << session.errorDescription();
  EXPECT_TRUE(session.peerTrust().certificates.empty());
}

// A trusted certificate for another host name fails the handshake.
TEST_F(WSTLSSessionTest, WrongHostNameFails) {
  Socket socket(ports["wronghost"]);
  WSTLSSession session(Options("localhost", true));
  Handshake(session, socket.fd);
  ASSERT_EQ(session.state(), WSTLSSession::State::Failed);
  EXPECT_NE(session.errorDescription().find("hostname mismatch"), std::string::npos)
      << session.errorDescription();
}

// An IP address as peer name is checked against the certificate's IP entries and sent without SNI.
TEST_F(WSTLSSessionTest, IPAddressPeerNameIsCheckedWithoutSNI) {
  Socket socket(ports["server"]);
  WSTLSSession session(Options("127.0.0.1", true));
  Handshake(session, socket.fd);
  ASSERT_EQ(session.state(), WSTLSSession::State::Open) << session.errorDescription();
  EXPECT_EQ(RoundTrip(session, socket.fd, "x", 3), "-|x");
}

// With validation off any chain and any name pass; the pinning policy then decides on the chain.
TEST_F(WSTLSSessionTest, ValidationOffAcceptsAndPinningDecides) {
  Socket socket(ports["untrusted"]);
  WSTLSSession session(Options("localhost", false));
  Handshake(session, socket.fd);
  ASSERT_EQ(session.state(), WSTLSSession::State::Open) << session.errorDescription();
  const WSServerTrust trust = session.peerTrust();
  EXPECT_TRUE(WSPinningSecurityPolicy({pki->der("otherca")}).evaluateServerTrust(trust, "localhost"));
  EXPECT_FALSE(WSPinningSecurityPolicy({pki->der("ca")}).evaluateServerTrust(trust, "localhost"));
  EXPECT_FALSE(WSPinningSecurityPolicy({pki->der("otherca"), pki->der("server")})
                   .evaluateServerTrust(trust, "localhost"));
}

// Bytes split into single-byte reads still complete the handshake and the record layer.
TEST_F(WSTLSSessionTest, ByteAtATimeFeeding) {
  Socket socket(ports["server"]);
  WSTLSSession session(Options("localhost", true));
  SendAll(socket.fd, session.takeCiphertext());
  while (session.state() == WSTLSSession::State::Handshaking) {
    auto bytes = Receive(socket.fd);
    ASSERT_FALSE(bytes.empty());
    for (std::uint8_t byte : bytes) session.feedCiphertext(&byte, 1);
    SendAll(socket.fd, session.takeCiphertext());
  }
  ASSERT_EQ(session.state(), WSTLSSession::State::Open);
  EXPECT_EQ(RoundTrip(session, socket.fd, "split", 15), "localhost|split");
}

// A server that closes without TLS fails the handshake; garbage input fails it too.
TEST_F(WSTLSSessionTest, GarbageFromServerFails) {
  WSTLSSession session(Options("localhost", true));
  EXPECT_FALSE(session.takeCiphertext().empty());
  const std::string junk = "HTTP/1.1 400 Bad Request\r\n\r\n";
  session.feedCiphertext(reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size());
  EXPECT_EQ(session.state(), WSTLSSession::State::Failed);
  EXPECT_FALSE(session.errorDescription().empty());
  // A failed session stays failed and ignores further input and output.
  session.writePlaintext(reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size());
  session.feedCiphertext(reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size());
  EXPECT_EQ(session.state(), WSTLSSession::State::Failed);
}

// A large message is sent and received across many records.
TEST_F(WSTLSSessionTest, LargePayloadRoundTrips) {
  Socket socket(ports["server"]);
  WSTLSSession session(Options("localhost", true));
  Handshake(session, socket.fd);
  ASSERT_EQ(session.state(), WSTLSSession::State::Open);
  const std::string big(100000, 'z');
  session.writePlaintext(reinterpret_cast<const std::uint8_t*>(big.data()), big.size());
  SendAll(socket.fd, session.takeCiphertext());
  // The server answers each chunk it receives with "localhost|<chunk>": count the payload bytes.
  std::size_t payload = 0;
  while (payload < big.size()) {
    auto bytes = Receive(socket.fd);
    ASSERT_FALSE(bytes.empty());
    session.feedCiphertext(bytes.data(), bytes.size());
    std::uint8_t buffer[4096];
    while (std::size_t n = session.readPlaintext(buffer, sizeof buffer))
      for (std::size_t i = 0; i < n; ++i) payload += buffer[i] == 'z';
  }
  EXPECT_EQ(payload, big.size());
}

} // namespace
