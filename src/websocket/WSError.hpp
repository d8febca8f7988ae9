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
WSError WSErrorWithCodeDescription(std::int64_t code, std::string description);
WSError WSErrorWithCodeDescriptionUnderlyingError(std::int64_t code, std::string description,
                                                  const WSError& underlying);
WSError WSHTTPErrorWithCodeDescription(std::int64_t httpStatus, std::int64_t code, std::string description);
