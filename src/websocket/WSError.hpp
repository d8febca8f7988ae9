#pragma once
// Error objects of the WebSocket client: a domain, a signed code and user information.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

inline constexpr const char* WSWebSocketErrorDomain = "WSWebSocketErrorDomain";
inline constexpr const char* WSHTTPResponseErrorKey = "HTTPResponseStatusCode";
/// The URL system's domain, used for the connect time-out.
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
/// Domain of stream (socket and TLS) errors.
inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";

/// The codes the client itself reports. The first four belong to WSWebSocketErrorDomain, the
/// last two to NSURLErrorDomain; stream errors carry the system's errno in NSPOSIXErrorDomain.
enum class WSErrorCode : std::int64_t {
  /// The server or the proxy refused the upgrade or the tunnel with an HTTP error status (which
  /// the error carries), or the proxy did not answer.
  BadResponseCode = 2132,
  /// The upgrade request could not be made, or the response is not a valid upgrade.
  InvalidResponse = 2133,
  /// An operation the connection's state does not allow (a send before it is open).
  InvalidState = 2134,
  /// Writing to the stream failed.
  WriteFailed = 2145,
  /// The connection was not open within the request's time-out.
  TimedOut = -1001,
  /// The server's certificate was not trusted.
  ServerCertificateUntrusted = -1205,
};

struct WSError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  /// User information under "HTTPResponseStatusCode", for an HTTP refusal.
  std::optional<std::int64_t> httpResponseStatusCode;
  /// User information under the underlying-error key.
  std::shared_ptr<const WSError> underlyingError;

  /// The text a log line shows for the error ("%@").
  std::string description() const;
};

WSError WSErrorWithDomainCodeDescription(std::string domain, std::int64_t code, std::string description);
WSError WSErrorWithDomainCodeDescription(std::string domain, WSErrorCode code, std::string description);
/// Errors of WSWebSocketErrorDomain.
WSError WSErrorWithCodeDescription(std::int64_t code, std::string description);
WSError WSErrorWithCodeDescription(WSErrorCode code, std::string description);
WSError WSErrorWithCodeDescriptionUnderlyingError(WSErrorCode code, std::string description,
                                                  const WSError& underlying);
WSError WSHTTPErrorWithCodeDescription(std::int64_t httpStatus, WSErrorCode code, std::string description);
