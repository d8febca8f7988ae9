// Regression tests for inputs found by the proxy fuzz targets (fuzz/proxy/).

#include "websocket/proxy/WSHTTPConnect.hpp"
#include "websocket/proxy/WSPAC.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using Result = WSHTTPConnectResponseReader::Result;

Result Feed(WSHTTPConnectResponseReader& reader, const std::string& text) {
  return reader.feed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// A CONNECT answer whose head is larger than the 64 KiB cap is refused however the socket delivers it:
// in one read as in many (the cap used to be checked only when a read ended without the blank line).
TEST(WSProxyRegressionTest, OversizedConnectHeadIsRefusedInOneRead) {
  const std::string head = "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(70 * 1024, 'a') + "\r\n\r\n";
  WSHTTPConnectResponseReader whole;
  EXPECT_EQ(Feed(whole, head), Result::Refused);
  EXPECT_EQ(whole.statusCode(), 500);

  WSHTTPConnectResponseReader pieces;
  Result result = Result::NeedMore;
  for (std::size_t at = 0; at < head.size() && result == Result::NeedMore; at += 4096)
    result = Feed(pieces, head.substr(at, 4096));
  EXPECT_EQ(result, Result::Refused);
}

// At the cap's edge the verdict does not depend on the reads either: accepted up to a head whose bytes
// before the blank line's last LF fit the cap, refused one byte beyond, in one read as byte by byte.
TEST(WSProxyRegressionTest, ConnectHeadAtTheCapGetsOneVerdict) {
  for (const std::size_t extra : {0u, 1u}) {
    const std::string prefix = "HTTP/1.1 200 OK\r\nX-Filler: ";
    const std::size_t fill = 64 * 1024 - 3 - prefix.size() + extra; // bytes before "\r\n\r\n"
    const std::string head = prefix + std::string(fill, 'a') + "\r\n\r\n";
    WSHTTPConnectResponseReader whole, bytes;
    const Result once = Feed(whole, head);
    Result each = Result::NeedMore;
    for (std::size_t at = 0; at < head.size() && each == Result::NeedMore; ++at)
      each = Feed(bytes, head.substr(at, 1));
    EXPECT_EQ(once, extra ? Result::Refused : Result::Accepted) << extra;
    EXPECT_EQ(each, once) << extra;
  }
}

// A port with bytes above 0x7F is not a port (and is checked without handing negative chars to <cctype>).
TEST(WSProxyRegressionTest, PACPortWithHighBytesIsSkipped) {
  const auto entries = WSProxyEntriesFromPACAnswer("PROXY host:8\xB9\xB0; PROXY other:81");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].host, "other");
  EXPECT_EQ(entries[0].port, 81u);
}

} // namespace
