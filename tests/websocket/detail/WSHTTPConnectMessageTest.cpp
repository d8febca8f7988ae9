#include "websocket/detail/WSHTTPConnectMessage.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;
const std::string kKey = "dGhlIHNhbXBsZSBub25jZQ==";

std::string Text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }
std::span<const std::uint8_t> Span(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

WSHTTPRequestMessage Create(const std::string& url,
                            std::optional<std::vector<WSHTTPCookie>> cookies = std::nullopt,
                            std::optional<std::vector<std::string>> protocols = std::nullopt,
                            Fields extra = {}) {
  WSURLRequest request(url);
  request.headerFields = std::move(extra);
  auto message = WSHTTPConnectMessageCreate(request, kKey, 13, cookies, protocols);
  EXPECT_TRUE(message);
  return message ? *message : WSHTTPRequestMessage("", "");
}

const std::string kGoodResponse = "HTTP/1.1 101 Switching Protocols\r\n"
                                  "Upgrade: websocket\r\n"
                                  "Connection: Upgrade\r\n"
                                  "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
                                  "\r\n";

} // namespace

// ---- Upgrade request ----

// The whole request for the host link's URL, byte for byte, fields in the order they are set.
TEST(WSHTTPConnectMessageTest, RequestForTheHostURLIsExact) {
  const auto message = Create("ws://localhost:28196");
  EXPECT_EQ(Text(message.serialize()), "GET / HTTP/1.1\r\n"
                                       "Host: localhost:28196\r\n"
                                       "Upgrade: websocket\r\n"
                                       "Connection: Upgrade\r\n"
                                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                       "Sec-WebSocket-Version: 13\r\n"
                                       "Origin: http://localhost:28196\r\n"
                                       "\r\n");
}

// Host carries the port exactly when the URL names one, default or not.
TEST(WSHTTPConnectMessageTest, HostAndOriginPortRules) {
  auto m = Create("ws://localhost:80/");
  EXPECT_EQ(m.headerField("Host"), "localhost:80");
  EXPECT_EQ(m.headerField("Origin"), "http://localhost");
  m = Create("ws://localhost:443/");
  EXPECT_EQ(m.headerField("Origin"), "http://localhost:443");
  m = Create("wss://localhost:443/");
  EXPECT_EQ(m.headerField("Host"), "localhost:443");
  EXPECT_EQ(m.headerField("Origin"), "https://localhost");
  m = Create("wss://localhost/");
  EXPECT_EQ(m.headerField("Host"), "localhost");
  EXPECT_EQ(m.headerField("Origin"), "https://localhost");
  m = Create("ws://[::1]:8080/");
  EXPECT_EQ(m.headerField("Host"), "[::1]:8080");
}

TEST(WSHTTPConnectMessageTest, TargetIsTheResourceName) {
  EXPECT_EQ(Create("ws://h").target(), "/");
  EXPECT_EQ(Create("ws://h/chat?room=1#x").target(), "/chat?room=1");
  EXPECT_EQ(Create("ws://h").method(), "GET");
}

TEST(WSHTTPConnectMessageTest, VersionIsWrittenInDecimal) {
  WSURLRequest request("ws://h/");
  EXPECT_EQ(WSHTTPConnectMessageCreate(request, kKey, 8, {}, {})->headerField("Sec-WebSocket-Version"), "8");
  EXPECT_EQ(WSHTTPConnectMessageCreate(request, kKey, 255, {}, {})->headerField("Sec-WebSocket-Version"),
            "255");
}

TEST(WSHTTPConnectMessageTest, AuthorizationOnlyWithUserInformation) {
  EXPECT_FALSE(Create("ws://h/").headerField("Authorization"));
  EXPECT_EQ(Create("ws://Aladdin:open%20sesame@h/").headerField("Authorization"),
            "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  // The user information never reaches Host or Origin.
  EXPECT_EQ(Create("ws://a:b@h:1/").headerField("Host"), "h:1");
}

// No list or an empty list: no field; otherwise the names in order, joined by ", ".
TEST(WSHTTPConnectMessageTest, SubprotocolsJoinedInOrder) {
  EXPECT_FALSE(Create("ws://h/").headerField("Sec-WebSocket-Protocol"));
  EXPECT_FALSE(Create("ws://h/", {}, std::vector<std::string>{}).headerField("Sec-WebSocket-Protocol"));
  EXPECT_EQ(Create("ws://h/", {}, std::vector<std::string>{"a", "b"}).headerField("Sec-WebSocket-Protocol"),
            "a, b");
}

TEST(WSHTTPConnectMessageTest, CookiesGoIntoOneCookieField) {
  EXPECT_FALSE(Create("ws://h/", std::vector<WSHTTPCookie>{}).headerField("Cookie"));
  const auto m = Create("ws://h/", std::vector<WSHTTPCookie>{{"a", "1"}, {"", "skipped"}, {"b", "2"}});
  EXPECT_EQ(m.headerField("Cookie"), "a=1; b=2");
  // The cookie field comes right after Host.
  ASSERT_GE(m.allHeaderFields().size(), 2u);
  EXPECT_EQ(m.allHeaderFields()[1].first, "Cookie");
}

// The request's own fields come last and replace generated ones of the same name, in place,
// whatever the case of the name.
TEST(WSHTTPConnectMessageTest, UserFieldsReplaceGeneratedOnes) {
  const auto m = Create("ws://h:1/", {}, {},
                        Fields{{"origin", "https://example.org"}, {"Host", "other"}, {"X-Extra", "1"}});
  EXPECT_EQ(m.headerField("Origin"), "https://example.org");
  EXPECT_EQ(m.headerField("host"), "other");
  const auto& fields = m.allHeaderFields();
  EXPECT_EQ(fields.front(), (std::pair<std::string, std::string>{"Host", "other"}));
  EXPECT_EQ(fields.back(), (std::pair<std::string, std::string>{"X-Extra", "1"}));
  int origins = 0;
  for (const auto& f : fields) origins += f.first == "Origin" || f.first == "origin";
  EXPECT_EQ(origins, 1);
}

// A field that would inject header lines is not sent at all.
TEST(WSHTTPConnectMessageTest, FieldsWithLineBreaksAreLeftOut) {
  const auto m =
      Create("ws://h/", std::vector<WSHTTPCookie>{{"a", "1\r\nEvil: yes"}}, {},
             Fields{{"X-A", "ok\r\n\r\nGET /"}, {"X\nB", "v"}, {"", "v"}, {"X-C", std::string("a\0b", 3)}});
  const std::string text = Text(m.serialize());
  EXPECT_EQ(text.find("Evil"), std::string::npos);
  EXPECT_FALSE(m.headerField("X-A"));
  EXPECT_FALSE(m.headerField("X-C"));
  EXPECT_FALSE(m.headerField("Cookie"));
  EXPECT_EQ(text.find("\r\n\r\n"), text.size() - 4);
}

TEST(WSHTTPConnectMessageTest, URLWithoutHostGivesNoRequest) {
  EXPECT_FALSE(WSHTTPConnectMessageCreate(WSURLRequest(""), kKey, 13, {}, {}));
  EXPECT_FALSE(WSHTTPConnectMessageCreate(WSURLRequest("ws:/x"), kKey, 13, {}, {}));
}

// ---- Response head ----

TEST(WSHTTPResponseTest, CompleteHeadGivesStatusAndFields) {
  WSHTTPResponse response;
  EXPECT_EQ(response.statusCode(), 0);
  EXPECT_FALSE(response.isHeaderComplete());
  EXPECT_EQ(response.appendBytes(Span(kGoodResponse)), kGoodResponse.size());
  ASSERT_TRUE(response.isHeaderComplete());
  EXPECT_FALSE(response.failed());
  EXPECT_EQ(response.statusCode(), 101);
  EXPECT_EQ(response.headerField("Upgrade"), "websocket");
  EXPECT_EQ(response.headerField("sec-websocket-accept"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(response.headerField("SEC-WEBSOCKET-ACCEPT"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_FALSE(response.headerField("Sec-WebSocket-Protocol"));
  EXPECT_EQ(response.allHeaderFields().size(), 3u);
  EXPECT_EQ(
      response.headerFieldsDescription(),
      "{Upgrade = websocket; Connection = Upgrade; Sec-WebSocket-Accept = s3pPLMBiTxaQ9kYGzzhZRbK+xOo=}");
}

// A head arriving in pieces, split at every byte position, parses the same.
TEST(WSHTTPResponseTest, HeadSplitAtEveryPositionParsesTheSame) {
  for (std::size_t split = 0; split <= kGoodResponse.size(); ++split) {
    SCOPED_TRACE(split);
    WSHTTPResponse response;
    const auto bytes = Span(kGoodResponse);
    EXPECT_EQ(response.appendBytes(bytes.first(split)), split);
    EXPECT_EQ(response.isHeaderComplete(), split == kGoodResponse.size());
    EXPECT_EQ(response.appendBytes(bytes.subspan(split)), kGoodResponse.size() - split);
    ASSERT_TRUE(response.isHeaderComplete());
    EXPECT_EQ(response.statusCode(), 101);
    EXPECT_TRUE(WSCheckHandshake(response, kKey));
  }
  WSHTTPResponse oneByOne;
  for (std::size_t i = 0; i < kGoodResponse.size(); ++i) {
    EXPECT_EQ(oneByOne.appendBytes(Span(kGoodResponse).subspan(i, 1)), 1u);
  }
  EXPECT_TRUE(oneByOne.isHeaderComplete());
}

// Bytes after the head (the first frames) are not taken, whether they come in the same piece
// or later.
TEST(WSHTTPResponseTest, BytesAfterTheHeadAreLeft) {
  const std::string frames = "\x81\x02hi\x82\x00";
  const std::string all = kGoodResponse + frames;
  for (std::size_t split = 0; split <= all.size(); ++split) {
    SCOPED_TRACE(split);
    WSHTTPResponse response;
    const auto bytes = Span(all);
    const std::size_t first = response.appendBytes(bytes.first(split));
    const std::size_t second = response.appendBytes(bytes.subspan(split));
    EXPECT_EQ(first + second, kGoodResponse.size());
    EXPECT_TRUE(response.isHeaderComplete());
  }
}

// Any status is reported as is; the caller decides (>= 400 fails, anything below goes on).
TEST(WSHTTPResponseTest, StatusCodesAreReported) {
  for (int status : {200, 399, 404, 500}) {
    WSHTTPResponse response;
    const std::string head = "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: 5\r\n\r\n";
    EXPECT_EQ(response.appendBytes(Span(head + "hello")), head.size());
    EXPECT_EQ(response.statusCode(), status);
    EXPECT_FALSE(WSCheckHandshake(response, kKey));
  }
}

// A peer that never ends its head: failed after 64 KiB, holding no more than that.
TEST(WSHTTPResponseTest, NeverEndingHeadFailsAtTheCap) {
  WSHTTPResponse response;
  const std::string start = "HTTP/1.1 101 OK\r\n";
  response.appendBytes(Span(start));
  const std::string line = "X-Filler: " + std::string(100, 'a') + "\r\n";
  std::size_t fed = start.size();
  while (!response.failed() && fed < 2 * WSMaxHTTPHeadSize) {
    response.appendBytes(Span(line));
    fed += line.size();
  }
  EXPECT_TRUE(response.failed());
  EXPECT_LE(fed, WSMaxHTTPHeadSize + line.size());
  EXPECT_FALSE(response.isHeaderComplete());
  EXPECT_FALSE(response.failureReason().empty());
  // Failed stays failed.
  EXPECT_EQ(response.appendBytes(Span(std::string("\r\n"))), 0u);
  EXPECT_FALSE(response.isHeaderComplete());

  // A single piece over the cap without a terminator fails at once.
  WSHTTPResponse single;
  single.appendBytes(Span(start + std::string(WSMaxHTTPHeadSize, 'a')));
  EXPECT_TRUE(single.failed());
}

// A head of just under the cap is still accepted.
TEST(WSHTTPResponseTest, HeadJustUnderTheCapIsAccepted) {
  std::string head = "HTTP/1.1 101 OK\r\nX: ";
  head += std::string(WSMaxHTTPHeadSize - head.size() - 4, 'a');
  head += "\r\n\r\n";
  ASSERT_EQ(head.size(), WSMaxHTTPHeadSize);
  WSHTTPResponse response;
  EXPECT_EQ(response.appendBytes(Span(head)), head.size());
  EXPECT_TRUE(response.isHeaderComplete());
  EXPECT_EQ(response.headerField("x")->size(), WSMaxHTTPHeadSize - 24);
}

TEST(WSHTTPResponseTest, GarbageFails) {
  for (const std::string& garbage :
       std::vector<std::string>{"garbage\r\n\r\n", "HTTP/1.1 abc OK\r\n\r\n", "GET / HTTP/1.1\r\n\r\n",
                                std::string("HTTP/1.1 101 OK\r\nX\0: y\r\n\r\n", 27)}) {
    SCOPED_TRACE(garbage);
    WSHTTPResponse response;
    response.appendBytes(Span(garbage));
    EXPECT_TRUE(response.failed());
    EXPECT_FALSE(response.isHeaderComplete());
    EXPECT_EQ(response.statusCode(), 0);
  }
}

TEST(WSHTTPResponseTest, MovedResponseKeepsItsState) {
  WSHTTPResponse response;
  response.appendBytes(Span(kGoodResponse).first(20));
  WSHTTPResponse moved = std::move(response);
  moved.appendBytes(Span(kGoodResponse).subspan(20));
  EXPECT_EQ(moved.statusCode(), 101);
}

// ---- Accept check ----

TEST(WSHTTPConnectMessageTest, ExpectedAcceptOfTheRFCExample) {
  EXPECT_EQ(WSExpectedAcceptForKey(kKey), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

// Missing or different (also only in letter case) fails; Upgrade and Connection are not looked at.
TEST(WSHTTPConnectMessageTest, HandshakeCheckIsExactAcceptEquality) {
  auto parse = [](const std::string& head) {
    WSHTTPResponse r;
    r.appendBytes(Span(head));
    return r;
  };
  EXPECT_TRUE(WSCheckHandshake(
      parse("HTTP/1.1 101 X\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n"), kKey));
  EXPECT_TRUE(WSCheckHandshake(
      parse("HTTP/1.1 200 OK\r\nsec-websocket-accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n"), kKey));
  EXPECT_FALSE(WSCheckHandshake(
      parse("HTTP/1.1 101 X\r\nSec-WebSocket-Accept: S3PPLMBITXAQ9KYGZZHZRBK+XOO=\r\n\r\n"), kKey));
  EXPECT_FALSE(WSCheckHandshake(parse("HTTP/1.1 101 X\r\nUpgrade: websocket\r\n\r\n"), kKey));
  EXPECT_FALSE(WSCheckHandshake(parse(kGoodResponse), "AAAAAAAAAAAAAAAAAAAAAA=="));
  EXPECT_FALSE(WSCheckHandshake(WSHTTPResponse(), kKey));
}

// RFC 6455 section 4.1: Upgrade must list "websocket" and Connection "Upgrade", as tokens in any
// case, alone, in comma lists or in repeated fields.
TEST(WSHTTPResponseTest, UpgradeFieldsAreCheckedAsTokens) {
  const struct {
    const char* fields;
    bool accepted;
  } cases[] = {
      {"Upgrade: websocket\r\nConnection: Upgrade\r\n", true},
      {"upgrade: WebSocket\r\nCONNECTION: upgrade\r\n", true},
      {"Upgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n", true},
      {"Upgrade: websocket\r\nConnection:keep-alive,\tupgrade \r\n", true},
      {"Upgrade: h2c, websocket\r\nConnection: Upgrade\r\n", true},
      {"Upgrade: websocket\r\nConnection: keep-alive\r\nConnection: Upgrade\r\n", true},
      {"Connection: Upgrade\r\n", false},
      {"Upgrade: websocket\r\n", false},
      {"", false},
      {"Upgrade: websockets\r\nConnection: Upgrade\r\n", false},
      {"Upgrade: web socket\r\nConnection: Upgrade\r\n", false},
      {"Upgrade: websocket\r\nConnection: Upgraded\r\n", false},
      {"Upgrade: websocket\r\nConnection: keep-alive\r\n", false},
      {"Upgrade: websocket\r\nX-Connection: Upgrade\r\n", false},
      {"Upgrade:\r\nConnection: Upgrade\r\n", false},
  };
  for (const auto& c : cases) {
    const std::string head = std::string("HTTP/1.1 101 Switching Protocols\r\n") + c.fields + "\r\n";
    WSHTTPResponse response;
    response.appendBytes(Span(head));
    ASSERT_TRUE(response.isHeaderComplete()) << c.fields;
    EXPECT_EQ(WSResponseHasUpgradeFields(response), c.accepted) << c.fields;
  }
}
