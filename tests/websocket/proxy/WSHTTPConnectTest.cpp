#include "websocket/proxy/WSHTTPConnect.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include "support/LineCapture.hpp"
#include "websocket/proxy/ProxyTestServers.hpp"

namespace {

using namespace wstest;
using Result = WSHTTPConnectResponseReader::Result;

Result Feed(WSHTTPConnectResponseReader& reader, const std::string& text) {
  return reader.feed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

class LogCapture {
public:
  std::vector<std::string> lines;

private:
  testsupport::LineCapture _capture{[this](const std::string& line) { lines.push_back(line); }};
};

// The request names host and port on the CONNECT line and the host alone in Host.
TEST(WSHTTPConnectTest, RequestText) {
  EXPECT_EQ(WSHTTPConnectRequest("example.com", 443),
            "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com\r\nConnection: keep-alive\r\n"
            "Proxy-Connection: keep-alive\r\n\r\n");
  EXPECT_EQ(WSHTTPConnectRequest("::1", 80).substr(0, 29), "CONNECT [::1]:80 HTTP/1.1\r\nHo");
}

// Credentials go out as Basic proxy authorization (RFC 7617); the log form hides them.
TEST(WSHTTPConnectTest, RequestCarriesProxyAuthorization) {
  const std::string head =
      "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com\r\nConnection: keep-alive\r\n"
      "Proxy-Connection: keep-alive\r\n";
  const struct {
    WSProxyCredentials credentials;
    const char* value;
  } cases[] = {
      {{"Aladdin", "open sesame"}, "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
      {{"user", ""}, "dXNlcjo="},
      {{"", "pw"}, "OnB3"},
      {{"us er", "p@ss:w%rd"}, "dXMgZXI6cEBzczp3JXJk"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WSHTTPConnectRequest("example.com", 443, c.credentials),
              head + "Proxy-Authorization: Basic " + c.value + "\r\n\r\n");
    EXPECT_EQ(WSHTTPConnectRequest("example.com", 443, c.credentials, true),
              head + "Proxy-Authorization: Basic ********\r\n\r\n");
  }
}

// A 200 answer split at every byte position is accepted once its header is complete.
TEST(WSHTTPConnectTest, SplitAnswerIsAcceptedWhenComplete) {
  const std::string answer = "HTTP/1.1 200 Connection established\r\nProxy-Agent: test\r\n\r\n";
  for (std::size_t split = 1; split < answer.size(); ++split) {
    WSHTTPConnectResponseReader reader;
    EXPECT_EQ(Feed(reader, answer.substr(0, split)), Result::NeedMore) << split;
    EXPECT_EQ(Feed(reader, answer.substr(split)), Result::Accepted) << split;
    EXPECT_EQ(reader.statusCode(), 200);
    EXPECT_TRUE(reader.takeLeftover().empty());
  }
  WSHTTPConnectResponseReader bytewise;
  for (std::size_t i = 0; i + 1 < answer.size(); ++i)
    ASSERT_EQ(Feed(bytewise, answer.substr(i, 1)), Result::NeedMore);
  EXPECT_EQ(Feed(bytewise, answer.substr(answer.size() - 1)), Result::Accepted);
  ASSERT_EQ(bytewise.headerFields().size(), 1u);
  EXPECT_EQ(bytewise.headerFields()[0], (std::pair<std::string, std::string>{"Proxy-Agent", "test"}));
}

// 407 and 299 are refused with the status and the documented description; 199 passes.
TEST(WSHTTPConnectTest, StatusDecides) {
  WSHTTPConnectResponseReader auth;
  EXPECT_EQ(Feed(auth, "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n"),
            Result::Refused);
  EXPECT_EQ(auth.statusCode(), 407);
  EXPECT_EQ(auth.failureDescription(), "Received bad response code from proxy server: 407.");
  WSHTTPConnectResponseReader edge;
  EXPECT_EQ(Feed(edge, "HTTP/1.1 299 Odd\r\n\r\n"), Result::Refused);
  EXPECT_EQ(edge.statusCode(), 299);
  WSHTTPConnectResponseReader low;
  EXPECT_EQ(Feed(low, "HTTP/1.0 199 Early\r\n\r\n"), Result::Accepted);
  WSHTTPConnectResponseReader ok;
  EXPECT_EQ(Feed(ok, "HTTP/1.0 298 Fine\r\n\r\n"), Result::Accepted);
}

// An answer that is not HTTP, or a head that never ends, is refused as 500.
TEST(WSHTTPConnectTest, GarbageIsRefusedAs500) {
  WSHTTPConnectResponseReader garbage;
  EXPECT_EQ(Feed(garbage, "SSH-2.0-OpenSSH\r\n\r\n"), Result::Refused);
  EXPECT_EQ(garbage.statusCode(), 500);
  WSHTTPConnectResponseReader endless;
  EXPECT_EQ(Feed(endless, "HTTP/1.1 200 OK\r\n"), Result::NeedMore);
  EXPECT_EQ(Feed(endless, std::string(70000, 'a')), Result::Refused);
  EXPECT_EQ(endless.statusCode(), 500);
}

// Bytes after the header belong to the tunnel and are kept, also when they arrive later.
TEST(WSHTTPConnectTest, BytesAfterHeaderAreKept) {
  WSHTTPConnectResponseReader reader;
  EXPECT_EQ(Feed(reader, "HTTP/1.1 200 OK\r\n\r\nabc"), Result::Accepted);
  EXPECT_EQ(Feed(reader, "def"), Result::Accepted);
  const auto leftover = reader.takeLeftover();
  EXPECT_EQ(std::string(leftover.begin(), leftover.end()), "abcdef");
}

// The answer writes the connector's log lines.
TEST(WSHTTPConnectTest, LogLines) {
  LogCapture log;
  WSHTTPConnectResponseReader accepted, refused;
  Feed(accepted, "HTTP/1.1 200 OK\r\nVia: p\r\n\r\n");
  Feed(refused, "HTTP/1.1 403 Forbidden\r\n\r\n");
  EXPECT_EQ(log.lines, (std::vector<std::string>{"Finished reading headers { Via = p }",
                                                 "proxy connect return 200, call socket connect",
                                                 "Finished reading headers {}",
                                                 "Connect to Proxy Request failed with response code 403"}));
}

// ---- Against tinyproxy ----

class WSHTTPConnectProxyTest : public testing::Test {
protected:
  // Sends CONNECT through the proxy at `proxyPort` for 127.0.0.1:`targetPort` and reads the answer.
  static Result Connect(int fd, std::uint16_t targetPort, WSHTTPConnectResponseReader& reader) {
    const std::string request = WSHTTPConnectRequest("127.0.0.1", targetPort);
    SendAll(fd, reinterpret_cast<const std::uint8_t*>(request.data()), request.size());
    Result result = Result::NeedMore;
    while (result == Result::NeedMore) {
      const auto bytes = Receive(fd);
      if (bytes.empty()) break;
      result = reader.feed(bytes.data(), bytes.size());
    }
    return result;
  }
  TempDir dir;
};

// Through a proxy that allows every port the tunnel opens and carries bytes both ways.
TEST_F(WSHTTPConnectProxyTest, TunnelThroughTinyproxy) {
  ScriptServer echo("echo_server.py");
  TinyProxy proxy(dir);
  const int fd = ConnectLoopback(proxy.port());
  ASSERT_GE(fd, 0);
  WSHTTPConnectResponseReader reader;
  ASSERT_EQ(Connect(fd, echo.port(), reader), Result::Accepted);
  EXPECT_EQ(reader.statusCode(), 200);
  auto early = reader.takeLeftover();
  EXPECT_TRUE(early.empty());
  const std::string payload = "through the tunnel";
  SendAll(fd, reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
  std::string echoed;
  while (echoed.size() < payload.size()) {
    const auto bytes = Receive(fd);
    ASSERT_FALSE(bytes.empty());
    echoed.append(bytes.begin(), bytes.end());
  }
  EXPECT_EQ(echoed, payload);
  close(fd);
}

// A proxy that forbids CONNECT to the port answers 403, which refuses the tunnel.
TEST_F(WSHTTPConnectProxyTest, TinyproxyForbiddingThePortRefuses) {
  ScriptServer echo("echo_server.py");
  TinyProxy proxy(dir, /*connectPortOnly=*/1);
  const int fd = ConnectLoopback(proxy.port());
  ASSERT_GE(fd, 0);
  WSHTTPConnectResponseReader reader;
  EXPECT_EQ(Connect(fd, echo.port(), reader), Result::Refused);
  EXPECT_EQ(reader.statusCode(), 403);
  EXPECT_EQ(reader.failureDescription(), "Received bad response code from proxy server: 403.");
  close(fd);
}

} // namespace
