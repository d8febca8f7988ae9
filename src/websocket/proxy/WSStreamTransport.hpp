#pragma once
// What runs between a stream pair's TCP socket and the stream's readers and writers: first an
// optional SOCKS handshake (the proxy is what the socket connects to; the handshake asks it for
// the target), then, once TLS is started on the open stream, a TLS session.
//
// The socket stream owns the socket and calls this object under its own lock: socket bytes go
// to socketReceived(), takeSocketOutput() gives what must be written to the socket (handshake
// bytes, TLS records), and the stream's read() and write() go through read() and write(). The
// stream reports its open-completed event once isOpen(), and readable and writable events only
// once isReady(), so that a TLS stream's first such event already has the peer trust.
//
// Not thread-safe; no I/O of its own.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "websocket/proxy/WSSOCKSHandshake.hpp"
#include "websocket/security/WSSecurityPolicy.hpp"

class WSTLSSession;

class WSStreamTransport {
public:
  enum class Phase {
    Connecting,   // the TCP connect has not finished
    SOCKS,        // SOCKS handshake with the proxy in progress
    Plain,        // open, no TLS (yet)
    TLSHandshake, // TLS started, handshake in progress
    TLSOpen,      // TLS session established
    Failed,       // see errorCode() and errorDescription(); sticky
  };

  /// `targetHost` and `targetPort` are what the SOCKS proxy is asked to reach and the default
  /// TLS peer name; without `socks` the socket is connected to them directly.
  WSStreamTransport(std::optional<WSSOCKSProxyConfiguration> socks, std::string targetHost,
                    std::uint16_t targetPort);
  ~WSStreamTransport();
  WSStreamTransport(const WSStreamTransport&) = delete;
  WSStreamTransport& operator=(const WSStreamTransport&) = delete;

  Phase phase() const { return _phase; }
  /// The TCP connection is up: starts the SOCKS handshake, if any.
  void connected();
  /// SOCKS (if any) is done: the stream may report open-completed.
  bool isOpen() const;
  /// Open and, if TLS was started, the TLS handshake is done: readable and writable events may be reported.
  bool isReady() const;
  bool failed() const { return _phase == Phase::Failed; }

  /// Starts TLS (a second call is ignored); before the stream is open it starts once it is. An
  /// empty peer name means the target host. Plaintext already sent stays in the clear; plaintext
  /// still held (written before the stream opened) goes through TLS.
  void startTLS(WSStreamSecurityOptions options);
  bool tlsStarted() const { return _tls != nullptr; }

  /// Bytes read from the socket.
  void socketReceived(const std::uint8_t* data, std::size_t size);
  /// The socket reached its end (the peer closed).
  void socketEnded();
  /// Bytes to write to the socket now, in order; empties the buffer.
  std::vector<std::uint8_t> takeSocketOutput();
  bool hasSocketOutput() const;

  /// Application bytes ready to be read.
  std::size_t read(std::uint8_t* out, std::size_t max);
  std::size_t available() const { return _plaintextIn.size(); }
  /// Application bytes to send; all are taken (held until the SOCKS or TLS handshake is done).
  void write(const std::uint8_t* data, std::size_t size);

  /// The server's chain once TLS is open; nothing before.
  std::optional<WSServerTrust> peerTrust() const;

  int errorCode() const { return _errorCode; }
  const std::string& errorDescription() const { return _errorDescription; }

private:
  void fail(int code, std::string description);
  void afterSOCKS();
  void pumpTLS();
  bool tlsRunning() const;

  Phase _phase = Phase::Connecting;
  std::optional<WSSOCKSProxyConfiguration> _socksConfiguration;
  std::string _targetHost;
  std::uint16_t _targetPort;
  std::unique_ptr<WSSOCKSHandshake> _socks;
  std::unique_ptr<WSTLSSession> _tls;
  std::vector<std::uint8_t> _socketOut;
  std::vector<std::uint8_t> _plaintextIn;
  std::vector<std::uint8_t> _heldPlaintextOut; // written before the stream is open
  int _errorCode = 0;
  std::string _errorDescription;
};
