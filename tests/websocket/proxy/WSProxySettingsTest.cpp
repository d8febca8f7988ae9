#include "websocket/proxy/WSProxySettings.hpp"

#include <gtest/gtest.h>

#include <map>

namespace {

WSProxySettings FromVariables(const std::map<std::string, std::string>& variables) {
  return WSProxySettings::fromEnvironment([&](const char* name) -> const char* {
    const auto found = variables.find(name);
    return found == variables.end() ? nullptr : found->second.c_str();
  });
}

WSProxyEntry Entry(WSProxyType type, std::string host, std::uint32_t port) {
  WSProxyEntry e;
  e.type = type;
  e.host = std::move(host);
  e.port = port;
  return e;
}

// Each variable is read lower case first, then upper case; empty values count as unset.
TEST(WSProxySettingsTest, LowerCaseVariablesWinAndEmptyOnesAreUnset) {
  const auto s = FromVariables({{"http_proxy", "lower:1"},
                                {"HTTP_PROXY", "upper:1"},
                                {"https_proxy", ""},
                                {"HTTPS_PROXY", "upper:2"},
                                {"ALL_PROXY", "all:3"},
                                {"no_proxy", "a.example"},
                                {"auto_proxy", "file:///p.pac"}});
  EXPECT_EQ(s.httpProxy, "lower:1");
  EXPECT_EQ(s.httpsProxy, "upper:2");
  EXPECT_EQ(s.allProxy, "all:3");
  EXPECT_EQ(s.noProxy, "a.example");
  EXPECT_EQ(s.autoProxy, "file:///p.pac");
  EXPECT_FALSE(FromVariables({}).httpProxy);
}

// The probe URL is the host alone with the scheme chosen by TLS.
TEST(WSProxySettingsTest, ProbeURLKeepsOnlyTheHost) {
  EXPECT_EQ(WSProxyProbeURL("example.com", true), "https://example.com");
  EXPECT_EQ(WSProxyProbeURL("example.com", false), "http://example.com");
  EXPECT_EQ(WSProxyProbeURL("::1", false), "http://[::1]");
}

// Proxy URLs: schemes map to types, a missing scheme is http, credentials are decoded.
TEST(WSProxySettingsTest, ProxyURLsBecomeEntries) {
  EXPECT_EQ(WSProxyEntryFromURL("proxy.example:3128"), Entry(WSProxyType::HTTP, "proxy.example", 3128));
  EXPECT_EQ(WSProxyEntryFromURL("http://proxy.example/"), Entry(WSProxyType::HTTP, "proxy.example", 0));
  EXPECT_EQ(WSProxyEntryFromURL("HTTPS://p:443"), Entry(WSProxyType::HTTPS, "p", 443));
  for (const char* scheme : {"socks", "socks5", "socks5h"}) {
    auto e = WSProxyEntryFromURL(std::string(scheme) + "://s:1080");
    ASSERT_TRUE(e) << scheme;
    EXPECT_EQ(e->type, WSProxyType::SOCKS);
    EXPECT_EQ(e->socksVersion, WSSOCKSVersion::V5);
  }
  for (const char* scheme : {"socks4", "socks4a"}) {
    auto e = WSProxyEntryFromURL(std::string(scheme) + "://s:1080");
    ASSERT_TRUE(e) << scheme;
    EXPECT_EQ(e->socksVersion, WSSOCKSVersion::V4a);
  }
  auto withUser = WSProxyEntryFromURL("socks5://us%40er:p%3Ass@[::1]:1081");
  ASSERT_TRUE(withUser);
  EXPECT_EQ(withUser->host, "::1");
  EXPECT_EQ(withUser->port, 1081u);
  EXPECT_EQ(withUser->username, "us@er");
  EXPECT_EQ(withUser->password, "p:ss");
  auto userOnly = WSProxyEntryFromURL("socks5://user@s");
  ASSERT_TRUE(userOnly);
  EXPECT_EQ(userOnly->username, "user");
  EXPECT_FALSE(userOnly->password);
  EXPECT_FALSE(WSProxyEntryFromURL("ftp://p:21"));
  EXPECT_FALSE(WSProxyEntryFromURL("http://p:99999"));
  EXPECT_FALSE(WSProxyEntryFromURL("http://p:8a"));
  EXPECT_FALSE(WSProxyEntryFromURL("http://p:8\xE9"));
  EXPECT_FALSE(WSProxyEntryFromURL("http://:80"));
  EXPECT_FALSE(WSProxyEntryFromURL(""));
}

// no_proxy: names match themselves and subdomains, dots and "*." prefixes mean suffixes.
TEST(WSProxySettingsTest, NoProxyNamesAndSuffixes) {
  EXPECT_TRUE(WSNoProxyMatches("example.com", "example.com"));
  EXPECT_TRUE(WSNoProxyMatches("example.com", "www.EXAMPLE.com"));
  EXPECT_TRUE(WSNoProxyMatches(".example.com", "a.example.com"));
  EXPECT_TRUE(WSNoProxyMatches(".example.com", "example.com"));
  EXPECT_TRUE(WSNoProxyMatches("*.example.com", "a.b.example.com"));
  EXPECT_FALSE(WSNoProxyMatches("example.com", "badexample.com"));
  EXPECT_FALSE(WSNoProxyMatches("example.com", "example.com.evil"));
  EXPECT_TRUE(WSNoProxyMatches("other, example.com:8080 ", "example.com"));
  EXPECT_TRUE(WSNoProxyMatches("a b\texample.com", "example.com"));
  EXPECT_TRUE(WSNoProxyMatches("*", "anything"));
  EXPECT_FALSE(WSNoProxyMatches("", "anything"));
}

// no_proxy: addresses and CIDR ranges in both families.
TEST(WSProxySettingsTest, NoProxyAddressesAndRanges) {
  EXPECT_TRUE(WSNoProxyMatches("10.1.2.3", "10.1.2.3"));
  EXPECT_TRUE(WSNoProxyMatches("10.1.2.3:80", "10.1.2.3"));
  EXPECT_FALSE(WSNoProxyMatches("10.1.2.3", "10.1.2.4"));
  EXPECT_TRUE(WSNoProxyMatches("10.0.0.0/8", "10.200.1.1"));
  EXPECT_FALSE(WSNoProxyMatches("10.0.0.0/8", "11.0.0.1"));
  EXPECT_TRUE(WSNoProxyMatches("192.168.4.0/22", "192.168.7.255"));
  EXPECT_FALSE(WSNoProxyMatches("192.168.4.0/22", "192.168.8.0"));
  EXPECT_TRUE(WSNoProxyMatches("0.0.0.0/0", "8.8.8.8"));
  EXPECT_TRUE(WSNoProxyMatches("fd00::/8", "fd12::1"));
  EXPECT_TRUE(WSNoProxyMatches("[fd00::1]", "[FD00::1]"));
  EXPECT_TRUE(WSNoProxyMatches("fd00::1", "fd00::1"));
  EXPECT_FALSE(WSNoProxyMatches("fd00::/8", "10.0.0.1"));
  EXPECT_FALSE(WSNoProxyMatches("10.0.0.0/33", "10.0.0.1"));
  EXPECT_FALSE(WSNoProxyMatches("10.0.0.0/\xE9", "10.0.0.1"));
  EXPECT_FALSE(WSNoProxyMatches("10.0.0.0/8", "ten.example"));
}

// Loopback in every spelling the socket layer accepts is local; look-alikes are not.
TEST(WSProxySettingsTest, LoopbackHosts) {
  const struct {
    const char* host;
    bool loopback;
  } cases[] = {
      {"localhost", true},
      {"LOCALHOST", true},
      {"localhost.", true},
      {"a.localhost", true},
      {"A.B.LocalHost.", true},
      {"127.0.0.1", true},
      {"127.9.9.9", true},
      {"127.1", true},
      {"127.0.1", true},
      {"2130706433", true},
      {"0x7f000001", true},
      {"0177.0.0.1", true},
      {"0x7f.1", true},
      {"0.0.0.0", true},
      {"0", true},
      {"::1", true},
      {"[::1]", true},
      {"0:0:0:0:0:0:0:1", true},
      {"::ffff:127.0.0.1", true},
      {"[::ffff:7f00:1]", true},
      {"::", true},
      {"localhost.example", false},
      {"localhostx", false},
      {"xlocalhost", false},
      {"128.0.0.1", false},
      {"2130706431", false},
      {"0x80000001", false},
      {"126.255.255.255", false},
      {"::2", false},
      {"example.com", false},
      {"[::1", false},
      {"", false},
      {"10.0.0.1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(WSIsLoopbackHost(c.host), c.loopback) << c.host;
}

// Every loopback spelling goes direct in the proxy list, unless "<-loopback>" is set.
TEST(WSProxySettingsTest, LoopbackSpellingsBypassProxies) {
  WSProxySettings s;
  s.httpProxy = "h:1";
  s.httpsProxy = "h:1";
  for (const char* url : {"http://127.1", "http://2130706433:80", "https://0x7f000001/", "http://[::1]:8080",
                          "http://Foo.LOCALHOST.", "http://0.0.0.0", "https://user:pw@127.0.0.2"}) {
    s.noProxy.reset();
    EXPECT_TRUE(WSCopyProxiesForURL(url, s).empty()) << url;
    s.noProxy = "<-loopback>";
    EXPECT_EQ(WSCopyProxiesForURL(url, s).size(), 1u) << url;
  }
}

// The list: https_proxy for TLS probes, http_proxy otherwise, all_proxy as fallback.
TEST(WSProxySettingsTest, ListFollowsTheProbeScheme) {
  WSProxySettings s;
  s.httpProxy = "h:1";
  s.httpsProxy = "socks5://s:2";
  s.allProxy = "a:3";
  EXPECT_EQ(WSCopyProxiesForURL("http://x.example", s), std::vector{Entry(WSProxyType::HTTP, "h", 1)});
  auto secure = WSCopyProxiesForURL("https://x.example", s);
  ASSERT_EQ(secure.size(), 1u);
  EXPECT_EQ(secure[0].type, WSProxyType::SOCKS);
  s.httpsProxy.reset();
  EXPECT_EQ(WSCopyProxiesForURL("https://x.example", s), std::vector{Entry(WSProxyType::HTTP, "a", 3)});
  EXPECT_TRUE(WSCopyProxiesForURL("https://x.example", WSProxySettings{}).empty());
}

// auto_proxy gives a PAC URL entry ahead of the manual settings.
TEST(WSProxySettingsTest, AutoProxyGivesPACEntry) {
  WSProxySettings s;
  s.httpProxy = "h:1";
  s.autoProxy = "http://pac.example/proxy.pac";
  auto list = WSCopyProxiesForURL("http://x.example", s);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].type, WSProxyType::AutoConfigurationURL);
  EXPECT_EQ(list[0].autoConfigurationURL, "http://pac.example/proxy.pac");
}

// no_proxy and loopback hosts go direct; "<-loopback>" removes the implicit loopback bypass.
TEST(WSProxySettingsTest, BypassRules) {
  WSProxySettings s;
  s.httpProxy = "h:1";
  s.autoProxy.reset();
  s.noProxy = "internal.example";
  EXPECT_TRUE(WSCopyProxiesForURL("http://db.internal.example", s).empty());
  EXPECT_TRUE(WSCopyProxiesForURL("http://localhost", s).empty());
  EXPECT_TRUE(WSCopyProxiesForURL("http://127.0.0.1", s).empty());
  EXPECT_TRUE(WSCopyProxiesForURL("http://[::1]", s).empty());
  s.noProxy = "<-loopback>";
  EXPECT_EQ(WSCopyProxiesForURL("http://127.0.0.1", s).size(), 1u);
  EXPECT_EQ(WSCopyProxiesForURL("http://localhost", s).size(), 1u);
  s.autoProxy = "file:///x.pac";
  s.noProxy.reset();
  EXPECT_TRUE(WSCopyProxiesForURL("https://localhost", s).empty());
}

// An unusable proxy setting means direct rather than a more general setting.
TEST(WSProxySettingsTest, UnusableSettingMeansDirect) {
  WSProxySettings s;
  s.httpProxy = "gopher://h:1";
  s.allProxy = "a:3";
  EXPECT_TRUE(WSCopyProxiesForURL("http://x.example", s).empty());
}

} // namespace
