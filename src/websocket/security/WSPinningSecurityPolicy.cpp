#include "websocket/security/WSPinningSecurityPolicy.hpp"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/Log.hpp"
#include "websocket/security/detail/WSOpenSSL.hpp"

namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreContextFree {
  void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using X509Pointer = std::unique_ptr<X509, X509Free>;

X509Pointer Parse(const WSCertificateData& der) {
  const unsigned char* cursor = der.data();
  X509Pointer certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  // Trailing bytes mean the encoding is not exactly one certificate.
  if (certificate && cursor != der.data() + der.size()) certificate.reset();
  return certificate;
}

bool IsIPAddress(const std::string& host) {
  ASN1_OCTET_STRING* parsed = a2i_IPADDRESS(host.c_str());
  if (!parsed) return false;
  ASN1_OCTET_STRING_free(parsed);
  return true;
}

// OpenSSL's verifier with the pinned certificates as the only trust anchors. Partial chains are
// allowed, so that a pinned intermediate or a pinned leaf anchors the chain; signatures,
// validity dates, CA constraints and the key usages of a TLS server (X509_PURPOSE_SSL_SERVER)
// are checked on the way, and the leaf must carry `domain`. Returns X509_V_OK or the reason.
int VerifyAgainstPins(const std::vector<WSCertificateData>& pinned, const WSServerTrust& trust,
                      const std::string& domain) {
  if (trust.certificates.empty()) return X509_V_ERR_UNSPECIFIED;
  if (domain.empty()) return X509_V_ERR_HOSTNAME_MISMATCH;
  WSOpenSSLInitialize();
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
  std::unique_ptr<X509_STORE_CTX, StoreContextFree> context(X509_STORE_CTX_new());
  if (!store || !untrusted || !context) return X509_V_ERR_OUT_OF_MEM;
  for (const WSCertificateData& der : pinned) {
    X509Pointer certificate = Parse(der);
    if (!certificate) return X509_V_ERR_UNSPECIFIED;
    X509_STORE_add_cert(store.get(), certificate.get()); // takes its own reference
  }
  X509Pointer leaf = Parse(trust.certificates.front());
  if (!leaf) return X509_V_ERR_UNSPECIFIED;
  for (std::size_t i = 1; i < trust.certificates.size(); ++i) {
    X509Pointer certificate = Parse(trust.certificates[i]);
    if (!certificate) return X509_V_ERR_UNSPECIFIED;
    if (sk_X509_push(untrusted.get(), certificate.get()) <= 0) return X509_V_ERR_OUT_OF_MEM;
    certificate.release(); // owned by the stack now
  }
  if (X509_STORE_CTX_init(context.get(), store.get(), leaf.get(), untrusted.get()) != 1)
    return X509_V_ERR_OUT_OF_MEM;
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
  X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
  X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
  if (IsIPAddress(domain)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, domain.c_str());
  } else {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    X509_VERIFY_PARAM_set1_host(param, domain.c_str(), domain.size());
  }
  if (X509_verify_cert(context.get()) == 1) return X509_V_OK;
  const int error = X509_STORE_CTX_get_error(context.get());
  return error == X509_V_OK ? X509_V_ERR_UNSPECIFIED : error;
}

} // namespace

WSPinningSecurityPolicy::WSPinningSecurityPolicy(std::vector<WSCertificateData> certificates)
    : WSSecurityPolicy(false), _pinnedCertificates(std::move(certificates)) {
  if (_pinnedCertificates.empty())
    throw std::invalid_argument(
        "Creating security policy failed.: Must specify at least one certificate when "
        "creating a pinning policy.");
}

bool WSPinningSecurityPolicy::evaluateServerTrust(const WSServerTrust& serverTrust,
                                                  std::string_view domain) const {
  XLOG("WebSocket", "Pinned cert count: %lu", static_cast<unsigned long>(_pinnedCertificates.size()));
  // Each pinned certificate has to be among those the server sent. Counting matching chain
  // entries instead would let a chain that repeats one pinned certificate stand in for another.
  const bool allSent = std::all_of(
      _pinnedCertificates.begin(), _pinnedCertificates.end(), [&](const WSCertificateData& pinned) {
        return std::find(serverTrust.certificates.begin(), serverTrust.certificates.end(), pinned) !=
               serverTrust.certificates.end();
      });
  if (!allSent) return false;
  // Being present is not enough: anyone can send a public certificate after a leaf of their
  // own. The chain must verify up to a pinned certificate, for this host.
  const int result = VerifyAgainstPins(_pinnedCertificates, serverTrust, std::string(domain));
  if (result == X509_V_OK) return true;
  XLOG("WebSocket", "Pinned chain refused: %s", X509_verify_cert_error_string(result));
  return false;
}
