// The connection's state machine: creation, properties and the ready state, open, close and
// fail, clean-up, and the stream events that drive the handshake, reader and writer
// (WSWebSocketHandshake.cpp, WSWebSocketFrameReader.cpp, WSWebSocketFrameWriter.cpp).
#include "websocket/WSWebSocketConnection.hpp"

#include "platform/Log.hpp"
#include "platform/Queue.hpp"
#include "platform/RunLoop.hpp"
#include "platform/UTF8.hpp"
#include "websocket/WSDelegateController.hpp"
#include "websocket/WSProxyConnect.hpp"
#include "websocket/WSRunLoopThread.hpp"
#include "websocket/detail/WSFrame.hpp"
#include "websocket/detail/WSFrameReader.hpp"
#include "websocket/detail/WSHTTPConnectMessage.hpp"
#include "websocket/detail/WSURLUtilities.hpp"
#include "websocket/security/WSURLRequestPinning.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

std::string ReasonForLog(const std::optional<std::string>& reason) { return reason ? *reason : "(null)"; }

} // namespace

// ---- creation ---------------------------------------------------------------------------

std::shared_ptr<WSWebSocketConnection>
WSWebSocketConnection::create(const WSURLRequest& request, const WSProtocols& protocols,
                              std::shared_ptr<WSSecurityPolicy> securityPolicy) {
  return std::make_shared<WSWebSocketConnection>(Private{}, request, protocols, std::move(securityPolicy));
}

static const WSURLRequest& CheckedRequest(const WSURLRequest& request) {
  if (request.url.empty()) throw std::invalid_argument("WSWebSocket: the request must carry a URL");
  return request;
}

WSWebSocketConnection::WSWebSocketConnection(Private, const WSURLRequest& request,
                                             const WSProtocols& protocols,
                                             std::shared_ptr<WSSecurityPolicy> securityPolicy)
    : _securityPolicy(std::move(securityPolicy)),
      _requestRequiresSSL(WSURLRequiresSSL(CheckedRequest(request).url)), _urlRequest(request),
      _requestedProtocols(protocols), _url(request.url) {
  _workQueue = std::make_shared<platform::SerialQueue>("com.zorbel.streamdeck.websocket.work");
  _delegateController = std::make_shared<WSDelegateController>();
  _frameReader = std::make_unique<WSFrameReader>(WSDefaultMaximumMessageSize);
}

WSWebSocketConnection::~WSWebSocketConnection() {
  {
    std::lock_guard lock(_objectLock);
    for (auto* stream :
         {static_cast<WSStream*>(_inputStream.get()), static_cast<WSStream*>(_outputStream.get())}) {
      if (!stream) continue;
      stream->setDelegate({});
      stream->close();
    }
  }
  // The last reference may go away in a task of the work queue itself: a serial queue
  // destroyed from its own task does not wait for itself, and its remaining tasks (which hold
  // no reference to this connection) still run on the pool.
}

std::shared_ptr<WSWebSocket>
WSWebSocket::initWithURLRequest(const WSURLRequest& request, const WSProtocols& protocols,
                                std::shared_ptr<WSSecurityPolicy> securityPolicy) {
  return WSWebSocketConnection::create(request, protocols, std::move(securityPolicy));
}

std::shared_ptr<WSWebSocket> WSWebSocket::initWithURLRequest(const WSURLRequest& request,
                                                             const WSProtocols& protocols,
                                                             bool allowsUntrustedSSLCertificates) {
  return initWithURLRequest(CheckedRequest(request), protocols,
                            WSSecurityPolicyForRequest(request, allowsUntrustedSSLCertificates));
}

std::shared_ptr<WSWebSocket>
WSWebSocket::initWithURLRequest(const WSURLRequest& request,
                                std::shared_ptr<WSSecurityPolicy> securityPolicy) {
  return initWithURLRequest(request, std::nullopt, std::move(securityPolicy));
}

std::shared_ptr<WSWebSocket> WSWebSocket::initWithURLRequest(const WSURLRequest& request,
                                                             const WSProtocols& protocols) {
  return initWithURLRequest(request, protocols, false);
}

std::shared_ptr<WSWebSocket> WSWebSocket::initWithURLRequest(const WSURLRequest& request) {
  return initWithURLRequest(request, WSProtocols(std::nullopt));
}

std::shared_ptr<WSWebSocket> WSWebSocket::initWithURL(const std::string& url, const WSProtocols& protocols,
                                                      bool allowsUntrustedSSLCertificates) {
  return initWithURLRequest(WSURLRequest(url), protocols, allowsUntrustedSSLCertificates);
}

std::shared_ptr<WSWebSocket> WSWebSocket::initWithURL(const std::string& url, const WSProtocols& protocols) {
  return initWithURL(url, protocols, false);
}

std::shared_ptr<WSWebSocket> WSWebSocket::initWithURL(const std::string& url) {
  return initWithURL(url, WSProtocols(std::nullopt));
}

std::shared_ptr<WSWebSocket> WSWebSocket::initWithURL(const std::string& url,
                                                      std::shared_ptr<WSSecurityPolicy> securityPolicy) {
  return initWithURLRequest(WSURLRequest(url), std::nullopt, std::move(securityPolicy));
}

// ---- properties -------------------------------------------------------------------------

void WSWebSocketConnection::setDelegate(std::weak_ptr<WSWebSocketDelegate> delegate) {
  _delegateController->setDelegate(std::move(delegate));
}
std::shared_ptr<WSWebSocketDelegate> WSWebSocketConnection::delegate() const {
  return _delegateController->delegate();
}
void WSWebSocketConnection::setDelegateDispatchQueue(std::shared_ptr<platform::Queue> queue) {
  _delegateController->setDispatchQueue(std::move(queue));
}
std::shared_ptr<platform::Queue> WSWebSocketConnection::delegateDispatchQueue() const {
  return _delegateController->dispatchQueue();
}
void WSWebSocketConnection::setDelegateOperationQueue(std::shared_ptr<platform::Queue> queue) {
  _delegateController->setOperationQueue(std::move(queue));
}
std::shared_ptr<platform::Queue> WSWebSocketConnection::delegateOperationQueue() const {
  return _delegateController->operationQueue();
}

std::int64_t WSWebSocketConnection::readyState() const {
  // Read on every step of the reader: a load, not a lock.
  return _readyState.load(std::memory_order_acquire);
}

std::string WSWebSocketConnection::protocol() const {
  std::lock_guard lock(_propertyLock);
  return _protocol;
}

std::shared_ptr<const WSHTTPResponse> WSWebSocketConnection::receivedHTTPHeaders() const {
  std::lock_guard lock(_propertyLock);
  return _publishedHTTPHeaders;
}

std::optional<std::vector<WSHTTPCookie>> WSWebSocketConnection::requestCookies() const {
  std::lock_guard lock(_propertyLock);
  return _requestCookies;
}

void WSWebSocketConnection::setRequestCookies(std::optional<std::vector<WSHTTPCookie>> cookies) {
  std::lock_guard lock(_propertyLock);
  _requestCookies = std::move(cookies);
}

int WSWebSocketConnection::addReadyStateObserver(ReadyStateObserver observer) {
  std::lock_guard lock(_observerLock);
  int token = _nextObserverToken++;
  _observers.emplace_back(token, std::move(observer));
  return token;
}

void WSWebSocketConnection::removeReadyStateObserver(int token) {
  std::lock_guard lock(_observerLock);
  std::erase_if(_observers, [token](const auto& entry) { return entry.first == token; });
}

void WSWebSocketConnection::setReadyState(std::int64_t state) {
  // An observer's exception propagates, and the lock is released on the way out.
  std::lock_guard change(_kvoLock);
  std::int64_t old = readyState();
  if (old == state) return;
  std::vector<ReadyStateObserver> observers;
  {
    std::lock_guard lock(_observerLock);
    for (auto& entry : _observers) observers.push_back(entry.second);
  }
  for (auto& observer : observers) observer(true, old, state);
  {
    std::lock_guard lock(_propertyLock);
    _readyState.store(state, std::memory_order_release);
  }
  for (auto& observer : observers) observer(false, old, state);
}

void WSWebSocketConnection::fatalInternalError(const char* what) {
  std::fprintf(stderr, "WSWebSocket: fatal internal error: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

void WSWebSocketConnection::assertOnWorkQueue() const {
  if (!_workQueue->isCurrent()) fatalInternalError("a work-queue operation was called from another queue");
}

// ---- open -------------------------------------------------------------------------------

void WSWebSocketConnection::open() {
  if (_url.empty()) throw std::invalid_argument("WSWebSocket: open without URL");
  // A connection is used once. The flag also catches a second open() while still connecting.
  if (readyState() != WS_CONNECTING || _opened.exchange(true))
    throw std::logic_error("Cannot call -(void)open on WSWebSocket more than once.");

  auto self = shared_from_this();
  {
    std::lock_guard lock(_objectLock);
    _selfRetain = self;
  }

  if (_urlRequest.timeoutInterval > 0) {
    auto delay =
        std::chrono::nanoseconds(static_cast<std::int64_t>(_urlRequest.timeoutInterval * 1000000000.0));
    // Holds the connection until it has run; never cancelled: it checks the state instead.
    platform::RunLoop::main().queue().after(delay, [self] {
      if (self->readyState() == WS_CONNECTING)
        self->_failWithError(WSErrorWithDomainCodeDescription(NSURLErrorDomain, WSErrorCode::TimedOut,
                                                              "Timed out connecting to server."));
    });
  }

  auto connector = std::make_shared<WSProxyConnect>(_url);
  {
    std::lock_guard lock(_objectLock);
    _proxyConnect = connector;
  }
  std::weak_ptr<WSWebSocketConnection> weak = self;
  connector->openNetworkStreamWithCompletion([weak](const std::optional<WSError>& error,
                                                    std::shared_ptr<WSInputStream> readStream,
                                                    std::shared_ptr<WSOutputStream> writeStream) {
    if (auto connection = weak.lock())
      connection->_connectionDone(error, std::move(readStream), std::move(writeStream));
  });
}

void WSWebSocketConnection::_connectionDone(const std::optional<WSError>& error,
                                            std::shared_ptr<WSInputStream> readStream,
                                            std::shared_ptr<WSOutputStream> writeStream) {
  auto self = shared_from_this();
  if (error) {
    _failWithError(*error);
  } else {
    bool scheduleOnNetwork;
    {
      std::lock_guard lock(_objectLock);
      _outputStream = std::move(writeStream);
      _inputStream = std::move(readStream);
      _outputStream->setDelegate(std::weak_ptr<WSStreamDelegate>(self));
      _inputStream->setDelegate(std::weak_ptr<WSStreamDelegate>(self));
      _updateSecureStreamOptions();
      scheduleOnNetwork = _scheduledRunloops.empty();
    }
    if (scheduleOnNetwork) scheduleInRunLoop(WS_networkRunLoop());
    // With TLS the handshake waits until the server's trust is accepted (streamHandleEvent).
    if (!_requestRequiresSSL) _workQueue->async([self] { self->didConnect(); });
  }
  _workQueue->async([self] {
    std::lock_guard lock(self->_objectLock);
    self->_proxyConnect.reset();
  });
}

void WSWebSocketConnection::scheduleInRunLoop(platform::RunLoop& loop) {
  std::lock_guard lock(_objectLock);
  if (_outputStream) _outputStream->scheduleInRunLoop(loop);
  if (_inputStream) _inputStream->scheduleInRunLoop(loop);
  _scheduledRunloops.insert(&loop);
}

void WSWebSocketConnection::unscheduleFromRunLoop(platform::RunLoop& loop) {
  std::lock_guard lock(_objectLock);
  if (_outputStream) _outputStream->removeFromRunLoop(loop);
  if (_inputStream) _inputStream->removeFromRunLoop(loop);
  _scheduledRunloops.erase(&loop);
}

// ---- close and fail ---------------------------------------------------------------------

void WSWebSocketConnection::close() { closeWithCode(1000, std::nullopt); }

void WSWebSocketConnection::closeWithCode(std::int64_t code, const std::optional<std::string>& reason) {
  if (code == 0) throw std::invalid_argument("WSWebSocket: a close code must not be 0");
  if (reason && !platform::IsValidUTF8(
                    std::span(reinterpret_cast<const std::uint8_t*>(reason->data()), reason->size())))
    throw std::invalid_argument("WSWebSocket: a close reason must be UTF-8");
  auto self = shared_from_this();
  _workQueue->async([self, code, reason] {
    std::int64_t state = self->readyState();
    if (state == WS_CLOSING || state == WS_CLOSED) return;
    self->setReadyState(WS_CLOSING);
    XLOG("WebSocket", "Closing with code %ld reason %@", static_cast<long>(code), ReasonForLog(reason));
    if (state == WS_CONNECTING) {
      self->closeConnection();
      return;
    }
    // Section 5.5.1: the code big-endian, then the reason.
    self->_sendFrameWithOpcode(WSOpcodeClose,
                               std::make_shared<const WSData>(WSClosePayloadCreate(code, reason)));
  });
}

void WSWebSocketConnection::_closeWithProtocolError(std::string message) {
  _failConnection(1002, std::move(message));
}

void WSWebSocketConnection::_failConnection(std::int64_t code, std::string reason) {
  assertOnWorkQueue();
  // The first refusal decides; nothing more is read.
  if (_ownCloseReport) return;
  _readerStopped = true;
  // What the close report will say is fixed now, from what was received before the refusal:
  // neither a close frame nor the end of the stream that may still arrive changes it.
  _ownCloseReport = CloseReport{_closeCode, _closeReason, true};
  // The messages complete before the refusal reach the delegate first, while the connection is
  // still open (an answer it sends goes out before the close frame).
  _postBatch();
  auto self = shared_from_this();
  // Behind every report already queued for the delegate.
  _delegateController->performDelegateQueueBlock([self, code, reason = std::move(reason)] {
    self->closeWithCode(code, reason);
    self->_workQueue->async([self] { self->closeConnection(); });
  });
}

void WSWebSocketConnection::_failWithError(const WSError& error) {
  auto self = shared_from_this();
  _workQueue->async([self, error] {
    if (self->readyState() == WS_CLOSED) return;
    self->_failed = true;
    // The state is closed before the report goes out, so that a delegate reading it from the
    // report sees the failure.
    self->setReadyState(WS_CLOSED);
    self->_delegateController->performDelegateBlock(
        [self, error](const auto& delegate, WSDelegateAvailableMethods m) {
          if (delegate && m.didFailWithError) delegate->webSocketDidFail(*self, error);
        });
    XLOG("WebSocket", "Failing with error %@", error.localizedDescription);
    self->closeConnection();
    self->_scheduleCleanup();
  });
}

void WSWebSocketConnection::_reportClose(CloseReport report) {
  auto self = shared_from_this();
  _delegateController->performDelegateBlock(
      [self, report = std::move(report)](const auto& delegate, WSDelegateAvailableMethods m) {
        if (delegate && m.didCloseWithCode)
          delegate->webSocketDidClose(*self, report.code, report.reason, report.wasClean);
      });
}

void WSWebSocketConnection::closeConnection() {
  assertOnWorkQueue();
  XLOG("WebSocket", "Trying to disconnect");
  _closeWhenFinishedWriting = true;
  _pumpWriting();
}

void WSWebSocketConnection::_scheduleCleanup() {
  std::lock_guard lock(_objectLock);
  if (_cleanupScheduled) return;
  _cleanupScheduled = true;
  // After the events already pending on the network thread.
  auto self = shared_from_this();
  WS_networkRunLoop().queue().async([self] { self->_cleanupSelfReference(); });
}

void WSWebSocketConnection::_cleanupSelfReference() {
  {
    std::lock_guard lock(_objectLock);
    if (_inputStream) {
      _inputStream->setDelegate({});
      _inputStream->close();
    }
    if (_outputStream) {
      _outputStream->setDelegate({});
      _outputStream->close();
    }
  }
  auto self = shared_from_this();
  _workQueue->async([self] {
    std::lock_guard lock(self->_objectLock);
    self->_selfRetain.reset();
  });
}

// ---- stream events ----------------------------------------------------------------------

std::shared_ptr<WSStream> WSWebSocketConnection::_retainedStream(const WSStream& stream) {
  std::lock_guard lock(_objectLock);
  if (&stream == _inputStream.get()) return _inputStream;
  if (&stream == _outputStream.get()) return _outputStream;
  return nullptr;
}

void WSWebSocketConnection::streamHandleEvent(WSStream& stream, WSStreamEvent event) {
  auto retained = _retainedStream(stream);
  if (!retained) return;
  auto self = shared_from_this();
  if (_requestRequiresSSL && !_streamSecurityValidated &&
      (event == WSStreamEventHasBytesAvailable || event == WSStreamEventHasSpaceAvailable)) {
    std::any trust = stream.propertyForKey(WSStreamPropertySSLPeerTrust);
    if (auto* serverTrust = std::any_cast<WSServerTrust>(&trust)) {
      auto components = WSURLGetComponents(_url);
      _streamSecurityValidated = _securityPolicy && _securityPolicy->evaluateServerTrust(
                                                        *serverTrust, components ? components->host : "");
    }
    if (!_streamSecurityValidated) {
      std::weak_ptr<WSWebSocketConnection> weak = self;
      _workQueue->async([weak] {
        if (auto connection = weak.lock())
          connection->_failWithError(WSErrorWithDomainCodeDescription(
              NSURLErrorDomain, WSErrorCode::ServerCertificateUntrusted, "Invalid server certificate."));
      });
      return;
    }
    _workQueue->async([self] { self->didConnect(); });
  }
  std::weak_ptr<WSWebSocketConnection> weak = self;
  auto handle = [weak, event, retained] {
    if (auto connection = weak.lock()) connection->safeHandleEvent(event, retained);
  };
  // Bytes on a quiet connection are read here on the network loop, without a worker's wake-up;
  // messages read still reach the delegate through its queue. Room to write comes only after the
  // socket was full, in a burst of sends, whose writing stays on the pool.
  if (event == WSStreamEventHasSpaceAvailable)
    _workQueue->async(std::move(handle));
  else
    _workQueue->runOrAsync(std::move(handle), kInlineAfterQuiet);
}

void WSWebSocketConnection::safeHandleEvent(WSStreamEvent event, const std::shared_ptr<WSStream>& stream) {
  assertOnWorkQueue();
  switch (event) {
  case WSStreamEventOpenCompleted: {
    XLOG("WebSocket", "NSStreamEventOpenCompleted %@", *stream);
    std::int64_t state = readyState();
    if (state == WS_CLOSING || state == WS_CLOSED) return;
    bool isInput;
    {
      std::lock_guard lock(_objectLock);
      isInput = stream == _inputStream;
    }
    if (!_requestRequiresSSL && state == WS_CONNECTING && isInput) didConnect();
    _pumpWriting();
    _pumpScanner();
    break;
  }
  case WSStreamEventHasBytesAvailable:
    XLOG("WebSocket", "NSStreamEventHasBytesAvailable %@", *stream);
    _readAndParse();
    break;
  case WSStreamEventHasSpaceAvailable:
    XLOG("WebSocket", "NSStreamEventHasSpaceAvailable %@", *stream);
    _pumpWriting();
    break;
  case WSStreamEventErrorOccurred: {
    auto error = stream->streamError();
    XLOG("WebSocket", "NSStreamEventErrorOccurred %@ %@", *stream,
         error ? error->description() : std::string("(null)"));
    _failWithError(error ? *error
                         : WSErrorWithDomainCodeDescription(NSPOSIXErrorDomain, 0, "Unknown stream error."));
    _readBufferOffset = 0;
    _readBuffer = WSDispatchData();
    break;
  }
  case WSStreamEventEndEncountered: {
    // Frames already received are delivered before the end is reported.
    _pumpScanner();
    XLOG("WebSocket", "NSStreamEventEndEncountered %@", *stream);
    if (auto error = stream->streamError()) {
      _failWithError(*error);
      break;
    }
    auto self = shared_from_this();
    _workQueue->async([self] {
      if (self->readyState() != WS_CLOSED) {
        self->setReadyState(WS_CLOSED);
        self->_scheduleCleanup();
      }
      if (!self->_sentClose && !self->_failed) {
        self->_sentClose = true;
        // A connection this side had already refused reports that close, not the end.
        self->_reportClose(self->_ownCloseReport
                               ? *self->_ownCloseReport
                               : CloseReport{1001, std::string("Stream end encountered"), false});
      }
    });
    break;
  }
  case WSStreamEventNone:
    XLOG("WebSocket", "(default)  %@", *stream);
    break;
  }
}

void WSWebSocketConnection::_updateSecureStreamOptions() {
  // Called with _objectLock held, when the streams arrive.
  if (_requestRequiresSSL) {
    XLOG("WebSocket", "Setting up security for streams.");
    for (WSStream* stream :
         {static_cast<WSStream*>(_inputStream.get()), static_cast<WSStream*>(_outputStream.get())}) {
      WSStreamSecurityOptions options;
      std::any peerName = stream->propertyForKey(WSStreamPropertySocketPeerName);
      if (auto* name = std::any_cast<std::string>(&peerName)) {
        options.peerName = *name;
      } else if (auto components = WSURLGetComponents(_url)) {
        options.peerName = components->host;
      }
      if (_securityPolicy) _securityPolicy->updateSecurityOptionsInStream(options);
      stream->setProperty(options, WSStreamPropertySSLSettings);
    }
  }
  // The platform's service types, by the request's value; carried on the streams only.
  const char* serviceType = nullptr;
  switch (_urlRequest.networkServiceType) {
  case 1:
    serviceType = "NSStreamNetworkServiceTypeVoIP";
    break;
  case 2:
  case 8:
  case 9:
    serviceType = "NSStreamNetworkServiceTypeVideo";
    break;
  case 3:
    serviceType = "NSStreamNetworkServiceTypeBackground";
    break;
  case 4:
    serviceType = "NSStreamNetworkServiceTypeVoice";
    break;
  case 11:
    serviceType = "NSStreamNetworkServiceTypeCallSignaling";
    break;
  default:
    break;
  }
  if (serviceType) {
    _inputStream->setProperty(std::string(serviceType), WSStreamPropertyNetworkServiceType);
    _outputStream->setProperty(std::string(serviceType), WSStreamPropertyNetworkServiceType);
  }
}
