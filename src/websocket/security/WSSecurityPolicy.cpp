#include "websocket/security/WSSecurityPolicy.hpp"

#include "websocket/security/WSPinningSecurityPolicy.hpp"

std::shared_ptr<WSSecurityPolicy> WSSecurityPolicy::defaultPolicy() {
  return std::make_shared<WSSecurityPolicy>();
}

std::shared_ptr<WSPinningSecurityPolicy>
WSSecurityPolicy::pinnningPolicyWithCertificates(std::vector<WSCertificateData> certificates) {
  return std::make_shared<WSPinningSecurityPolicy>(std::move(certificates));
}

WSSecurityPolicy::WSSecurityPolicy() : WSSecurityPolicy(true) {}

WSSecurityPolicy::WSSecurityPolicy(bool certificateChainValidationEnabled)
    : _certificateChainValidationEnabled(certificateChainValidationEnabled) {}

WSSecurityPolicy::~WSSecurityPolicy() = default;

void WSSecurityPolicy::updateSecurityOptionsInStream(WSStreamSecurityOptions& stream) const {
  stream.secure = true;
  stream.minimumVersion = WSTLSMinimumVersion::TLSv1_2;
  stream.validatesCertificateChain = _certificateChainValidationEnabled;
}

bool WSSecurityPolicy::evaluateServerTrust(const WSServerTrust&, std::string_view) const { return true; }
