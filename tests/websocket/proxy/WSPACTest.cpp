#include "websocket/proxy/WSPAC.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "websocket/proxy/ProxyTestServers.hpp"
#include "websocket/proxy/detail/WSHTTPDownload.hpp"

namespace {

using namespace wstest;
using namespace std::chrono_literals;

std::string Script(const std::string& body) { return "function FindProxyForURL(url, host) { " + body + " }"; }

std::optional<std::string> Eval(const std::string& body, const std::string& url = "https://www.example.com") {
  return WSRunPACScript(Script(body), url);
}

// ---- The answer parser ----

// Items in order, keywords in any case, blanks and empty items tolerated.
TEST(WSPACAnswerTest, ItemsInOrder) {
  const auto entries =
      WSProxyEntriesFromPACAnswer(" PROXY p1:8080;SOCKS5 s:1080 ; socks4 s4:1081; https h:443;"
                                  " HTTP h2:81; SOCKS s5:1082;;DIRECT");
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(entries[0].type, WSProxyType::HTTP);
  EXPECT_EQ(entries[0].host, "p1");
  EXPECT_EQ(entries[0].port, 8080u);
  EXPECT_EQ(entries[1].type, WSProxyType::SOCKS);
  EXPECT_EQ(entries[1].socksVersion, WSSOCKSVersion::V5);
  EXPECT_EQ(entries[2].socksVersion, WSSOCKSVersion::V4a);
  EXPECT_EQ(entries[3].type, WSProxyType::HTTPS);
  EXPECT_EQ(entries[4].type, WSProxyType::HTTP);
  EXPECT_EQ(entries[5].type, WSProxyType::SOCKS);
  EXPECT_EQ(entries[5].socksVersion, WSSOCKSVersion::V5);
  EXPECT_EQ(entries[6].type, WSProxyType::None);
}

// Malformed and unknown items are skipped; IPv6 hosts keep their address; a missing port is 0.
TEST(WSPACAnswerTest, MalformedItemsAreSkipped) {
  const auto entries =
      WSProxyEntriesFromPACAnswer("PROXY; PROXY h:99999; QUIC q:1; PROXY [fd00::1]:3128; PROXY bare; DIRECT");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].host, "fd00::1");
  EXPECT_EQ(entries[0].port, 3128u);
  EXPECT_EQ(entries[1].host, "bare");
  EXPECT_EQ(entries[1].port, 0u);
  EXPECT_EQ(entries[2].type, WSProxyType::None);
  EXPECT_TRUE(WSProxyEntriesFromPACAnswer("").empty());
}

// ---- Running scripts ----

// FindProxyForURL gets the URL and its host; its answer comes back unchanged.
TEST(WSPACScriptTest, AnswerComesBack) {
  EXPECT_EQ(Eval("return 'DIRECT';"), "DIRECT");
  EXPECT_EQ(Eval("return url + ' ' + host;", "https://www.example.com"),
            "https://www.example.com www.example.com");
  EXPECT_EQ(Eval("return host;", "http://[::1]"), "::1");
}

// The standard helpers behave as PAC files expect.
TEST(WSPACScriptTest, StandardHelpers) {
  EXPECT_EQ(Eval("return [isPlainHostName('www'), isPlainHostName('a.b')].join();"), "true,false");
  EXPECT_EQ(Eval("return [dnsDomainIs('www.example.com', '.example.com'), dnsDomainIs('www', "
                 "'.example.com')].join();"),
            "true,false");
  EXPECT_EQ(Eval("return [localHostOrDomainIs('www.example.com', 'www.example.com'),"
                 " localHostOrDomainIs('www', 'www.example.com'), localHostOrDomainIs('home', "
                 "'www.example.com')].join();"),
            "true,true,false");
  EXPECT_EQ(Eval("return [dnsDomainLevels('www'), dnsDomainLevels('a.b.c')].join();"), "0,2");
  EXPECT_EQ(Eval("return [shExpMatch('http://a.example/x', '*.example/*'), shExpMatch('ab', 'a?'),"
                 " shExpMatch('a.b', 'a?c'), shExpMatch('a+b', 'a+b')].join();"),
            "true,true,false,true");
  EXPECT_EQ(Eval("return [isInNet('10.1.2.3', '10.0.0.0', '255.0.0.0'), isInNet('11.1.2.3', '10.0.0.0', "
                 "'255.0.0.0'),"
                 " isInNet('192.168.1.200', '192.168.1.128', '255.255.255.128')].join();"),
            "true,false,true");
  EXPECT_EQ(
      Eval("return [dnsResolve('localhost'), isResolvable('localhost'), isResolvable('nothing.invalid'),"
           " isInNet('localhost', '127.0.0.0', '255.0.0.0')].join();"),
      "127.0.0.1,true,false,true");
  EXPECT_EQ(Eval("return /^\\d+\\.\\d+\\.\\d+\\.\\d+$/.test(myIpAddress()) ? 'ip' : myIpAddress();"), "ip");
  EXPECT_EQ(
      Eval(
          "return [weekdayRange('SUN', 'SAT'), weekdayRange('MON', 'SUN', 'GMT'), dateRange(1, 31),"
          " dateRange('JAN', 'DEC'), dateRange(1970, 2999), timeRange(0, 24), timeRange(0, 0, 0, 23, 59, 59),"
          " dateRange(1, 'JAN', 31, 'DEC'), weekdayRange('XYZ')].join();"),
      "true,true,true,true,true,true,true,true,false");
}

// The script sees nothing but the language and the helpers.
TEST(WSPACScriptTest, NoAccessBeyondHelpers) {
  EXPECT_EQ(Eval("return [typeof require, typeof process, typeof XMLHttpRequest, typeof print, typeof load,"
                 " typeof readFile].join();"),
            "undefined,undefined,undefined,undefined,undefined,undefined");
}

// A script that does not compile, throws, lacks the function or answers no string gives nothing.
TEST(WSPACScriptTest, FailuresGiveNothing) {
  EXPECT_FALSE(WSRunPACScript("function FindProxyForURL(url, host) { return 'DIRECT'; ", "http://a"));
  EXPECT_FALSE(Eval("throw new Error('no');"));
  EXPECT_FALSE(WSRunPACScript("var x = 1;", "http://a"));
  EXPECT_FALSE(Eval("return 42;"));
  EXPECT_FALSE(WSRunPACScript("", "http://a"));
}

// A script that loops forever is stopped at the time limit.
TEST(WSPACScriptTest, EndlessScriptIsStoppedAtTheLimit) {
  const auto start = Clock::now();
  EXPECT_FALSE(WSRunPACScript(Script("for (;;) {}"), "http://a", 300ms));
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 300ms);
  EXPECT_LT(elapsed, 2s);
}

// The default limit is two seconds.
TEST(WSPACScriptTest, DefaultLimitIsTwoSeconds) {
  const auto start = Clock::now();
  EXPECT_FALSE(WSRunPACScript("while (true) {}", "http://a"));
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 2s);
  EXPECT_LT(elapsed, 4s);
}

// A script that eats memory hits the heap cap and fails at once instead of growing until killed.
TEST(WSPACScriptTest, MemoryHungryScriptFails) {
  const auto start = Clock::now();
  EXPECT_FALSE(WSRunPACScript(Script("var s = 'x'; for (;;) s = s + s;"), "http://a", 10s));
  EXPECT_LT(Clock::now() - start, 5s);
}

// Entries come from the script's answer.
TEST(WSPACScriptTest, EntriesFromScript) {
  const auto entries =
      WSCopyProxiesForAutoConfigurationScript(Script("return 'HTTPS secure:443; DIRECT';"), "http://a");
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].type, WSProxyType::HTTPS);
  EXPECT_FALSE(WSCopyProxiesForAutoConfigurationScript("syntax error (", "http://a"));
}

// ---- Fetching ----

class WSPACFetchTest : public testing::Test {
protected:
  TempDir dir;
};

// file URLs are read directly, in UTF-8 or Latin-1, with percent-escapes in the path.
TEST_F(WSPACFetchTest, FileURLs) {
  dir.write("a b.pac", "\xEF\xBB\xBF// caf\xC3\xA9\nfunction FindProxyForURL(u, h) { return 'DIRECT'; }");
  dir.write("latin.pac", "// caf\xE9");
  const std::string path = dir.file("a%20b.pac");
  EXPECT_EQ(WSFetchPAC("file://" + path),
            "// caf\xC3\xA9\nfunction FindProxyForURL(u, h) { return 'DIRECT'; }");
  EXPECT_EQ(WSFetchPAC("file://localhost" + path).has_value(), true);
  EXPECT_EQ(WSFetchPAC("FILE:" + dir.file("latin.pac")), "// caf\xC3\xA9");
  EXPECT_FALSE(WSFetchPAC("file://" + dir.file("missing.pac")));
  EXPECT_FALSE(WSFetchPAC("file://otherhost" + path));
}

// A file is taken as UTF-8 only when it is strict UTF-8; anything else, a UTF-16 surrogate, a
// lead byte of F5 to F7 or an overlong form among it, is read as Latin-1 instead.
TEST_F(WSPACFetchTest, FileEncodingIsStrictUTF8OrLatin1) {
  struct Row {
    const char* name;
    std::string bytes;
    std::string expected;
  } rows[] = {
      {"ascii", "x", "x"},
      {"utf8", "caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"bom", "\xEF\xBB\xBFx", "x"},
      {"latin1", "caf\xE9", "caf\xC3\xA9"},
      {"surrogate", "\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"},
      {"lead-f5", "\xF5\x80\x80\x80", "\xC3\xB5\xC2\x80\xC2\x80\xC2\x80"},
      {"lead-f7", "\xF7\xBF\xBF\xBF", "\xC3\xB7\xC2\xBF\xC2\xBF\xC2\xBF"},
      {"overlong", "\xE0\x80\xAF", "\xC3\xA0\xC2\x80\xC2\xAF"},
      {"cut-off", "ab\xC3", "ab\xC3\x83"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    dir.write(std::string(row.name) + ".pac", row.bytes);
    EXPECT_EQ(WSFetchPAC("file://" + dir.file(std::string(row.name) + ".pac")), row.expected);
  }
}

// http downloads; errors, other schemes and non-UTF-8 bodies give nothing.
TEST_F(WSPACFetchTest, HTTPDownloads) {
  dir.write("proxy.pac", "function FindProxyForURL(u, h) { return 'PROXY p:1'; }");
  dir.write("binary.pac", "\xFF\xFE\x00");
  dir.write("surrogate.pac", "// \xED\xA0\x80");
  dir.write("lead-f5.pac", "// \xF5\x80\x80\x80");
  ScriptServer server("http_file_server.py", {dir.path().string()});
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  EXPECT_EQ(WSFetchPAC(base + "/proxy.pac"), "function FindProxyForURL(u, h) { return 'PROXY p:1'; }");
  EXPECT_FALSE(WSFetchPAC(base + "/missing.pac"));
  EXPECT_FALSE(WSFetchPAC(base + "/binary.pac"));
  EXPECT_FALSE(WSFetchPAC(base + "/surrogate.pac"));
  EXPECT_FALSE(WSFetchPAC(base + "/lead-f5.pac"));
  EXPECT_FALSE(WSFetchPAC("ftp://127.0.0.1/proxy.pac"));
  EXPECT_FALSE(WSFetchPAC("data:text/plain,x"));
}

// The download ignores the proxy environment: the PAC file is fetched directly.
TEST_F(WSPACFetchTest, DownloadIgnoresProxyEnvironment) {
  dir.write("proxy.pac", "x");
  ScriptServer server("http_file_server.py", {dir.path().string()});
  setenv("http_proxy", "http://127.0.0.1:1", 1);
  const auto body = WSFetchPAC("http://127.0.0.1:" + std::to_string(server.port()) + "/proxy.pac");
  unsetenv("http_proxy");
  EXPECT_EQ(body, "x");
}

// A server that never answers is given up on at the limit.
TEST_F(WSPACFetchTest, SlowServerIsGivenUpAtTheLimit) {
  ScriptServer server("http_file_server.py", {dir.path().string()});
  const auto start = Clock::now();
  EXPECT_FALSE(WSFetchPAC("http://127.0.0.1:" + std::to_string(server.port()) + "/slow", 500ms));
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 500ms);
  EXPECT_LT(elapsed, 3s);
}

// ---- The download client ----

// The PAC test server (tests/support/pac_http_server.py), plain or with TLS; prints its port.
class PACServer {
public:
  PACServer(const TempDir& dir, const TestPKI* pki = nullptr, const std::string& certificate = "server") {
    std::vector<std::string> argv{"/usr/bin/python3", "-u", SupportScript("pac_http_server.py"),
                                  dir.path().string()};
    if (pki)
      argv.insert(argv.end(), {pki->file(certificate + "-chain.pem"), pki->file(certificate + ".key")});
    _child = std::make_unique<ChildProcess>(argv);
    _base = std::string(pki ? "https" : "http") + "://127.0.0.1:" + _child->readLine();
  }
  std::string url(const std::string& path) const { return _base + path; }

private:
  std::unique_ptr<ChildProcess> _child;
  std::string _base;
};

class WSPACDownloadTest : public testing::Test {
protected:
  void SetUp() override { dir.write("proxy.pac", "function FindProxyForURL(u, h) { return 'DIRECT'; }"); }
  static std::string Fetch(const std::string& url, std::string* failure = nullptr) {
    std::string reason;
    auto body = WSHTTPDownload(url, 10s, WSPACMaximumSize, &reason);
    if (failure) *failure = reason;
    return body ? *body : "<none: " + reason + ">";
  }
  TempDir dir;
};

// Redirects are followed, relative or absolute, up to five; a sixth, an error status, a body
// over the cap (announced or streamed) fail with a reason.
TEST_F(WSPACDownloadTest, RedirectsStatusAndCap) {
  PACServer server(dir);
  const std::string pac = "function FindProxyForURL(u, h) { return 'DIRECT'; }";
  const struct {
    std::string path;
    std::string result;
  } cases[] = {
      {"/proxy.pac", pac},
      {"/redirect/4", pac},
      {"/absolute/4", pac},
      {"/redirect/5", "<none: more than 5 redirects>"},
      {"/status/404", "<none: HTTP status 404>"},
      {"/status/500", "<none: HTTP status 500>"},
      {"/status/203", "status body"},
      {"/big/" + std::to_string(WSPACMaximumSize), std::string(WSPACMaximumSize, '/')},
      {"/big/" + std::to_string(WSPACMaximumSize + 1), "<none: larger than 8388608 bytes>"},
      {"/endless", "<none: larger than 8388608 bytes>"},
      {"/auth", "none"},
  };
  for (const auto& c : cases) {
    const std::string body = Fetch(server.url(c.path));
    EXPECT_EQ(body.size(), c.result.size()) << c.path;
    if (body.size() < 1000) {
      EXPECT_EQ(body, c.result) << c.path;
    }
  }
}

// User information in the URL is sent as Basic authorization (percent-decoded).
TEST_F(WSPACDownloadTest, URLCredentialsAreSent) {
  PACServer server(dir);
  const std::string url = server.url("/auth");
  EXPECT_EQ(Fetch("http://alice:s%33cret@" + url.substr(7)), "Basic YWxpY2U6czNjcmV0");
}

// https: a server the trust store knows, for the right name, is read; others are refused.
TEST_F(WSPACDownloadTest, HTTPSVerifiesTheServer) {
  static const TestPKI pki;
  setenv("SSL_CERT_FILE", pki.file("ca.pem").c_str(), 1);
  PACServer trusted(dir, &pki), wrongName(dir, &pki, "wronghost"), untrusted(dir, &pki, "untrusted");
  EXPECT_EQ(Fetch(trusted.url("/redirect/2")), "function FindProxyForURL(u, h) { return 'DIRECT'; }");
  std::string failure;
  EXPECT_EQ(Fetch(wrongName.url("/proxy.pac"), &failure).rfind("<none", 0), 0u);
  EXPECT_NE(failure, "");
  EXPECT_EQ(Fetch(untrusted.url("/proxy.pac"), &failure).rfind("<none", 0), 0u);
  EXPECT_NE(failure.find("certificate verify failed"), std::string::npos) << failure;
  unsetenv("SSL_CERT_FILE");
}

// Nothing listening, or a URL that is not http(s): nothing, with a reason.
TEST_F(WSPACDownloadTest, UnreachableOrUnusableURLs) {
  std::string failure;
  EXPECT_EQ(Fetch("http://127.0.0.1:1/proxy.pac", &failure).rfind("<none", 0), 0u);
  EXPECT_NE(failure, "");
  EXPECT_EQ(Fetch("ftp://127.0.0.1/proxy.pac"), "<none: not an http or https URL>");
}

// No HTTP library is loaded at start or later: the program links only what it already uses.
TEST(WSPACLinkTest, NoHTTPLibraryIsLinked) {
  // The path is read here: in the command's own process /proc/self would be readelf.
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  ASSERT_EQ(self.find('\''), std::string::npos);
  std::unique_ptr<FILE, int (*)(FILE*)> out(popen(("readelf -d '" + self + "'").c_str(), "r"), pclose);
  ASSERT_TRUE(out);
  std::string dynamic;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, out.get())) dynamic += buffer;
  ASSERT_NE(dynamic.find("(NEEDED)"), std::string::npos) << dynamic;
  EXPECT_EQ(dynamic.find("libcurl"), std::string::npos) << dynamic;
}

} // namespace
