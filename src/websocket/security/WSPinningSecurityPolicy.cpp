#include "websocket/security/WSPinningSecurityPolicy.hpp"

#include <algorithm>
#include <stdexcept>

#include "websocket/security/WSLogHook.hpp"

WSPinningSecurityPolicy::WSPinningSecurityPolicy(std::vector<WSCertificateData> certificates)
    : WSSecurityPolicy(false), _pinnedCertificates(std::move(certificates)) {
  if (_pinnedCertificates.empty())
    throw std::invalid_argument(
        "Creating security policy failed.: Must specify at least one certificate when "
        "creating a pinning policy.");
}

bool WSPinningSecurityPolicy::evaluateServerTrust(const WSServerTrust& serverTrust, std::string_view) const {
  WS_LOG("Pinned cert count: %lu", static_cast<unsigned long>(_pinnedCertificates.size()));
  // Each pinned certificate has to be present on its own. Counting matching chain entries
  // instead would let a chain that repeats one pinned certificate stand in for another.
  return std::all_of(_pinnedCertificates.begin(), _pinnedCertificates.end(),
                     [&](const WSCertificateData& pinned) {
                       return std::find(serverTrust.certificates.begin(), serverTrust.certificates.end(),
                                        pinned) != serverTrust.certificates.end();
                     });
}
