#include "websocket/detail/WSHTTPConnectMessage.hpp"

#include "platform/Base64.hpp"
#include "websocket/detail/WSHash.hpp"
#include "websocket/detail/WSURLUtilities.hpp"

// GCC 12 with the sanitizers reports a boost::optional inside Beast's parser as "may be used
// uninitialized" once it is inlined here (a known false positive); the state is per location,
// so silencing it around the includes covers exactly Beast's code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <algorithm>
#include <cctype>

namespace http = boost::beast::http;

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// A name or value with CR, LF or NUL would end the header line early and let the rest be read
// as further header lines (or as the end of the head).
bool IsSafeHeaderText(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == text.npos;
}

} // namespace

// ---- Request ----

WSHTTPRequestMessage::WSHTTPRequestMessage(std::string method, std::string target)
    : _method(std::move(method)), _target(std::move(target)) {}

void WSHTTPRequestMessage::setHeaderField(std::string_view name, std::string_view value) {
  for (auto& field : _fields) {
    if (EqualsIgnoringCase(field.first, name)) {
      field.second = std::string(value);
      return;
    }
  }
  _fields.emplace_back(std::string(name), std::string(value));
}

std::optional<std::string> WSHTTPRequestMessage::headerField(std::string_view name) const {
  for (const auto& field : _fields) {
    if (EqualsIgnoringCase(field.first, name)) return field.second;
  }
  return std::nullopt;
}

std::vector<std::uint8_t> WSHTTPRequestMessage::serialize() const {
  std::string text = _method + " " + _target + " HTTP/1.1\r\n";
  for (const auto& [name, value] : _fields) {
    text += name;
    text += ": ";
    text += value;
    text += "\r\n";
  }
  text += "\r\n";
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::optional<WSHTTPRequestMessage>
WSHTTPConnectMessageCreate(const WSURLRequest& request, std::string_view secKey, std::uint8_t version,
                           const std::optional<std::vector<WSHTTPCookie>>& cookies,
                           const std::optional<std::vector<std::string>>& protocols) {
  const auto url = WSURLGetComponents(request.url);
  if (!url) return std::nullopt;

  WSHTTPRequestMessage message("GET", url->resourceName);
  // The port is named exactly when the URL names it, default or not.
  std::string host = url->hostForHeader;
  if (url->explicitPort) {
    host += ':';
    host += std::to_string(*url->explicitPort);
  }
  message.setHeaderField("Host", host);

  if (cookies) {
    std::string cookieValue;
    for (const auto& cookie : *cookies) {
      if (cookie.name.empty() || !IsSafeHeaderText(cookie.name) || !IsSafeHeaderText(cookie.value)) continue;
      if (!cookieValue.empty()) cookieValue += "; ";
      cookieValue += cookie.name + "=" + cookie.value;
    }
    if (!cookieValue.empty()) message.setHeaderField("Cookie", cookieValue);
  }

  const std::optional<std::string> authorization = WSBasicAuthorizationHeaderFromURL(request.url);
  if (authorization) message.setHeaderField("Authorization", *authorization);

  message.setHeaderField("Upgrade", "websocket");
  message.setHeaderField("Connection", "Upgrade");
  message.setHeaderField("Sec-WebSocket-Key", secKey);
  message.setHeaderField("Sec-WebSocket-Version", std::to_string(static_cast<unsigned>(version)));
  message.setHeaderField("Origin", WSURLOrigin(request.url));

  if (protocols && !protocols->empty()) {
    std::string joined;
    for (const auto& protocol : *protocols) {
      if (!joined.empty()) joined += ", ";
      joined += protocol;
    }
    if (IsSafeHeaderText(joined)) message.setHeaderField("Sec-WebSocket-Protocol", joined);
  }

  for (const auto& [name, value] : request.headerFields) {
    if (name.empty() || !IsSafeHeaderText(name) || !IsSafeHeaderText(value)) continue;
    message.setHeaderField(name, value);
  }
  return message;
}

// ---- Response ----

struct WSHTTPResponse::Impl {
  http::response_parser<http::empty_body> parser;
  // Head bytes taken but not yet consumed by the parser, which wants the whole head at once.
  std::string pending;
  std::string failureReason;
  // Head bytes the parser has consumed so far, over all calls.
  std::size_t consumedTotal = 0;
  bool failed = false;

  Impl() {
    parser.header_limit(static_cast<std::uint32_t>(WSMaxHTTPHeadSize));
    parser.eager(false);
  }

  void fail(std::string reason) {
    failed = true;
    failureReason = std::move(reason);
    pending.clear();
    pending.shrink_to_fit();
  }
};

WSHTTPResponse::WSHTTPResponse() : _impl(std::make_unique<Impl>()) {}
WSHTTPResponse::~WSHTTPResponse() = default;
WSHTTPResponse::WSHTTPResponse(WSHTTPResponse&&) noexcept = default;
WSHTTPResponse& WSHTTPResponse::operator=(WSHTTPResponse&&) noexcept = default;

std::size_t WSHTTPResponse::appendBytes(std::span<const std::uint8_t> bytes) {
  Impl& impl = *_impl;
  if (impl.failed || impl.parser.is_header_done() || bytes.empty()) return 0;

  // Parse straight from the caller's bytes when nothing is pending, so that a head arriving in
  // one piece together with frames is not copied.
  const std::size_t pendingBefore = impl.pending.size();
  std::string_view input;
  if (pendingBefore == 0) {
    input = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } else {
    impl.pending.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    input = impl.pending;
  }

  std::size_t consumed = 0;
  boost::beast::error_code ec;
  while (!impl.parser.is_header_done()) {
    const std::size_t used =
        impl.parser.put(boost::asio::buffer(input.data() + consumed, input.size() - consumed), ec);
    consumed += used;
    if (ec == http::error::need_more) {
      ec = {};
      break;
    }
    if (ec) {
      impl.fail(ec.message());
      return bytes.size();
    }
    if (used == 0) break;
  }

  if (impl.parser.is_header_done()) {
    // Of this call's bytes, those before the end of the head were taken.
    const std::size_t taken = consumed > pendingBefore ? consumed - pendingBefore : 0;
    impl.pending.clear();
    impl.pending.shrink_to_fit();
    return taken;
  }
  // Not complete: everything is kept for the next call, within the cap.
  impl.consumedTotal += consumed;
  if (pendingBefore == 0) {
    impl.pending.assign(input.data() + consumed, input.size() - consumed);
  } else {
    impl.pending.erase(0, consumed);
  }
  if (impl.consumedTotal + impl.pending.size() > WSMaxHTTPHeadSize) {
    impl.fail("HTTP response head larger than 65536 bytes");
  }
  return bytes.size();
}

bool WSHTTPResponse::isHeaderComplete() const { return !_impl->failed && _impl->parser.is_header_done(); }

bool WSHTTPResponse::failed() const { return _impl->failed; }

std::string WSHTTPResponse::failureReason() const { return _impl->failureReason; }

int WSHTTPResponse::statusCode() const {
  if (!_impl->parser.is_header_done()) return 0;
  return static_cast<int>(_impl->parser.get().result_int());
}

std::optional<std::string> WSHTTPResponse::headerField(std::string_view name) const {
  if (!isHeaderComplete()) return std::nullopt;
  const auto& fields = _impl->parser.get();
  const auto it = fields.find(boost::beast::string_view(name.data(), name.size()));
  if (it == fields.end()) return std::nullopt;
  return std::string(it->value());
}

std::vector<std::pair<std::string, std::string>> WSHTTPResponse::allHeaderFields() const {
  std::vector<std::pair<std::string, std::string>> out;
  if (!isHeaderComplete()) return out;
  for (const auto& field : _impl->parser.get())
    out.emplace_back(std::string(field.name_string()), std::string(field.value()));
  return out;
}

std::string WSHTTPResponse::headerFieldsDescription() const {
  std::string text = "{";
  for (const auto& [name, value] : allHeaderFields()) {
    if (text.size() > 1) text += "; ";
    text += name + " = " + value;
  }
  return text + "}";
}

std::string WSExpectedAcceptForKey(std::string_view secKey) {
  std::string input(secKey);
  input += WSAcceptGUID;
  return platform::Base64EncodedStringFromData(WSSHA1HashFromString(input));
}

bool WSCheckHandshake(const WSHTTPResponse& response, std::string_view secKey) {
  const auto accept = response.headerField("Sec-WebSocket-Accept");
  return accept && *accept == WSExpectedAcceptForKey(secKey);
}

namespace {

// Whether any field named `name` lists `token` among its comma-separated elements.
bool FieldListsToken(const std::vector<std::pair<std::string, std::string>>& fields, std::string_view name,
                     std::string_view token) {
  for (const auto& [fieldName, value] : fields) {
    if (!EqualsIgnoringCase(fieldName, name)) continue;
    std::string_view rest = value;
    while (!rest.empty()) {
      const auto comma = rest.find(',');
      std::string_view element = rest.substr(0, comma);
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      while (!element.empty() && (element.front() == ' ' || element.front() == '\t'))
        element.remove_prefix(1);
      while (!element.empty() && (element.back() == ' ' || element.back() == '\t')) element.remove_suffix(1);
      if (EqualsIgnoringCase(element, token)) return true;
    }
  }
  return false;
}

} // namespace

bool WSResponseHasUpgradeFields(const WSHTTPResponse& response) {
  const auto fields = response.allHeaderFields();
  return FieldListsToken(fields, "Upgrade", "websocket") && FieldListsToken(fields, "Connection", "Upgrade");
}
