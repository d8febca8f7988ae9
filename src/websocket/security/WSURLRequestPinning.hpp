#pragma once
// The pinned-certificates property of a URL request ("WebSocket_SSLPinnedCertificates").
//
// The request keeps the certificates in `WSURLRequest::pinnedCertificates`; an empty list is
// the absent property. A connection created from a request that carries the property chooses
// the pinning policy on its own.

#include <optional>
#include <vector>

#include "websocket/WSURLRequest.hpp"
#include "websocket/security/WSSecurityPolicy.hpp"

/// The stored certificates, or nothing when the request carries none.
std::optional<std::vector<WSCertificateData>> WS_SSLPinnedCertificates(const WSURLRequest& request);

/// Stores a copy of `certificates`; nothing (or an empty list) removes the property.
void setWS_SSLPinnedCertificates(WSURLRequest& request,
                                 const std::optional<std::vector<WSCertificateData>>& certificates);

/// The policy a connection made from `request` uses: pinning when the request carries
/// certificates, otherwise a plain policy validating unless `allowsUntrustedSSLCertificates`.
std::shared_ptr<WSSecurityPolicy> WSSecurityPolicyForRequest(const WSURLRequest& request,
                                                             bool allowsUntrustedSSLCertificates);
