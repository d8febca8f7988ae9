#include "websocket/proxy/WSProxySettings.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

// <cctype> takes unsigned char values: a negative char is undefined behaviour.
bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// An address in either family, as bytes; nothing when `text` is not a literal address.
struct Address {
  int family = 0;
  unsigned char bytes[16] = {};
};

std::optional<Address> ParseAddress(std::string_view text) {
  std::string s(text);
  if (s.size() > 2 && s.front() == '[' && s.back() == ']') s = s.substr(1, s.size() - 2);
  Address a;
  if (inet_pton(AF_INET, s.c_str(), a.bytes) == 1) {
    a.family = AF_INET;
    return a;
  }
  if (inet_pton(AF_INET6, s.c_str(), a.bytes) == 1) {
    a.family = AF_INET6;
    // An IPv4-mapped IPv6 address is compared as IPv4.
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(a.bytes, mapped, 12) == 0) {
      std::memmove(a.bytes, a.bytes + 12, 4);
      std::memset(a.bytes + 4, 0, 12);
      a.family = AF_INET;
    }
    return a;
  }
  return std::nullopt;
}

bool PrefixMatches(const Address& network, const Address& address, int bits) {
  if (network.family != address.family) return false;
  const int total = network.family == AF_INET ? 32 : 128;
  if (bits < 0 || bits > total) return false;
  for (int i = 0; i < bits / 8; ++i)
    if (network.bytes[i] != address.bytes[i]) return false;
  if (bits % 8) {
    const unsigned char mask = static_cast<unsigned char>(0xff << (8 - bits % 8));
    if ((network.bytes[bits / 8] & mask) != (address.bytes[bits / 8] & mask)) return false;
  }
  return true;
}

std::vector<std::string> SplitList(std::string_view list) {
  std::vector<std::string> items;
  std::string current;
  for (char c : list) {
    if (c == ',' || std::isspace(static_cast<unsigned char>(c))) {
      if (!current.empty()) items.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) items.push_back(std::move(current));
  return items;
}

// Strips a trailing ":port" from a no_proxy entry ("host:8080", "[::1]:80"), but not from a bare IPv6
// address.
std::string StripPort(const std::string& entry) {
  if (!entry.empty() && entry.front() == '[') {
    const auto close = entry.find(']');
    return close == std::string::npos ? entry : entry.substr(1, close - 1);
  }
  const auto colon = entry.find(':');
  if (colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos)
    return entry.substr(0, colon);
  return entry;
}

std::string HostOfURL(std::string_view url, std::string* scheme) {
  auto sep = url.find("://");
  if (scheme) *scheme = sep == std::string_view::npos ? "" : Lower(url.substr(0, sep));
  std::string_view rest = sep == std::string_view::npos ? url : url.substr(sep + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (auto at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    return Lower(rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
  }
  return Lower(rest.substr(0, rest.find(':')));
}

} // namespace

const char* WSProxyTypeName(WSProxyType type) {
  switch (type) {
  case WSProxyType::None:
    return "None";
  case WSProxyType::HTTP:
    return "HTTP";
  case WSProxyType::HTTPS:
    return "HTTPS";
  case WSProxyType::SOCKS:
    return "SOCKS";
  case WSProxyType::AutoConfigurationURL:
    return "AutoConfigurationURL";
  case WSProxyType::AutoConfigurationJavaScript:
    return "AutoConfigurationJavaScript";
  }
  return "?";
}

WSProxySettings WSProxySettings::fromEnvironment() {
  return fromEnvironment([](const char* name) { return std::getenv(name); });
}

WSProxySettings WSProxySettings::fromEnvironment(const std::function<const char*(const char*)>& getenv) {
  // Lower case first, as curl reads them, then upper case.
  auto read = [&](const char* lower, const char* upper) -> std::optional<std::string> {
    for (const char* name : {lower, upper}) {
      const char* value = getenv(name);
      if (value && *value) return std::string(value);
    }
    return std::nullopt;
  };
  WSProxySettings s;
  s.httpProxy = read("http_proxy", "HTTP_PROXY");
  s.httpsProxy = read("https_proxy", "HTTPS_PROXY");
  s.allProxy = read("all_proxy", "ALL_PROXY");
  s.noProxy = read("no_proxy", "NO_PROXY");
  s.autoProxy = read("auto_proxy", "AUTO_PROXY");
  return s;
}

std::string WSProxyProbeURL(const std::string& host, bool requiresSSL) {
  // An IPv6 literal needs its brackets inside a URL.
  const bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
  return std::string(requiresSSL ? "https://" : "http://") + (ipv6 ? "[" + host + "]" : host);
}

std::optional<WSProxyEntry> WSProxyEntryFromURL(std::string_view url) {
  while (!url.empty() && std::isspace(static_cast<unsigned char>(url.front()))) url.remove_prefix(1);
  while (!url.empty() && std::isspace(static_cast<unsigned char>(url.back()))) url.remove_suffix(1);
  if (url.empty()) return std::nullopt;
  WSProxyEntry entry;
  std::string scheme = "http"; // a proxy without a scheme is an HTTP proxy
  if (auto sep = url.find("://"); sep != std::string_view::npos) {
    scheme = Lower(url.substr(0, sep));
    url.remove_prefix(sep + 3);
  }
  if (scheme == "http")
    entry.type = WSProxyType::HTTP;
  else if (scheme == "https")
    entry.type = WSProxyType::HTTPS;
  else if (scheme == "socks" || scheme == "socks5" || scheme == "socks5h") {
    entry.type = WSProxyType::SOCKS;
    entry.socksVersion = WSSOCKSVersion::V5;
  } else if (scheme == "socks4" || scheme == "socks4a") {
    entry.type = WSProxyType::SOCKS;
    entry.socksVersion = WSSOCKSVersion::V4a;
  } else {
    return std::nullopt;
  }
  url = url.substr(0, url.find_first_of("/?#"));
  if (auto at = url.rfind('@'); at != std::string_view::npos) {
    std::string_view userinfo = url.substr(0, at);
    url.remove_prefix(at + 1);
    const auto colon = userinfo.find(':');
    entry.username = WSPercentDecode(userinfo.substr(0, colon));
    if (colon != std::string_view::npos) entry.password = WSPercentDecode(userinfo.substr(colon + 1));
  }
  std::string_view portText;
  if (!url.empty() && url.front() == '[') {
    const auto close = url.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    entry.host = std::string(url.substr(1, close - 1));
    std::string_view after = url.substr(close + 1);
    if (!after.empty() && after.front() == ':') portText = after.substr(1);
  } else {
    const auto colon = url.rfind(':');
    entry.host = std::string(url.substr(0, colon));
    if (colon != std::string_view::npos) portText = url.substr(colon + 1);
  }
  if (entry.host.empty()) return std::nullopt;
  if (!portText.empty()) {
    if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), IsDigit)) return std::nullopt;
    const unsigned long port = std::stoul(std::string(portText));
    if (port > 65535) return std::nullopt;
    entry.port = static_cast<std::uint32_t>(port);
  }
  return entry;
}

bool WSIsLoopbackHost(std::string_view host) {
  std::string name = Lower(host);
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  // RFC 6761 section 6.3: "localhost" and every name below it are the local host; a fully
  // qualified spelling ends with a dot.
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name == "localhost" || (name.size() > 10 && name.compare(name.size() - 10, 10, ".localhost") == 0))
    return true;
  // The socket layer reads IPv4 literals as inet_aton does ("127.1", "2130706433",
  // "0x7f000001", "0177.0.0.1"): every spelling that reaches 127.0.0.0/8 or 0.0.0.0 (which
  // connects to the local host) is local.
  in_addr v4{};
  if (name.find(':') == std::string::npos && inet_aton(name.c_str(), &v4) == 1) {
    const std::uint32_t value = ntohl(v4.s_addr);
    return (value >> 24) == 127 || value == 0;
  }
  auto address = ParseAddress(name);
  if (!address) return false;
  if (address->family == AF_INET)
    return address->bytes[0] == 127 || std::memcmp(address->bytes, "\0\0\0\0", 4) == 0;
  // ::1, and the unspecified address ::, which also connects to the local host.
  static const unsigned char loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static const unsigned char any6[16] = {};
  return std::memcmp(address->bytes, loopback6, 16) == 0 || std::memcmp(address->bytes, any6, 16) == 0;
}

bool WSNoProxyMatches(std::string_view noProxy, std::string_view hostText) {
  std::string host = Lower(hostText);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  while (!host.empty() && host.back() == '.') host.pop_back();
  const auto hostAddress = ParseAddress(host);
  for (const std::string& raw : SplitList(noProxy)) {
    if (raw == "*") return true;
    if (raw == "<-loopback>" || raw == "<local>") continue;
    std::string entry = Lower(raw);
    if (const auto slash = entry.find('/'); slash != std::string::npos) {
      // A CIDR range.
      const auto network = ParseAddress(entry.substr(0, slash));
      const std::string bits = entry.substr(slash + 1);
      if (!network || !hostAddress || bits.empty() || bits.size() > 3 ||
          !std::all_of(bits.begin(), bits.end(), IsDigit))
        continue;
      if (PrefixMatches(*network, *hostAddress, std::stoi(bits))) return true;
      continue;
    }
    // An address, possibly with a port ("10.0.0.1:8080", "[::1]:80"), or a bare IPv6 address.
    if (!ParseAddress(entry)) entry = StripPort(entry);
    if (const auto address = ParseAddress(entry)) {
      if (hostAddress && address->family == hostAddress->family &&
          std::memcmp(address->bytes, hostAddress->bytes, 16) == 0)
        return true;
      continue;
    }
    // Names: ".example.com" and "example.com" both match example.com and its subdomains;
    // "*.example.com" is read the same way.
    if (entry.rfind("*.", 0) == 0) entry.erase(0, 1);
    while (!entry.empty() && entry.back() == '.') entry.pop_back();
    const std::string bare = !entry.empty() && entry.front() == '.' ? entry.substr(1) : entry;
    if (bare.empty()) continue;
    if (host == bare) return true;
    if (host.size() > bare.size() && host.compare(host.size() - bare.size(), bare.size(), bare) == 0 &&
        host[host.size() - bare.size() - 1] == '.')
      return true;
  }
  return false;
}

std::vector<WSProxyEntry> WSCopyProxiesForURL(const std::string& url, const WSProxySettings& settings) {
  std::string scheme;
  const std::string host = HostOfURL(url, &scheme);
  const std::string noProxy = settings.noProxy.value_or("");
  const auto items = SplitList(noProxy);
  const bool loopbackBypass = std::find(items.begin(), items.end(), "<-loopback>") == items.end();
  if (loopbackBypass && WSIsLoopbackHost(host)) return {};
  if (WSNoProxyMatches(noProxy, host)) return {};

  if (settings.autoProxy) {
    WSProxyEntry entry;
    entry.type = WSProxyType::AutoConfigurationURL;
    entry.autoConfigurationURL = *settings.autoProxy;
    return {entry};
  }
  const bool secure = scheme == "https" || scheme == "wss";
  const std::optional<std::string>& specific = secure ? settings.httpsProxy : settings.httpProxy;
  for (const auto* candidate : {&specific, &settings.allProxy}) {
    if (!*candidate) continue;
    if (auto entry = WSProxyEntryFromURL(**candidate)) return {*entry};
    // An unusable setting is skipped, as curl would refuse it, rather than falling through
    // to a more general one: the user meant this one.
    return {};
  }
  return {};
}

std::string WSPercentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}
