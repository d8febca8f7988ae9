#pragma once
// How a TLS connection (wss or https) is secured: the TLS settings its streams get and whether
// the server's certificate chain is accepted.
//
// `WSSecurityPolicy` leaves the chain check to the TLS layer (OpenSSL, against the system's
// trust store) and can switch that check off; `WSPinningSecurityPolicy` (its own header)
// replaces it by a comparison with pinned certificates. A policy is immutable after creation
// and may be shared between connections and threads.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

/// One certificate in its encoded (DER) form.
using WSCertificateData = std::vector<std::uint8_t>;

/// What the TLS layer learned about the server: its certificate chain as sent, leaf first.
struct WSServerTrust {
  std::vector<WSCertificateData> certificates;
};

/// The lowest TLS protocol version a stream may negotiate.
enum class WSTLSMinimumVersion { TLSv1_2, TLSv1_3 };

/// The TLS settings of one socket stream, as the stream layer applies them when it starts TLS.
struct WSStreamSecurityOptions {
  /// TLS is to run on this stream.
  bool secure = false;
  WSTLSMinimumVersion minimumVersion = WSTLSMinimumVersion::TLSv1_2;
  /// The TLS layer checks the chain against the trust store and the peer name.
  bool validatesCertificateChain = true;
  /// The host the TLS session is for: sent as SNI and matched against the certificate. Through
  /// an HTTP proxy tunnel this is the target host, not the proxy.
  std::string peerName;
};

class WSPinningSecurityPolicy;

class WSSecurityPolicy {
public:
  /// A policy with chain validation on.
  static std::shared_ptr<WSSecurityPolicy> defaultPolicy();
  /// A pinning policy for `certificates`; throws std::invalid_argument when there are none.
  static std::shared_ptr<WSPinningSecurityPolicy>
  pinnningPolicyWithCertificates(std::vector<WSCertificateData> certificates);

  /// Chain validation on.
  WSSecurityPolicy();
  explicit WSSecurityPolicy(bool certificateChainValidationEnabled);
  virtual ~WSSecurityPolicy();

  WSSecurityPolicy(const WSSecurityPolicy&) = delete;
  WSSecurityPolicy& operator=(const WSSecurityPolicy&) = delete;

  bool certificateChainValidationEnabled() const { return _certificateChainValidationEnabled; }

  /// Requires TLS 1.2 or newer and sets chain validation to this policy's choice. Leaves the
  /// peer name alone: the connector has set it.
  virtual void updateSecurityOptionsInStream(WSStreamSecurityOptions& stream) const;

  /// Whether the server is accepted once the TLS handshake is done. The plain policy accepts
  /// every server: when validation is on, OpenSSL has already refused a bad chain.
  virtual bool evaluateServerTrust(const WSServerTrust& serverTrust, std::string_view domain) const;

private:
  bool _certificateChainValidationEnabled;
};
