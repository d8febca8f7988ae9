#include "websocket/security/WSURLRequestPinning.hpp"

#include "websocket/security/WSPinningSecurityPolicy.hpp"

std::optional<std::vector<WSCertificateData>> WS_SSLPinnedCertificates(const WSURLRequest& request) {
  if (request.pinnedCertificates.empty()) return std::nullopt;
  return request.pinnedCertificates;
}

void setWS_SSLPinnedCertificates(WSURLRequest& request,
                                 const std::optional<std::vector<WSCertificateData>>& certificates) {
  if (certificates)
    request.pinnedCertificates = *certificates;
  else
    request.pinnedCertificates.clear();
}

std::shared_ptr<WSSecurityPolicy> WSSecurityPolicyForRequest(const WSURLRequest& request,
                                                             bool allowsUntrustedSSLCertificates) {
  if (auto pinned = WS_SSLPinnedCertificates(request))
    return WSSecurityPolicy::pinnningPolicyWithCertificates(std::move(*pinned));
  return std::make_shared<WSSecurityPolicy>(!allowsUntrustedSSLCertificates);
}
