#pragma once
// A security policy that narrows trust to pinned certificates.
//
// The TLS layer's own chain validation is off for this policy: the pin takes its place. A
// server is accepted when its chain, as sent, verifies with OpenSSL's verifier (signatures,
// validity dates, CA constraints, TLS server key usage) up to a pinned certificate used as the
// only trust anchor (a pinned intermediate or a pinned leaf anchors it as well as a root), the
// leaf carries the connection's host name, and every pinned certificate appears in the chain
// the server sent at least once. The system's trust store plays no part.

#include "websocket/security/WSSecurityPolicy.hpp"

class WSPinningSecurityPolicy : public WSSecurityPolicy {
public:
  /// Throws std::invalid_argument ("Creating security policy failed.: Must specify at least one
  /// certificate when creating a pinning policy.") when `certificates` is empty.
  explicit WSPinningSecurityPolicy(std::vector<WSCertificateData> certificates);

  const std::vector<WSCertificateData>& pinnedCertificates() const { return _pinnedCertificates; }

  bool evaluateServerTrust(const WSServerTrust& serverTrust, std::string_view domain) const override;

private:
  std::vector<WSCertificateData> _pinnedCertificates;
};
