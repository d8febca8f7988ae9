#pragma once
// A security policy that accepts a server only when its chain holds the pinned certificates.
//
// The TLS layer's own chain validation is off for this policy: the pin takes its place, and
// the domain is not compared with the certificate. Every pinned certificate must appear in the
// server's chain at least once; a chain that repeats one pinned certificate does not make up
// for another that is missing.

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
