#include "websocket/WSError.hpp"

#include <utility>

std::string WSError::description() const {
  std::string text =
      "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription + "\"";
  if (httpResponseStatusCode) text += " HTTPResponseStatusCode=" + std::to_string(*httpResponseStatusCode);
  if (underlyingError) text += " UnderlyingError=(" + underlyingError->description() + ")";
  return text;
}

WSError WSErrorWithDomainCodeDescription(std::string domain, std::int64_t code, std::string description) {
  WSError error;
  error.domain = std::move(domain);
  error.code = code;
  error.localizedDescription = std::move(description);
  return error;
}

WSError WSErrorWithDomainCodeDescription(std::string domain, WSErrorCode code, std::string description) {
  return WSErrorWithDomainCodeDescription(std::move(domain), static_cast<std::int64_t>(code),
                                          std::move(description));
}

WSError WSErrorWithCodeDescription(std::int64_t code, std::string description) {
  return WSErrorWithDomainCodeDescription(WSWebSocketErrorDomain, code, std::move(description));
}

WSError WSErrorWithCodeDescription(WSErrorCode code, std::string description) {
  return WSErrorWithDomainCodeDescription(WSWebSocketErrorDomain, code, std::move(description));
}

WSError WSErrorWithCodeDescriptionUnderlyingError(WSErrorCode code, std::string description,
                                                  const WSError& underlying) {
  WSError error = WSErrorWithCodeDescription(code, std::move(description));
  error.underlyingError = std::make_shared<const WSError>(underlying);
  return error;
}

WSError WSHTTPErrorWithCodeDescription(std::int64_t httpStatus, WSErrorCode code, std::string description) {
  WSError error = WSErrorWithCodeDescription(code, std::move(description));
  error.httpResponseStatusCode = httpStatus;
  return error;
}
