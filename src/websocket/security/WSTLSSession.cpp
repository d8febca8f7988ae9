#include "websocket/security/WSTLSSession.hpp"

#include "websocket/security/detail/WSOpenSSL.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

// The context is the same for every session with the same settings, but building one costs a
// trust-store load; sessions are rare (one per connection), so each owns its own and the
// trust store is read as it is at connection time.
SSL_CTX* MakeContext(const WSStreamSecurityOptions& options) {
  WSOpenSSLInitialize();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, options.minimumVersion == WSTLSMinimumVersion::TLSv1_3 ? TLS1_3_VERSION
                                                                                            : TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (options.validatesCertificateChain) {
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  return ctx;
}

bool IsIPAddress(const std::string& host) {
  ASN1_OCTET_STRING* parsed = a2i_IPADDRESS(host.c_str());
  if (!parsed) return false;
  ASN1_OCTET_STRING_free(parsed);
  return true;
}

std::string OpenSSLErrorText(unsigned long error) {
  char text[256];
  ERR_error_string_n(error, text, sizeof text);
  // "error:0A000086:SSL routines::certificate verify failed" -> keep the reason after the last ':'.
  std::string full(text);
  const auto colon = full.rfind(':');
  return colon == std::string::npos ? full : full.substr(colon + 1);
}

} // namespace

struct WSTLSSession::Impl {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* network = nullptr; // our end of the BIO pair: ciphertext in and out
  State state = State::Handshaking;
  bool peerClosed = false;
  std::vector<std::uint8_t> pendingPlaintextOut;
  std::vector<std::uint8_t> plaintextIn;
  std::vector<std::uint8_t> ciphertextOut;
  int errorCode = 0;
  std::string errorDescription;
  bool validates = true;

  ~Impl() {
    if (ssl) SSL_free(ssl); // frees the internal BIO of the pair
    if (network) BIO_free(network);
    if (ctx) SSL_CTX_free(ctx);
  }

  void fail(int code, std::string description) {
    if (state == State::Failed) return;
    state = State::Failed;
    errorCode = code;
    errorDescription = std::move(description);
    pendingPlaintextOut.clear();
  }

  void collectCiphertext() {
    for (;;) {
      const int pending = BIO_ctrl_pending(network);
      if (pending <= 0) break;
      const std::size_t old = ciphertextOut.size();
      ciphertextOut.resize(old + static_cast<std::size_t>(pending));
      const int read = BIO_read(network, ciphertextOut.data() + old, pending);
      ciphertextOut.resize(old + static_cast<std::size_t>(std::max(read, 0)));
      if (read <= 0) break;
    }
  }

  std::string handshakeFailureText(unsigned long error) {
    const long verify = SSL_get_verify_result(ssl);
    if (validates && verify != X509_V_OK)
      return "TLS handshake failed: certificate verify failed (" +
             std::string(X509_verify_cert_error_string(verify)) + ")";
    if (error) return "TLS handshake failed: " + OpenSSLErrorText(error);
    return "TLS handshake failed";
  }

  void flushPendingPlaintext() {
    while (!pendingPlaintextOut.empty() && state == State::Open) {
      const int size = static_cast<int>(std::min<std::size_t>(pendingPlaintextOut.size(), 1 << 30));
      const int written = SSL_write(ssl, pendingPlaintextOut.data(), size);
      if (written <= 0) {
        const int code = SSL_get_error(ssl, written);
        collectCiphertext();
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return;
        fail(EPROTO, "TLS write failed: " + OpenSSLErrorText(ERR_get_error()));
        return;
      }
      pendingPlaintextOut.erase(pendingPlaintextOut.begin(), pendingPlaintextOut.begin() + written);
      collectCiphertext();
    }
  }

  // Runs the handshake, then reads every record that has arrived.
  void advance() {
    if (state == State::Failed) return;
    if (state == State::Handshaking) {
      ERR_clear_error();
      const int result = SSL_do_handshake(ssl);
      collectCiphertext();
      if (result == 1) {
        state = State::Open;
      } else {
        const int code = SSL_get_error(ssl, result);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return;
        if (code == SSL_ERROR_ZERO_RETURN) {
          fail(ECONNRESET, "TLS handshake failed: the server closed the connection");
          return;
        }
        fail(EPROTO, handshakeFailureText(ERR_get_error()));
        return;
      }
    }
    if (state == State::Open || state == State::Closed) {
      std::uint8_t buffer[16384];
      for (;;) {
        ERR_clear_error();
        const int read = SSL_read(ssl, buffer, sizeof buffer);
        if (read > 0) {
          plaintextIn.insert(plaintextIn.end(), buffer, buffer + read);
          continue;
        }
        const int code = SSL_get_error(ssl, read);
        collectCiphertext();
        if (code == SSL_ERROR_ZERO_RETURN) {
          peerClosed = true;
          state = State::Closed;
        } else if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) {
          fail(EPROTO, "TLS read failed: " + OpenSSLErrorText(ERR_get_error()));
        }
        break;
      }
      flushPendingPlaintext();
    }
  }
};

WSTLSSession::WSTLSSession(const WSStreamSecurityOptions& options) : _impl(std::make_unique<Impl>()) {
  Impl& s = *_impl;
  s.validates = options.validatesCertificateChain;
  s.ctx = MakeContext(options);
  if (s.ctx) s.ssl = SSL_new(s.ctx);
  BIO* internal = nullptr;
  if (!s.ssl || BIO_new_bio_pair(&internal, 0, &s.network, 0) != 1) {
    s.fail(ENOMEM, "TLS setup failed: " + OpenSSLErrorText(ERR_get_error()));
    return;
  }
  SSL_set_bio(s.ssl, internal, internal);
  SSL_set_connect_state(s.ssl);
  const std::string& host = options.peerName;
  if (!host.empty()) {
    // RFC 6066 section 3: SNI carries host names only, never literal addresses.
    if (!IsIPAddress(host)) SSL_set_tlsext_host_name(s.ssl, host.c_str());
    if (options.validatesCertificateChain) {
      if (IsIPAddress(host))
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl), host.c_str());
      else
        SSL_set1_host(s.ssl, host.c_str());
    }
  }
  s.advance();
}

WSTLSSession::~WSTLSSession() = default;

WSTLSSession::State WSTLSSession::state() const { return _impl->state; }

void WSTLSSession::feedCiphertext(const std::uint8_t* data, std::size_t size) {
  Impl& s = *_impl;
  if (s.state == State::Failed) return;
  while (size > 0) {
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
    const int written = BIO_write(s.network, data, chunk);
    if (written <= 0) {
      // The pair's buffer is full: let OpenSSL consume what it holds, then go on.
      s.advance();
      if (s.state == State::Failed) return;
      if (BIO_ctrl_get_write_guarantee(s.network) == 0) {
        s.fail(EPROTO, "TLS read failed: input not consumed");
        return;
      }
      continue;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    s.advance();
  }
}

std::size_t WSTLSSession::readPlaintext(std::uint8_t* out, std::size_t max) {
  Impl& s = *_impl;
  const std::size_t count = std::min(max, s.plaintextIn.size());
  if (count > 0) std::memcpy(out, s.plaintextIn.data(), count);
  s.plaintextIn.erase(s.plaintextIn.begin(), s.plaintextIn.begin() + static_cast<std::ptrdiff_t>(count));
  return count;
}

std::size_t WSTLSSession::plaintextAvailable() const { return _impl->plaintextIn.size(); }

void WSTLSSession::writePlaintext(const std::uint8_t* data, std::size_t size) {
  Impl& s = *_impl;
  if (s.state == State::Failed || s.state == State::Closed || size == 0) return;
  s.pendingPlaintextOut.insert(s.pendingPlaintextOut.end(), data, data + size);
  s.flushPendingPlaintext();
}

std::vector<std::uint8_t> WSTLSSession::takeCiphertext() {
  _impl->collectCiphertext();
  return std::exchange(_impl->ciphertextOut, {});
}

bool WSTLSSession::hasCiphertext() const {
  return !_impl->ciphertextOut.empty() || BIO_ctrl_pending(_impl->network) > 0;
}

void WSTLSSession::shutdown() {
  Impl& s = *_impl;
  if (s.state != State::Open && s.state != State::Closed) return;
  SSL_shutdown(s.ssl);
  s.collectCiphertext();
}

bool WSTLSSession::peerClosed() const { return _impl->peerClosed; }

WSServerTrust WSTLSSession::peerTrust() const {
  WSServerTrust trust;
  const Impl& s = *_impl;
  if (s.state != State::Open && s.state != State::Closed) return trust;
  // The chain as the server sent it, leaf first (a client's view includes the leaf).
  STACK_OF(X509)* chain = SSL_get_peer_cert_chain(s.ssl);
  if (!chain) return trust;
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* certificate = sk_X509_value(chain, i);
    const int length = i2d_X509(certificate, nullptr);
    if (length <= 0) continue;
    WSCertificateData der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    i2d_X509(certificate, &cursor);
    trust.certificates.push_back(std::move(der));
  }
  return trust;
}

std::string WSTLSSession::protocolVersion() const {
  if (_impl->state != State::Open && _impl->state != State::Closed) return {};
  return SSL_get_version(_impl->ssl);
}

int WSTLSSession::errorCode() const { return _impl->errorCode; }

const std::string& WSTLSSession::errorDescription() const { return _impl->errorDescription; }
