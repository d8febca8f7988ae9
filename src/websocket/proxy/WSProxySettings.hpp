#pragma once
// The system's proxy configuration and the ordered proxy list for a URL.
//
// On Linux the configuration is the environment, read as curl and browsers read it:
// http_proxy, https_proxy, all_proxy and no_proxy (each lower case first, then upper case), and
// auto_proxy naming a proxy auto-configuration (PAC) file. The host "localhost" and every
// loopback address always go direct, as in browsers, unless no_proxy holds the browsers' rule
// "<-loopback>", which removes that implicit bypass.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class WSProxyType { None, HTTP, HTTPS, SOCKS, AutoConfigurationURL, AutoConfigurationJavaScript };

/// SOCKS protocol of an entry. Both send the target's host name for the proxy to resolve.
enum class WSSOCKSVersion { V5, V4a };

/// One proxy entry of an ordered list. Which fields matter depends on the type.
struct WSProxyEntry {
  WSProxyType type = WSProxyType::None;
  std::string host;
  /// 0 when the entry names no port.
  std::uint32_t port = 0;
  std::optional<std::string> username;
  std::optional<std::string> password;
  WSSOCKSVersion socksVersion = WSSOCKSVersion::V5;
  std::string autoConfigurationURL;
  std::string autoConfigurationJavaScript;

  bool operator==(const WSProxyEntry&) const = default;
};

/// Text of a type for logs and test output ("HTTP", "SOCKS", ...).
const char* WSProxyTypeName(WSProxyType type);

/// The settings the proxy list is computed from.
struct WSProxySettings {
  std::optional<std::string> httpProxy;
  std::optional<std::string> httpsProxy;
  std::optional<std::string> allProxy;
  std::optional<std::string> noProxy;
  std::optional<std::string> autoProxy;

  /// Reads the process environment (an empty variable counts as unset).
  static WSProxySettings fromEnvironment();
  /// The same with another source of variables (tests).
  static WSProxySettings fromEnvironment(const std::function<const char*(const char*)>& getenv);
};

/// The probe URL asked about for a target: "https://<host>" for TLS targets, else "http://<host>".
std::string WSProxyProbeURL(const std::string& host, bool requiresSSL);

/// A proxy URL ("socks5://user:pw@h:1080", "h:3128", ...) as an entry; nothing when it is not usable.
std::optional<WSProxyEntry> WSProxyEntryFromURL(std::string_view url);

/// `text` with every "%XX" escape replaced by its byte; malformed escapes stay as they are.
std::string WSPercentDecode(std::string_view text);

/// Whether no_proxy sends `host` direct: "*", names (also matching subdomains), ".suffix",
/// IP addresses and CIDR ranges, separated by commas or blanks; ports in entries are ignored.
bool WSNoProxyMatches(std::string_view noProxy, std::string_view host);

/// True for the local host in any spelling: "localhost" and names under ".localhost" (any case,
/// with or without a trailing dot), every address of 127.0.0.0/8 in any form inet_aton accepts
/// ("127.1", "2130706433", "0x7f000001"), 0.0.0.0, ::1, :: and IPv4-mapped forms, bracketed or not.
bool WSIsLoopbackHost(std::string_view host);

/// The ordered proxy list for `url` (scheme and host are used): empty means direct.
std::vector<WSProxyEntry> WSCopyProxiesForURL(const std::string& url, const WSProxySettings& settings);
