#include "websocket/detail/WSURLUtilities.hpp"

#include "platform/Base64.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

std::string Lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

} // namespace

std::optional<WSURLComponents> WSURLGetComponents(std::string_view url) {
  const auto parsed = boost::urls::parse_uri(url);
  if (!parsed) return std::nullopt;
  const boost::urls::url_view& u = *parsed;
  if (!u.has_authority() || u.encoded_host().empty()) return std::nullopt;
  // After an authority the path is empty or starts with "/" (RFC 3986 section 3.3); the parser
  // lets "ws://h:12ab" through as port 12 and path "ab".
  if (!u.encoded_path().empty() && u.encoded_path().front() != '/') return std::nullopt;

  WSURLComponents c;
  c.scheme = Lowercase(u.scheme());
  switch (u.host_type()) {
  case boost::urls::host_type::ipv6:
  case boost::urls::host_type::ipvfuture:
    // The literal without brackets for resolving; the header fields need them back (RFC 7230
    // section 5.4), or the port would read as part of the address.
    c.host = std::string(u.encoded_host_address());
    c.hostForHeader = std::string(u.encoded_host());
    break;
  default:
    c.host = u.host();
    // As written: percent-encoded text cannot carry CR or LF into a header line.
    c.hostForHeader = std::string(u.encoded_host());
    break;
  }

  if (u.has_port() && !u.port().empty()) {
    const std::string_view text = u.port();
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 0xFFFF) return std::nullopt;
    c.explicitPort = static_cast<std::uint16_t>(value);
  }
  const bool secure = c.scheme == "wss" || c.scheme == "https";
  c.port = c.explicitPort.value_or(secure ? 443 : 80);

  // RFC 6455 section 4.1: the resource name is the path ("/" when empty) and the query.
  c.resourceName = u.encoded_path().empty() ? "/" : std::string(u.encoded_path());
  if (u.has_query()) {
    c.resourceName += '?';
    c.resourceName += u.encoded_query();
  }

  if (u.has_userinfo()) {
    c.user = u.user();
    if (u.has_password()) c.password = u.password();
  }
  return c;
}

bool WSURLRequiresSSL(std::string_view url) {
  const auto parsed = boost::urls::parse_uri(url);
  if (!parsed) return false;
  const std::string scheme = Lowercase(parsed->scheme());
  return scheme == "wss" || scheme == "https";
}

std::string WSURLOrigin(std::string_view url) {
  const auto c = WSURLGetComponents(url);
  if (!c) return {};
  std::string scheme = c->scheme;
  if (scheme == "wss")
    scheme = "https";
  else if (scheme == "ws")
    scheme = "http";
  std::string origin = scheme + "://" + c->hostForHeader;
  // RFC 6454 section 6.2: the default port of the origin's scheme is left out.
  if (c->explicitPort && !(scheme == "http" && *c->explicitPort == 80) &&
      !(scheme == "https" && *c->explicitPort == 443)) {
    origin += ':';
    origin += std::to_string(*c->explicitPort);
  }
  return origin;
}

std::optional<std::string> WSBasicAuthorizationHeaderFromURL(std::string_view url) {
  const auto c = WSURLGetComponents(url);
  if (!c) return std::nullopt;
  const bool hasUser = c->user && !c->user->empty();
  if (!hasUser && !c->password) return std::nullopt;
  // RFC 7617: user-id ":" password, a missing part as empty text.
  const std::string credentials = c->user.value_or("") + ":" + c->password.value_or("");
  return "Basic " + platform::Base64EncodedStringFromData(std::span(
                        reinterpret_cast<const std::uint8_t*>(credentials.data()), credentials.size()));
}

std::string WSURLForLog(std::string_view url) {
  const auto scheme = url.find("://");
  const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
  const std::size_t end = std::min(url.find_first_of("/?#", start), url.size());
  const std::string_view authority = url.substr(start, end - start);
  const auto at = authority.rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  const auto colon = authority.substr(0, at).find(':');
  if (colon == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, start + colon + 1)) + "********" + std::string(url.substr(start + at));
}
