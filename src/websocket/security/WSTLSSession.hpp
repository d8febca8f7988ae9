#pragma once
// The client side of one TLS session, run over memory buffers instead of a socket.
//
// The stream layer owns the socket and moves bytes: what it reads from the socket goes into
// feedCiphertext(), and whatever takeCiphertext() returns after any call is written to the
// socket. Plaintext comes out of readPlaintext() and goes in through writePlaintext(); plaintext
// written before the handshake has finished is held and sent once it has. The session never
// blocks and does no I/O of its own.
//
// Settings come from WSStreamSecurityOptions: TLS 1.2 or newer; the peer name is sent as SNI
// and, with chain validation on, checked against the certificate, whose chain is verified
// against OpenSSL's default trust store (so SSL_CERT_FILE and SSL_CERT_DIR apply). With
// validation off any chain is accepted and the security policy decides (pinning).
//
// Not thread-safe: one session is used from one thread (or one serial queue) at a time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "websocket/security/WSSecurityPolicy.hpp"

class WSTLSSession {
public:
  enum class State {
    Handshaking, // ClientHello sent or to be sent; waiting for the server
    Open,        // handshake finished; peer trust available; application data flows
    Closed,      // the server sent close_notify (or shutdown() was called and answered)
    Failed,      // handshake or record failure; errorDescription() says why; sticky
  };

  /// Creates the session and its ClientHello (available from takeCiphertext() at once).
  explicit WSTLSSession(const WSStreamSecurityOptions& options);
  ~WSTLSSession();
  WSTLSSession(const WSTLSSession&) = delete;
  WSTLSSession& operator=(const WSTLSSession&) = delete;

  State state() const;

  /// Bytes received from the socket. Advances the handshake and decrypts what it can.
  void feedCiphertext(const std::uint8_t* data, std::size_t size);
  /// Decrypted bytes, up to `max`; 0 when none are ready now.
  std::size_t readPlaintext(std::uint8_t* out, std::size_t max);
  /// Decrypted bytes waiting to be read.
  std::size_t plaintextAvailable() const;
  /// Application bytes to send; held until the handshake has finished. Ignored once failed or closed.
  void writePlaintext(const std::uint8_t* data, std::size_t size);
  /// Encrypted bytes to write to the socket, in order; empties the outgoing buffer.
  std::vector<std::uint8_t> takeCiphertext();
  bool hasCiphertext() const;
  /// Sends close_notify (via takeCiphertext()).
  void shutdown();
  /// The server closed the TLS session cleanly.
  bool peerClosed() const;

  /// The server's chain as sent, leaf first, each certificate DER encoded; empty before Open.
  WSServerTrust peerTrust() const;
  /// The negotiated protocol, e.g. "TLSv1.3"; empty before Open.
  std::string protocolVersion() const;

  /// When Failed: an errno-style code (EPROTO, ECONNRESET) and a description naming the cause
  /// (e.g. "TLS handshake failed: certificate verify failed (unable to get local issuer
  /// certificate)").
  int errorCode() const;
  const std::string& errorDescription() const;

private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};
