#pragma once
// The HTTP CONNECT exchange that opens a tunnel through an HTTP proxy (RFC 9110 section 9.3.6).
//
// WSHTTPConnectRequest gives the request text; WSHTTPConnectResponseReader takes the proxy's
// answer in whatever pieces the socket delivers and decides once the header is complete. A
// status below 299 opens the tunnel; 299 and above refuse it. No socket inside.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

/// Credentials for the proxy, as the proxy URL carried them (percent-decoded).
struct WSProxyCredentials {
  std::string username;
  std::string password;
};

/// "CONNECT host:port HTTP/1.1\r\nHost: host\r\nConnection: keep-alive\r\nProxy-Connection:
/// keep-alive\r\n\r\n" (an IPv6 host in brackets). With credentials a "Proxy-Authorization:
/// Basic <base64(user:password)>" field follows the others (RFC 9110 section 11.7.2, RFC 7617),
/// as curl sends it; with `forLog` its value reads "Basic ********", for the log line.
std::string WSHTTPConnectRequest(const std::string& host, std::uint32_t port,
                                 const std::optional<WSProxyCredentials>& credentials = std::nullopt,
                                 bool forLog = false);

/// The description of a refused tunnel (WSErrorCode::BadResponseCode), as the connection reports
/// it: "Received bad response code from proxy server: %d."
std::string WSProxyBadResponseDescription(int status);

class WSHTTPConnectResponseReader {
public:
  enum class Result {
    NeedMore, // header not complete yet
    Accepted, // status below 299: the tunnel is open
    Refused,  // status 299 or higher, or an answer that is not HTTP: see statusCode()
  };

  /// Appends received bytes. After Accepted or Refused, further bytes are kept as leftover.
  Result feed(const std::uint8_t* data, std::size_t size);
  Result result() const { return _result; }

  /// The answer's status; 500 for an answer that is not an HTTP response.
  int statusCode() const { return _status; }
  /// Header fields in order, for "Finished reading headers %@".
  const std::vector<std::pair<std::string, std::string>>& headerFields() const { return _fields; }
  std::string headerFieldsDescription() const;
  /// For Refused: "Received bad response code from proxy server: %d."
  std::string failureDescription() const { return WSProxyBadResponseDescription(_status); }
  /// Bytes that followed the header (they belong to the tunnel).
  std::vector<std::uint8_t> takeLeftover() { return std::exchange(_leftover, {}); }

private:
  Result finish();
  Result _result = Result::NeedMore;
  std::string _head;
  int _status = 0;
  std::vector<std::pair<std::string, std::string>> _fields;
  std::vector<std::uint8_t> _leftover;
};
