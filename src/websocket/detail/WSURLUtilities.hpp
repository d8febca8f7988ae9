#pragma once
// URL pieces the handshake and the connector need, parsed per RFC 3986. Strings in, strings out:
// the URL parser stays inside the implementation. Stateless; callable from any thread.
// A string that is not an absolute URL with a host gives: no components, "" for the Origin,
// false for TLS, no authorization value.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct WSURLComponents {
  /// Scheme in lower case ("ws", "wss", "http", ...).
  std::string scheme;
  /// Host for name resolution and TLS server name: percent-decoded, an IPv6 literal without
  /// brackets ("::1").
  std::string host;
  /// Host as written in the "Host" field and the Origin: an IPv6 literal keeps its brackets
  /// ("[::1]"); a name is kept as written.
  std::string hostForHeader;
  /// The port the URL names explicitly, if any (also when it is the scheme's default).
  std::optional<std::uint16_t> explicitPort;
  /// The explicit port, else the scheme's default: 443 for wss and https, 80 otherwise.
  std::uint16_t port = 80;
  /// The resource name of RFC 6455 section 4.1: path and query ("?" included when the URL has
  /// one), "/" when the path is empty; never the fragment.
  std::string resourceName;
  /// User name and password of the user information, percent-decoded, when present.
  std::optional<std::string> user;
  std::optional<std::string> password;
};

/// The components of an absolute URL with a host; nothing for anything else.
std::optional<WSURLComponents> WSURLGetComponents(std::string_view url);

/// True when the scheme, in lower case, is "wss" or "https".
bool WSURLRequiresSSL(std::string_view url);

/// The Origin value: scheme ("ws" as "http", "wss" as "https", others unchanged) "://" host,
/// then ":" port when the URL names a port explicitly, except 80 for http and 443 for https.
std::string WSURLOrigin(std::string_view url);

/// "Basic " + Base64(user ":" password) when the URL carries a user name or a password (a
/// missing one counts as empty); nothing when it carries neither.
std::optional<std::string> WSBasicAuthorizationHeaderFromURL(std::string_view url);

/// `url` as it may appear in a log line: a password in its user information becomes "********"
/// (the user name stays, so the line still says whose credentials were used). Works on any
/// text shaped like a URL, with or without a scheme ("user:pw@proxy:3128"), so every caller that
/// logs a PAC, proxy or connection URL passes it through here.
std::string WSURLForLog(std::string_view url);
