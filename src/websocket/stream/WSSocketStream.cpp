// The socket stream pair on Linux: one non-blocking TCP socket whose readiness Asio watches on
// the shared network loop.
//
// Reads and writes go straight to the descriptor (recv/send with MSG_DONTWAIT) on the caller's
// thread, under the pair's mutex, so that the work queue never waits for the network thread.
// The network thread only resolves, connects, waits for readiness and delivers events.
//
// A SOCKS proxy (the SOCKS configuration property) and TLS (the SSL settings property) run in a
// WSStreamTransport between the socket and read/write: with SOCKS the socket connects to the
// proxy and the streams report open-completed once the proxy has reached the target; with TLS,
// readable and writable events are reported only after the TLS handshake, so the peer trust is
// there at the first one, and a handshake failure is a stream error.
//
// Events follow the platform's stream contract: "bytes available" is delivered once and armed
// again when the reader reads (or asks and finds nothing), so a reader that drains the socket
// gets one event per burst; "space available" is delivered after the connect and again only
// after a write was refused or short, which is when a writer waits for it.
#include "websocket/stream/WSStream.hpp"

#include "platform/Log.hpp"
#include "platform/detail/RunLoopIo.hpp"
#include "websocket/WSRunLoopThread.hpp"
#include "websocket/proxy/WSStreamTransport.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using boost::asio::ip::tcp;

std::atomic<int> gSendBufferSizeForTesting{0};

std::mutex gUnresolvableMutex;
std::vector<std::string> gUnresolvableForTesting;

bool ResolutionFailsForTesting(const std::string& host) {
  std::lock_guard lock(gUnresolvableMutex);
  return std::find(gUnresolvableForTesting.begin(), gUnresolvableForTesting.end(), host) !=
         gUnresolvableForTesting.end();
}

// "localhost" and names under it, in any case, with or without the final dot.
bool IsLoopbackName(std::string host) {
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
  if (!host.empty() && host.back() == '.') host.pop_back();
  return host == "localhost" || (host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0);
}

WSError PosixError(int code) {
  return WSErrorWithDomainCodeDescription(NSPOSIXErrorDomain, code, std::strerror(code));
}

class SocketCore;

/// One side of the pair: its status, delegate, scheduling and held events.
struct Side {
  WSStreamStatus status = WSStreamStatusNotOpen;
  std::optional<WSError> error;
  std::weak_ptr<WSStreamDelegate> delegate;
  platform::RunLoop* loop = nullptr;
  unsigned held = 0; // events that happened while undeliverable, as a bit set
  std::weak_ptr<WSStream> stream;
  std::unordered_map<std::string, std::any> properties;
};

class SocketCore : public std::enable_shared_from_this<SocketCore> {
public:
  SocketCore(std::string host, std::uint16_t port)
      : _host(std::move(host)), _port(port), _io(platform::detail::IoContext(WS_networkRunLoop())),
        _socket(_io), _resolver(_io) {}

  Side& side(bool input) { return input ? _in : _out; }
  std::mutex& mutex() const { return _mutex; }
  const std::string& host() const { return _host; }
  std::uint16_t port() const { return _port; }

  void open(bool input) {
    std::lock_guard lock(_mutex);
    Side& s = side(input);
    if (s.status != WSStreamStatusNotOpen) return;
    if (_connected) {
      s.status = WSStreamStatusOpen;
      post(input, WSStreamEventOpenCompleted);
      if (!input && _transport->isReady()) post(false, WSStreamEventHasSpaceAvailable);
      return;
    }
    s.status = WSStreamStatusOpening;
    if (_connectStarted) return;
    _connectStarted = true;
    boost::asio::post(_io, [self = shared_from_this()] { self->resolve(); });
  }

  void close(bool input) {
    std::lock_guard lock(_mutex);
    Side& s = side(input);
    s.status = WSStreamStatusClosed;
    s.held = 0;
    Side& other = side(!input);
    if (other.status == WSStreamStatusClosed || other.stream.expired()) closeSocketLocked();
  }

  void setDelegate(bool input, std::weak_ptr<WSStreamDelegate> delegate) {
    std::lock_guard lock(_mutex);
    side(input).delegate = std::move(delegate);
    flushHeldLocked(input);
  }

  void schedule(bool input, platform::RunLoop& loop) {
    std::lock_guard lock(_mutex);
    side(input).loop = &loop;
    flushHeldLocked(input);
  }

  void unschedule(bool input, platform::RunLoop& loop) {
    std::lock_guard lock(_mutex);
    if (side(input).loop == &loop) side(input).loop = nullptr;
  }

  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t length) {
    std::lock_guard lock(_mutex);
    Side& s = _in;
    if (s.status == WSStreamStatusAtEnd) return 0;
    if (s.status != WSStreamStatusOpen || _fd < 0) return -1;
    if (_transport && (_transport->tlsStarted() || _transport->available() > 0))
      return readThroughTransportLocked(buffer, length);
    ssize_t n = ::recv(_fd, buffer, length, MSG_DONTWAIT);
    if (n > 0) {
      armReadLocked();
      return n;
    }
    if (n == 0) {
      s.status = WSStreamStatusAtEnd;
      post(true, WSStreamEventEndEncountered);
      return 0;
    }
    int code = errno;
    if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR) {
      armReadLocked();
      return 0;
    }
    failLocked(true, code);
    return -1;
  }

  bool hasBytesAvailable() {
    std::lock_guard lock(_mutex);
    if (_in.status != WSStreamStatusOpen || _fd < 0) return false;
    if (_transport && _transport->available() > 0) return true;
    pollfd p{_fd, POLLIN, 0};
    bool ready = ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
    if (!ready) armReadLocked();
    return ready;
  }

  std::ptrdiff_t write(const std::uint8_t* buffer, std::size_t length) {
    std::lock_guard lock(_mutex);
    if (_out.status != WSStreamStatusOpen || _fd < 0) return -1;
    if (length == 0) return 0;
    if (_transport && _transport->tlsStarted()) {
      // The records go out as the socket takes them; the writer waits while too many are queued.
      if (!flushSocketOutputLocked()) return -1;
      if (_pendingOut.size() >= kMaxPendingOut) return 0;
      _transport->write(buffer, length);
      if (!flushSocketOutputLocked()) return -1;
      return static_cast<std::ptrdiff_t>(length);
    }
    ssize_t n = ::send(_fd, buffer, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      if (static_cast<std::size_t>(n) < length) armWriteLocked();
      return n;
    }
    int code = errno;
    if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR) {
      armWriteLocked();
      return 0;
    }
    failLocked(false, code);
    return -1;
  }

  bool hasSpaceAvailable() {
    std::lock_guard lock(_mutex);
    if (_out.status != WSStreamStatusOpen || _fd < 0) return false;
    if (_pendingOut.size() >= kMaxPendingOut) {
      armWriteLocked();
      return false;
    }
    pollfd p{_fd, POLLOUT, 0};
    bool ready = ::poll(&p, 1, 0) > 0 && (p.revents & (POLLOUT | POLLERR | POLLHUP));
    if (!ready) armWriteLocked();
    return ready;
  }

  /// A property was set on one side: TLS settings start the TLS session on the open stream.
  void propertyChangedLocked(const std::string& key, const std::any& value) {
    if (key != WSStreamPropertySSLSettings) return;
    const auto* options = std::any_cast<WSStreamSecurityOptions>(&value);
    if (!options || !options->secure || !_transport || _transport->tlsStarted() || _transport->failed())
      return;
    _transport->startTLS(*options);
    // Readable and writable events wait for the handshake: drop any not yet delivered.
    _in.held &= ~static_cast<unsigned>(WSStreamEventHasBytesAvailable);
    _out.held &= ~static_cast<unsigned>(WSStreamEventHasSpaceAvailable);
    if (_connected) {
      flushSocketOutputLocked();
      armReadLocked();
    }
  }

  /// The server's trust once TLS is open (an empty value before).
  std::any peerTrustLocked() const {
    if (!_transport) return {};
    auto trust = _transport->peerTrust();
    return trust ? std::any(*trust) : std::any();
  }

private:
  static constexpr std::size_t kMaxPendingOut = 256 * 1024;

  std::optional<WSSOCKSProxyConfiguration> socksConfigurationLocked() const {
    for (const Side* s : {&_in, &_out}) {
      auto found = s->properties.find(WSStreamPropertySOCKSProxyConfiguration);
      if (found == s->properties.end()) continue;
      if (const auto* c = std::any_cast<WSSOCKSProxyConfiguration>(&found->second)) return *c;
    }
    return std::nullopt;
  }

  void resolve() {
    std::string host = _host;
    std::uint16_t port = _port;
    {
      // Through SOCKS the socket connects to the proxy; the transport asks it for the target.
      std::lock_guard lock(_mutex);
      if (auto socks = socksConfigurationLocked()) {
        host = socks->host;
        port = socks->effectivePort();
      }
    }
    auto done = [self = shared_from_this(), host, port](const boost::system::error_code& error,
                                                        tcp::resolver::results_type results) {
      self->resolved(host, port, error, std::move(results));
    };
    if (ResolutionFailsForTesting(host)) {
      boost::asio::post(_io, [done] { done(boost::asio::error::host_not_found, {}); });
      return;
    }
    _resolver.async_resolve(host, std::to_string(port), std::move(done));
  }

  void resolved(const std::string& host, std::uint16_t port, const boost::system::error_code& error,
                tcp::resolver::results_type results) {
    if (error) {
      if (IsLoopbackName(host)) {
        // RFC 6761 section 6.3: "localhost" is the loopback interface whatever the resolver
        // says; some sandboxes have no hosts file that names it.
        XLOG("WebSocket", "%s did not resolve (%s): connecting to 127.0.0.1, then ::1", host.c_str(),
             error.message().c_str());
        const std::vector<tcp::endpoint> loopback{{boost::asio::ip::address_v4::loopback(), port},
                                                  {boost::asio::ip::address_v6::loopback(), port}};
        {
          std::lock_guard lock(_mutex);
          if (_socketClosed) return;
        }
        connect(loopback);
        return;
      }
      std::lock_guard lock(_mutex);
      if (_socketClosed) return;
      // Name resolution failures keep the resolver's own domain and text.
      WSError failure =
          WSErrorWithDomainCodeDescription("kCFStreamErrorDomainNetDB", error.value(), error.message());
      failBothLocked(failure);
      return;
    }
    // Every address in order: "localhost" may give ::1 first while the server listens on
    // 127.0.0.1 only.
    connect(results);
  }

  template <class Endpoints> void connect(const Endpoints& endpoints) {
    boost::asio::async_connect(_socket, endpoints,
                               [self = shared_from_this()](const boost::system::error_code& e,
                                                           const tcp::endpoint&) { self->connected(e); });
  }

  void connected(const boost::system::error_code& error) {
    std::lock_guard lock(_mutex);
    if (_socketClosed) return;
    if (error) {
      failBothLocked(PosixError(error.value()));
      return;
    }
    boost::system::error_code ignored;
    // Asio opens its sockets without close-on-exec (and reopens one for each address tried); the
    // program starts no process between the open and here.
    ::fcntl(_socket.native_handle(), F_SETFD, FD_CLOEXEC);
    _socket.non_blocking(true, ignored);
    _socket.set_option(tcp::no_delay(true), ignored);
    if (int size = gSendBufferSizeForTesting.load())
      _socket.set_option(boost::asio::socket_base::send_buffer_size(size), ignored);
    for (Side* s : {&_out, &_in}) {
      auto found = s->properties.find(WSStreamPropertySendBufferSize);
      if (found != s->properties.end() && found->second.type() == typeid(int))
        _socket.set_option(boost::asio::socket_base::send_buffer_size(std::any_cast<int>(found->second)),
                           ignored);
    }
    _fd = _socket.native_handle();
    _transport = std::make_unique<WSStreamTransport>(socksConfigurationLocked(), _host, _port);
    _transport->connected();
    // TLS settings given before the connect apply from the start.
    for (Side* s : {&_in, &_out}) {
      auto found = s->properties.find(WSStreamPropertySSLSettings);
      if (found == s->properties.end()) continue;
      const auto* options = std::any_cast<WSStreamSecurityOptions>(&found->second);
      if (options && options->secure) {
        _transport->startTLS(*options);
        break;
      }
    }
    advanceTransportLocked();
  }

  /// Moves the transport on after the TCP connect and after each negotiation step: reports the
  /// open once SOCKS is done, the first readable and writable events once TLS is, and a failure
  /// as an error on both sides.
  void advanceTransportLocked() {
    if (!flushSocketOutputLocked()) return;
    if (_transport->failed()) {
      failBothLocked(WSErrorWithDomainCodeDescription(NSPOSIXErrorDomain, _transport->errorCode(),
                                                      _transport->errorDescription()));
      return;
    }
    if (!_connected && _transport->isOpen()) {
      _connected = true;
      for (bool input : {true, false}) {
        Side& s = side(input);
        if (s.status != WSStreamStatusOpening) continue;
        s.status = WSStreamStatusOpen;
        post(input, WSStreamEventOpenCompleted);
      }
      if (_out.status == WSStreamStatusOpen && _transport->isReady())
        post(false, WSStreamEventHasSpaceAvailable);
      if (_transport->available() > 0 && _in.status == WSStreamStatusOpen)
        post(true, WSStreamEventHasBytesAvailable);
    } else if (_connected && _transport->tlsStarted() && _transport->isReady() && !_tlsReported) {
      _tlsReported = true;
      if (_out.status == WSStreamStatusOpen) post(false, WSStreamEventHasSpaceAvailable);
      if (_transport->available() > 0 && _in.status == WSStreamStatusOpen)
        post(true, WSStreamEventHasBytesAvailable);
    }
    armReadLocked();
  }

  /// While SOCKS or the TLS handshake is in progress nobody reads: take what the socket has.
  void negotiateLocked() {
    std::uint8_t buffer[16384];
    for (;;) {
      const ssize_t n = ::recv(_fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        _transport->socketReceived(buffer, static_cast<std::size_t>(n));
        if (_transport->failed() || _transport->isReady()) break;
        continue;
      }
      if (n == 0) {
        _transport->socketEnded();
        if (!_transport->failed())
          failBothLocked(
              WSErrorWithDomainCodeDescription(NSPOSIXErrorDomain, ECONNRESET, std::strerror(ECONNRESET)));
        break;
      }
      const int code = errno;
      if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR) break;
      failBothLocked(PosixError(code));
      return;
    }
    if (_in.status == WSStreamStatusError) return;
    advanceTransportLocked();
  }

  bool negotiatingLocked() const {
    return _transport && !_transport->failed() && !_transport->isReady() && _fd >= 0;
  }

  /// Sends what the transport has for the socket; keeps the rest for the next writable moment.
  /// False when the socket failed.
  bool flushSocketOutputLocked() {
    if (!_transport || _fd < 0) return true;
    auto bytes = _transport->takeSocketOutput();
    _pendingOut.insert(_pendingOut.end(), bytes.begin(), bytes.end());
    std::size_t sent = 0;
    while (sent < _pendingOut.size()) {
      const ssize_t n =
          ::send(_fd, _pendingOut.data() + sent, _pendingOut.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      const int code = errno;
      if (n < 0 && (code == EAGAIN || code == EWOULDBLOCK || code == EINTR)) break;
      _pendingOut.clear();
      failBothLocked(PosixError(n < 0 ? code : EPIPE));
      return false;
    }
    _pendingOut.erase(_pendingOut.begin(), _pendingOut.begin() + static_cast<std::ptrdiff_t>(sent));
    if (!_pendingOut.empty()) armWriteLocked();
    return true;
  }

  /// read() once TLS runs (or bytes that came with the SOCKS reply wait): plaintext from the transport.
  std::ptrdiff_t readThroughTransportLocked(std::uint8_t* buffer, std::size_t length) {
    if (_transport->tlsStarted() && _transport->available() == 0) {
      std::uint8_t chunk[16384];
      const ssize_t n = ::recv(_fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        _transport->socketReceived(chunk, static_cast<std::size_t>(n));
      } else if (n == 0) {
        _in.status = WSStreamStatusAtEnd;
        post(true, WSStreamEventEndEncountered);
        return 0;
      } else {
        const int code = errno;
        if (code != EAGAIN && code != EWOULDBLOCK && code != EINTR) {
          failLocked(true, code);
          return -1;
        }
      }
      if (!flushSocketOutputLocked()) return -1;
      if (_transport->failed()) {
        failBothLocked(WSErrorWithDomainCodeDescription(NSPOSIXErrorDomain, _transport->errorCode(),
                                                        _transport->errorDescription()));
        return -1;
      }
    }
    const std::size_t count = _transport->read(buffer, length);
    armReadLocked();
    return static_cast<std::ptrdiff_t>(count);
  }

  void failLocked(bool input, int code) {
    Side& s = side(input);
    s.status = WSStreamStatusError;
    s.error = PosixError(code);
    post(input, WSStreamEventErrorOccurred);
  }

  void failBothLocked(const WSError& error) {
    for (bool input : {true, false}) {
      Side& s = side(input);
      if (s.status == WSStreamStatusClosed) continue;
      s.status = WSStreamStatusError;
      s.error = error;
      post(input, WSStreamEventErrorOccurred);
    }
  }

  void armReadLocked() {
    if (_readArmed || _fd < 0) return;
    _readArmed = true;
    boost::asio::post(_io, [self = shared_from_this()] {
      std::lock_guard lock(self->_mutex);
      if (self->_socketClosed) return;
      self->_socket.async_wait(tcp::socket::wait_read, [self](const boost::system::error_code& error) {
        std::lock_guard lock(self->_mutex);
        self->_readArmed = false;
        if (error || self->_socketClosed) return;
        if (self->negotiatingLocked()) {
          self->negotiateLocked();
          return;
        }
        if (self->_in.status == WSStreamStatusOpen) self->post(true, WSStreamEventHasBytesAvailable);
      });
    });
  }

  void armWriteLocked() {
    if (_writeArmed || _fd < 0) return;
    _writeArmed = true;
    boost::asio::post(_io, [self = shared_from_this()] {
      std::lock_guard lock(self->_mutex);
      if (self->_socketClosed) return;
      self->_socket.async_wait(tcp::socket::wait_write, [self](const boost::system::error_code& error) {
        std::lock_guard lock(self->_mutex);
        self->_writeArmed = false;
        if (error || self->_socketClosed) return;
        if (!self->_pendingOut.empty() && !self->flushSocketOutputLocked()) return;
        if (self->negotiatingLocked() || self->_pendingOut.size() >= kMaxPendingOut) return;
        if (self->_out.status == WSStreamStatusOpen) self->post(false, WSStreamEventHasSpaceAvailable);
      });
    });
  }

  void closeSocketLocked() {
    if (_socketClosed) return;
    _socketClosed = true;
    _fd = -1;
    // The Asio objects belong to the network thread.
    boost::asio::post(_io, [self = shared_from_this()] {
      std::lock_guard lock(self->_mutex);
      boost::system::error_code ignored;
      self->_resolver.cancel();
      self->_socket.close(ignored);
    });
  }

  /// Records `event` for a side and hands it out when the side can take it. Events of one side
  /// go out in the order they happen: each is posted to the network loop, which delivers (or
  /// forwards to the side's own loop) in posting order.
  void post(bool input, WSStreamEvent event) {
    side(input).held |= event;
    flushHeldLocked(input);
  }

  void flushHeldLocked(bool input) {
    Side& s = side(input);
    if (!s.held || !s.loop || s.delegate.expired() || s.status == WSStreamStatusClosed) return;
    unsigned events = std::exchange(s.held, 0u);
    auto delegate = s.delegate;
    auto stream = s.stream.lock();
    if (!stream) return;
    platform::RunLoop* loop = s.loop;
    auto deliver = [self = shared_from_this(), input, events, delegate, stream]() {
      for (unsigned bit : {1u, 2u, 4u, 8u, 16u}) {
        if (!(events & bit)) continue;
        {
          // An event held across a close is dropped.
          std::lock_guard lock(self->_mutex);
          if (self->side(input).status == WSStreamStatusClosed) return;
        }
        if (auto d = delegate.lock()) d->streamHandleEvent(*stream, static_cast<WSStreamEvent>(bit));
      }
    };
    loop->queue().async(std::move(deliver));
  }

  mutable std::mutex _mutex;
  const std::string _host;
  const std::uint16_t _port;
  boost::asio::io_context& _io;
  tcp::socket _socket;
  tcp::resolver _resolver;
  int _fd = -1;
  bool _connectStarted = false;
  bool _connected = false;
  bool _socketClosed = false;
  bool _readArmed = false;
  bool _writeArmed = false;
  bool _tlsReported = false; // the first readable/writable events after the TLS handshake were posted
  std::unique_ptr<WSStreamTransport> _transport;
  std::vector<std::uint8_t> _pendingOut; // socket bytes the socket has not taken yet
  Side _in, _out;
};

template <class Base, bool Input> class SocketStream : public Base {
public:
  explicit SocketStream(std::shared_ptr<SocketCore> core) : _core(std::move(core)) {}
  ~SocketStream() override { _core->close(Input); }

  void open() override { _core->open(Input); }
  void close() override { _core->close(Input); }
  WSStreamStatus streamStatus() const override {
    std::lock_guard lock(_core->mutex());
    return _core->side(Input).status;
  }
  std::optional<WSError> streamError() const override {
    std::lock_guard lock(_core->mutex());
    return _core->side(Input).error;
  }
  void setDelegate(std::weak_ptr<WSStreamDelegate> delegate) override {
    _core->setDelegate(Input, std::move(delegate));
  }
  void scheduleInRunLoop(platform::RunLoop& loop) override { _core->schedule(Input, loop); }
  void removeFromRunLoop(platform::RunLoop& loop) override { _core->unschedule(Input, loop); }
  std::any propertyForKey(const std::string& key) const override {
    std::lock_guard lock(_core->mutex());
    if (key == WSStreamPropertySSLPeerTrust) return _core->peerTrustLocked();
    auto& properties = _core->side(Input).properties;
    auto found = properties.find(key);
    return found == properties.end() ? std::any() : found->second;
  }
  bool setProperty(std::any value, const std::string& key) override {
    std::lock_guard lock(_core->mutex());
    _core->side(Input).properties[key] = value;
    _core->propertyChangedLocked(key, value);
    return true;
  }
  std::string description() const override {
    return std::string(Input ? "<WSInputStream " : "<WSOutputStream ") + _core->host() + ":" +
           std::to_string(_core->port()) + ">";
  }

protected:
  std::shared_ptr<SocketCore> _core;
};

class SocketInputStream final : public SocketStream<WSInputStream, true> {
public:
  using SocketStream::SocketStream;
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override {
    return _core->read(buffer, maxLength);
  }
  bool hasBytesAvailable() override { return _core->hasBytesAvailable(); }
};

class SocketOutputStream final : public SocketStream<WSOutputStream, false> {
public:
  using SocketStream::SocketStream;
  std::ptrdiff_t write(const std::uint8_t* buffer, std::size_t maxLength) override {
    return _core->write(buffer, maxLength);
  }
  bool hasSpaceAvailable() override { return _core->hasSpaceAvailable(); }
};

} // namespace

void WSStreamSetSendBufferSizeForTesting(int bytes) { gSendBufferSizeForTesting.store(bytes); }

void WSStreamSetUnresolvableHostsForTesting(std::vector<std::string> hosts) {
  std::lock_guard lock(gUnresolvableMutex);
  gUnresolvableForTesting = std::move(hosts);
}

namespace {
std::mutex gPairFactoryMutex;
WSStreamPairFactory gPairFactory;
} // namespace

void WSStreamSetPairFactoryForTesting(WSStreamPairFactory factory) {
  std::lock_guard lock(gPairFactoryMutex);
  gPairFactory = std::move(factory);
}

WSStreamPair WSStreamCreatePairWithSocketToHost(const std::string& host, std::uint16_t port) {
  {
    std::lock_guard lock(gPairFactoryMutex);
    if (gPairFactory) return gPairFactory(host, port);
  }
  auto core = std::make_shared<SocketCore>(host, port);
  auto input = std::make_shared<SocketInputStream>(core);
  auto output = std::make_shared<SocketOutputStream>(core);
  {
    std::lock_guard lock(core->mutex());
    core->side(true).stream = input;
    core->side(false).stream = output;
  }
  return {input, output};
}
