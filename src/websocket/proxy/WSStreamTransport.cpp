#include "websocket/proxy/WSStreamTransport.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "websocket/security/WSTLSSession.hpp"

WSStreamTransport::WSStreamTransport(std::optional<WSSOCKSProxyConfiguration> socks, std::string targetHost,
                                     std::uint16_t targetPort)
    : _socksConfiguration(std::move(socks)), _targetHost(std::move(targetHost)), _targetPort(targetPort) {}

WSStreamTransport::~WSStreamTransport() = default;

bool WSStreamTransport::isOpen() const {
  return _phase == Phase::Plain || _phase == Phase::TLSHandshake || _phase == Phase::TLSOpen;
}

bool WSStreamTransport::isReady() const { return _phase == Phase::Plain || _phase == Phase::TLSOpen; }

void WSStreamTransport::fail(int code, std::string description) {
  if (_phase == Phase::Failed) return;
  _phase = Phase::Failed;
  _errorCode = code;
  _errorDescription = std::move(description);
  _heldPlaintextOut.clear();
}

void WSStreamTransport::connected() {
  if (_phase != Phase::Connecting) return;
  if (!_socksConfiguration) {
    afterSOCKS();
    return;
  }
  _phase = Phase::SOCKS;
  _socks = std::make_unique<WSSOCKSHandshake>(*_socksConfiguration, _targetHost, _targetPort);
  if (_socks->state() == WSSOCKSHandshake::State::Failed) {
    fail(_socks->errorCode(), _socks->errorDescription());
    return;
  }
  auto out = _socks->takeOutput();
  _socketOut.insert(_socketOut.end(), out.begin(), out.end());
}

void WSStreamTransport::afterSOCKS() {
  _phase = Phase::Plain;
  std::vector<std::uint8_t> leftover;
  if (_socks) leftover = _socks->takeLeftover();
  _socks.reset();
  if (_tls) {
    _phase = Phase::TLSHandshake;
    pumpTLS();
  }
  // Bytes written while the tunnel was being set up go out now, in order (through TLS when
  // it was started meanwhile).
  auto held = std::exchange(_heldPlaintextOut, {});
  if (!held.empty()) write(held.data(), held.size());
  if (!leftover.empty()) socketReceived(leftover.data(), leftover.size());
}

void WSStreamTransport::startTLS(WSStreamSecurityOptions options) {
  if (_tls || _phase == Phase::Failed) return;
  if (options.peerName.empty()) options.peerName = _targetHost;
  _tls = std::make_unique<WSTLSSession>(options);
  if (_phase == Phase::Plain) {
    _phase = Phase::TLSHandshake;
    pumpTLS();
  }
  // Before the stream is open the session waits; afterSOCKS() starts it.
}

void WSStreamTransport::pumpTLS() {
  if (!_tls) return;
  auto out = _tls->takeCiphertext();
  _socketOut.insert(_socketOut.end(), out.begin(), out.end());
  std::uint8_t buffer[16384];
  while (std::size_t n = _tls->readPlaintext(buffer, sizeof buffer))
    _plaintextIn.insert(_plaintextIn.end(), buffer, buffer + n);
  switch (_tls->state()) {
  case WSTLSSession::State::Handshaking:
    break;
  case WSTLSSession::State::Open:
  case WSTLSSession::State::Closed:
    if (_phase == Phase::TLSHandshake) _phase = Phase::TLSOpen;
    break;
  case WSTLSSession::State::Failed:
    fail(_tls->errorCode(), _tls->errorDescription());
    break;
  }
}

void WSStreamTransport::socketReceived(const std::uint8_t* data, std::size_t size) {
  switch (_phase) {
  case Phase::Connecting:
  case Phase::Failed:
    return;
  case Phase::SOCKS: {
    const auto state = _socks->feed(data, size);
    auto out = _socks->takeOutput();
    _socketOut.insert(_socketOut.end(), out.begin(), out.end());
    if (state == WSSOCKSHandshake::State::Failed)
      fail(_socks->errorCode(), _socks->errorDescription());
    else if (state == WSSOCKSHandshake::State::Connected)
      afterSOCKS();
    return;
  }
  case Phase::Plain:
    _plaintextIn.insert(_plaintextIn.end(), data, data + size);
    return;
  case Phase::TLSHandshake:
  case Phase::TLSOpen:
    _tls->feedCiphertext(data, size);
    pumpTLS();
    return;
  }
}

void WSStreamTransport::socketEnded() {
  if (_phase == Phase::SOCKS) {
    _socks->endOfStream();
    fail(_socks->errorCode(), _socks->errorDescription());
  } else if (_phase == Phase::TLSHandshake) {
    fail(ECONNRESET, "TLS handshake failed: the server closed the connection");
  }
}

bool WSStreamTransport::tlsRunning() const {
  return _tls && (_phase == Phase::TLSHandshake || _phase == Phase::TLSOpen);
}

std::vector<std::uint8_t> WSStreamTransport::takeSocketOutput() {
  // A session started early keeps its ClientHello until the tunnel is up.
  if (tlsRunning()) pumpTLS();
  return std::exchange(_socketOut, {});
}

bool WSStreamTransport::hasSocketOutput() const {
  return !_socketOut.empty() || (_tls && _tls->hasCiphertext());
}

std::size_t WSStreamTransport::read(std::uint8_t* out, std::size_t max) {
  const std::size_t count = std::min(max, _plaintextIn.size());
  if (count > 0) std::memcpy(out, _plaintextIn.data(), count);
  _plaintextIn.erase(_plaintextIn.begin(), _plaintextIn.begin() + static_cast<std::ptrdiff_t>(count));
  return count;
}

void WSStreamTransport::write(const std::uint8_t* data, std::size_t size) {
  switch (_phase) {
  case Phase::Connecting:
  case Phase::SOCKS:
    _heldPlaintextOut.insert(_heldPlaintextOut.end(), data, data + size);
    return;
  case Phase::Plain:
    _socketOut.insert(_socketOut.end(), data, data + size);
    return;
  case Phase::TLSHandshake:
  case Phase::TLSOpen:
    _tls->writePlaintext(data, size);
    pumpTLS();
    return;
  case Phase::Failed:
    return;
  }
}

std::optional<WSServerTrust> WSStreamTransport::peerTrust() const {
  if (_phase != Phase::TLSOpen) return std::nullopt;
  return _tls->peerTrust();
}
