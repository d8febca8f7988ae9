#pragma once
// HTTP/1.1 messages of the opening handshake (RFC 6455 sections 4.1 and 4.2.2): the upgrade
// request the client sends, the server's response head as it arrives, and the
// Sec-WebSocket-Accept check. The HTTP parser stays inside the implementation (pimpl).
//
// Not thread-safe per object (a connection uses them on its work queue); the free functions
// keep no state.

#include "websocket/WSURLRequest.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// A cookie sent with the upgrade request.
struct WSHTTPCookie {
  std::string name;
  std::string value;
};

/// The RFC 6455 accept GUID.
inline constexpr const char* WSAcceptGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
/// The largest response head accepted, terminator included; a longer head fails the connection.
inline constexpr std::size_t WSMaxHTTPHeadSize = 64 * 1024;

/// An HTTP/1.1 request: request line and header fields in the order first set. Setting a field
/// whose name is already present (compared without regard to case) replaces its value in place.
class WSHTTPRequestMessage {
public:
  WSHTTPRequestMessage(std::string method, std::string target);

  const std::string& method() const { return _method; }
  const std::string& target() const { return _target; }
  void setHeaderField(std::string_view name, std::string_view value);
  /// The field's value, looked up without regard to case.
  std::optional<std::string> headerField(std::string_view name) const;
  const std::vector<std::pair<std::string, std::string>>& allHeaderFields() const { return _fields; }
  /// "GET <target> HTTP/1.1" CR LF, one "Name: value" CR LF per field, CR LF.
  std::vector<std::uint8_t> serialize() const;

private:
  std::string _method;
  std::string _target;
  std::vector<std::pair<std::string, std::string>> _fields;
};

/// The upgrade request for `request`'s URL: GET of the resource name, then Host, Cookie,
/// Authorization, Upgrade, Connection, Sec-WebSocket-Key, Sec-WebSocket-Version, Origin,
/// Sec-WebSocket-Protocol (only with at least one subprotocol, joined by ", "), then every field
/// of the request, replacing a generated one of the same name. Field names or values holding
/// CR, LF or NUL (which would inject header lines) are left out. Nothing when the request's URL
/// has no host.
std::optional<WSHTTPRequestMessage>
WSHTTPConnectMessageCreate(const WSURLRequest& request, std::string_view secKey, std::uint8_t version,
                           const std::optional<std::vector<WSHTTPCookie>>& cookies,
                           const std::optional<std::vector<std::string>>& protocols);

/// A response head, parsed as its bytes arrive. Once it has failed it stays failed and ignores
/// further bytes.
class WSHTTPResponse {
public:
  WSHTTPResponse();
  ~WSHTTPResponse();
  WSHTTPResponse(WSHTTPResponse&&) noexcept;
  WSHTTPResponse& operator=(WSHTTPResponse&&) noexcept;

  /// Feeds bytes of the head. Bytes after the end of the head are not taken: the return value is
  /// the number of bytes consumed. When the head exceeds WSMaxHTTPHeadSize or is malformed, the
  /// response fails (failed() becomes true).
  std::size_t appendBytes(std::span<const std::uint8_t> bytes);
  /// The head up to and including CR LF CR LF has been parsed.
  bool isHeaderComplete() const;
  bool failed() const;
  /// Why it failed ("" when it did not).
  std::string failureReason() const;
  /// The status code; 0 until the status line is parsed.
  int statusCode() const;
  /// The value of the first field of that name, looked up without regard to case.
  std::optional<std::string> headerField(std::string_view name) const;
  /// Every field, in order of arrival.
  std::vector<std::pair<std::string, std::string>> allHeaderFields() const;
  /// "{Name = value; ...}" for the log line "Finished reading headers %@".
  std::string headerFieldsDescription() const;

private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

/// base64(SHA-1(secKey + GUID)): the Sec-WebSocket-Accept a server must answer `secKey` with.
std::string WSExpectedAcceptForKey(std::string_view secKey);
/// True when the response's Sec-WebSocket-Accept is present and equal (case-sensitive) to the
/// expected value for `secKey`.
bool WSCheckHandshake(const WSHTTPResponse& response, std::string_view secKey);

/// RFC 6455 section 4.1, items 2 and 3 of the client's checks: the response has an "Upgrade"
/// field holding the token "websocket" and a "Connection" field holding the token "Upgrade".
/// Field names and tokens compare without regard to case; a field may be a comma-separated
/// list and may be repeated (RFC 9110 section 5.3).
bool WSResponseHasUpgradeFields(const WSHTTPResponse& response);
