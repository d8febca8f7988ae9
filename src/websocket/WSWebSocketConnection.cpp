#include "websocket/WSWebSocketConnection.hpp"

#include "platform/Log.hpp"
#include "platform/Memory.hpp"
#include "platform/Queue.hpp"
#include "platform/RunLoop.hpp"
#include "platform/UTF8.hpp"
#include "websocket/WSDelegateController.hpp"
#include "websocket/WSProxyConnect.hpp"
#include "websocket/WSRunLoopThread.hpp"
#include "websocket/detail/WSFrame.hpp"
#include "websocket/detail/WSHash.hpp"
#include "websocket/detail/WSRandom.hpp"
#include "websocket/detail/WSSIMDHelpers.hpp"
#include "websocket/detail/WSURLUtilities.hpp"
#include "websocket/security/WSURLRequestPinning.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

/// The 4 bytes that end an HTTP head.
constexpr std::uint8_t CRLFCRLFBytes[] = {'\r', '\n', '\r', '\n'};
/// RFC 6455 section 4.1: the protocol version the client speaks.
constexpr std::uint8_t WSWebSocketProtocolVersion = 13;
/// Section 4.1: a 16-byte nonce, 24 characters in Base64.
constexpr std::uint64_t WSSecKeyLength = 16;

/// The socket is read into blocks of sixteen pages (below the allocator's mmap threshold), at
/// least a page at a time; a few blocks are kept for reuse.
constexpr std::size_t kReadBlockSize = 64 * 1024;
constexpr std::size_t kMinimumRead = 4 * 1024;
constexpr std::size_t kReadStepBudget = 4 * kReadBlockSize;
/// Payloads read in place go into buffers already reserved for them: a step reads up to 4 MiB
/// of them before other steps get their turn.
constexpr std::size_t kReadStepInPlaceBudget = 4 * 1024 * 1024;
/// Reading pauses while what waits for the delegate reaches 1 MiB and resumes below 512 KiB:
/// the blocks and message buffers batches hold (a block counts whole), and control reports
/// counted with 256 bytes each. That is four read steps: the reader stays ahead of the
/// delegate, and enough blocks are kept that a steady stream allocates none.
constexpr std::size_t kReportOverhead = 256;
constexpr std::size_t kPauseReadingAt = 1024 * 1024;
constexpr std::size_t kResumeReadingBelow = 512 * 1024;
constexpr std::size_t kReadBlocksKept =
    kPauseReadingAt / kReadBlockSize + 2 * (kReadStepBudget / kReadBlockSize + 1);
/// A payload at least this long still to come is read from the socket straight into its
/// message buffer.
constexpr std::size_t kReadInPlaceMinimum = 16 * 1024;
/// Buffers of assembled messages kept for the next ones (at most 4 MiB in all), and batches
/// kept for the next steps.
constexpr std::size_t kSpareMessagesKept = 16;
constexpr std::size_t kSpareMessageBytes = 4 * 1024 * 1024;
constexpr std::size_t kSpareBatchesKept = 16;

/// Outgoing frames are composed into a chunk of this size, and a step writes at most 4 MiB.
constexpr std::size_t kWriteChunkSize = 128 * 1024;
constexpr std::size_t kWriteStepBudget = 4 * 1024 * 1024;
constexpr std::size_t kMaximumFrameHeaderSize = 14;
/// A backed-up burst of at least this many bytes gives its memory back once it has been written;
/// the send lists keep room for at most this many messages.
constexpr std::uint64_t kReleaseAfterBurst = 1024 * 1024;
constexpr std::size_t kSendListsKept = 1024;
/// A stream event or a send on a connection whose work queue has been idle this long is handled
/// on the thread that has it (the network loop, the caller) instead of waking a worker; steps
/// that follow each other faster than that gather on the pool as a burst.
constexpr auto kInlineAfterQuiet = std::chrono::microseconds(20);
/// Reading: the memory is given back once all is delivered, the socket is empty and this much
/// was allocated for reading since the last time (blocks and message buffers beyond the pools,
/// control frames): after a burst, never in traffic the pools serve.
constexpr std::uint64_t kReleaseAfterReadBurst = 256 * 1024;
/// Pings reported and not yet answered beyond which only the latest is answered.
constexpr std::size_t kPingsAnsweredEach = 64;

[[noreturn]] void FatalInternalError(const char* what) {
  std::fprintf(stderr, "WSWebSocket: fatal internal error: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

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
  _kvoLock = WSMutexInitRecursive();
  _workQueue = std::make_shared<platform::SerialQueue>("com.zorbel.streamdeck.websocket.work");
  _delegateController = std::make_shared<WSDelegateController>();
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
  WSMutexDestroy(_kvoLock);
  // The last reference may go away in a task of the work queue itself; a queue cannot be
  // destroyed from its own task (it would wait for itself), so another thread does it.
  if (_workQueue && _workQueue->isCurrent())
    std::thread([queue = std::move(_workQueue)]() mutable { queue.reset(); }).detach();
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
  WSMutexLock(_kvoLock);
  try {
    std::int64_t old = readyState();
    if (old != state) {
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
  } catch (...) {
    // An observer's exception propagates, but never with the mutex held.
    WSMutexUnlock(_kvoLock);
    throw;
  }
  WSMutexUnlock(_kvoLock);
}

void WSWebSocketConnection::assertOnWorkQueue() const {
  if (!_workQueue->isCurrent()) FatalInternalError("a work-queue operation was called from another queue");
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
        self->_failWithError(
            WSErrorWithDomainCodeDescription(NSURLErrorDomain, -1001, "Timed out connecting to server."));
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
  auto self = shared_from_this();
  // Behind every report already queued for the delegate.
  _delegateController->performDelegateQueueBlock([self, message = std::move(message)] {
    self->closeWithCode(1002, message);
    self->_workQueue->async([self] { self->closeConnection(); });
  });
}

void WSWebSocketConnection::_closeAndDisconnect(std::int64_t code, std::string reason) {
  closeWithCode(code, reason);
  auto self = shared_from_this();
  _workQueue->async([self] { self->closeConnection(); });
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

// ---- opening handshake ------------------------------------------------------------------

void WSWebSocketConnection::didConnect() {
  assertOnWorkQueue();
  XLOG("WebSocket", "Connected");
  _secKey = WSBase64EncodedStringFromData(WSRandomData(WSSecKeyLength));
  if (_secKey.size() != 24) FatalInternalError("the handshake key is not 24 characters");
  auto request = WSHTTPConnectMessageCreate(_urlRequest, _secKey, WSWebSocketProtocolVersion,
                                            requestCookies(), _requestedProtocols);
  if (!request) {
    // The connector could not have connected to a URL without a host.
    _failWithError(WSErrorWithCodeDescription(2133, "Invalid URL for the upgrade request."));
    return;
  }
  _writeData(WSDispatchData(request->serialize()));
  _readHTTPHeader();
}

void WSWebSocketConnection::_readHTTPHeader() {
  if (!_receivedHTTPHeaders) _receivedHTTPHeaders = std::make_shared<WSHTTPResponse>();
  _readUntilBytes(
      CRLFCRLFBytes, sizeof CRLFCRLFBytes, [](WSWebSocketConnection& connection, const WSDispatchData* data) {
        auto& response = *connection._receivedHTTPHeaders;
        data->applyRegions([&](std::span<const std::uint8_t> region) {
          response.appendBytes(region);
          return !response.isHeaderComplete() && !response.failed();
        });
        if (response.failed()) {
          // A malformed head, or one longer than WSMaxHTTPHeadSize without its end.
          XLOG("WebSocket", "Invalid response head: %@", response.failureReason());
          connection._failWithError(WSErrorWithCodeDescription(2133, "Invalid HTTP response from server."));
        } else if (response.isHeaderComplete()) {
          XLOG("WebSocket", "Finished reading headers %@", response.headerFieldsDescription());
          connection._httpHeadersDidFinish();
        } else {
          connection._readHTTPHeader();
        }
      });
}

void WSWebSocketConnection::_httpHeadersDidFinish() {
  const WSHTTPResponse& response = *_receivedHTTPHeaders;
  {
    std::lock_guard lock(_propertyLock);
    _publishedHTTPHeaders = _receivedHTTPHeaders;
  }
  int status = response.statusCode();
  if (status >= 400) {
    XLOG("WebSocket", "Request failed with response code %ld", static_cast<long>(status));
    _failWithError(WSHTTPErrorWithCodeDescription(
        status, 2132, "Received bad response code from server: " + std::to_string(status) + "."));
    return;
  }
  if (!WSCheckHandshake(response, _secKey)) {
    _failWithError(WSErrorWithCodeDescription(2133, "Invalid Sec-WebSocket-Accept response."));
    return;
  }
  // RFC 6455 section 4.1: a switch of protocols that does not name the WebSocket upgrade is
  // not one, whatever its accept value. Other statuses below 400 are taken as they are.
  if (status == 101 && !WSResponseHasUpgradeFields(response)) {
    _failWithError(WSErrorWithCodeDescription(2133, "Invalid HTTP upgrade response."));
    return;
  }
  if (auto negotiated = response.headerField("Sec-WebSocket-Protocol")) {
    bool offered = _requestedProtocols && std::find(_requestedProtocols->begin(), _requestedProtocols->end(),
                                                    *negotiated) != _requestedProtocols->end();
    if (!offered) {
      _failWithError(
          WSErrorWithCodeDescription(2133, "Server specified Sec-WebSocket-Protocol that wasn't requested."));
      return;
    }
    std::lock_guard lock(_propertyLock);
    _protocol = *negotiated;
  }
  setReadyState(WS_OPEN);
  // The first frame is requested before the delegate hears of the open connection.
  _readFrameNew();
  auto self = shared_from_this();
  _delegateController->performDelegateBlock([self](const auto& delegate, WSDelegateAvailableMethods m) {
    if (delegate && m.didOpen) delegate->webSocketDidOpen(*self);
  });
}

// ---- frame reader -----------------------------------------------------------------------

void WSWebSocketConnection::_addConsumerWithScanner(WSIOScanner scanner, WSIOHandler callback) {
  assertOnWorkQueue();
  _consumers.push_back(_consumerPool.consumerWithScanner(std::move(scanner), std::move(callback)));
  _pumpScanner();
}

void WSWebSocketConnection::_readUntilBytes(const std::uint8_t* bytes, std::size_t length,
                                            WSIOHandler callback) {
  // The unread bytes only grow while this request waits (nothing is consumed before it), so the
  // scanner resumes where it stopped instead of walking the whole head again on every read.
  struct Progress {
    std::uint64_t walked = 0;
    std::size_t matched = 0;
  };
  auto progress = std::make_shared<Progress>();
  WSIOScanner scanner = [bytes, length, progress](const WSDispatchData& unread) -> std::uint64_t {
    std::uint64_t found = 0;
    unread.subrange(progress->walked, unread.size()).applyRegions([&](std::span<const std::uint8_t> region) {
      for (std::uint8_t byte : region) {
        ++progress->walked;
        if (byte == bytes[progress->matched]) {
          if (++progress->matched == length) {
            found = progress->walked;
            return false;
          }
        } else {
          // A differing byte may itself start the sequence ("\r\n\r\r\n\r\n").
          progress->matched = byte == bytes[0] ? 1 : 0;
        }
      }
      return true;
    });
    if (found) {
      *progress = Progress{};
      return found;
    }
    // A head that grows past the bound without its end is handed over whole: the response
    // parser then fails it instead of the buffer growing without bound.
    if (unread.size() > WSMaxHTTPHeadSize) return unread.size();
    return 0;
  };
  _addConsumerWithScanner(std::move(scanner), std::move(callback));
}

struct WSWebSocketConnection::ReceiveBatch {
  /// A message: its bytes in one of the batch's blocks, or (bytes == nullptr) the assembled
  /// message of that index.
  struct Message {
    const std::uint8_t* bytes;
    std::size_t length;
    std::uint32_t assembled;
    std::uint8_t opcode;
  };
  std::vector<Message> messages;
  /// One reference per block the messages lie in.
  std::vector<ReadBlock> blocks;
  std::vector<WSMessage> assembled;
  /// Counted against the reading bound until the batch has been delivered.
  std::uint64_t bytes = 0;
  /// The objects messages from blocks are delivered in: their storage serves batch after batch.
  WSMessage text{std::string()};
  WSMessage data{WSData()};
};

void WSWebSocketConnection::_pumpScanner() {
  assertOnWorkQueue();
  // A request queued from inside a handler is served by the loop already running.
  if (_isPumping) return;
  _isPumping = true;
  while (_innerPumpScanner()) {
  }
  _isPumping = false;
  _postBatch();
}

void WSWebSocketConnection::_markDelivery() {
  // One mark per step, behind the step's control reports: their delivery is counted once per
  // step, not once per report.
  const std::uint64_t bytes = std::exchange(_undeliveredInStep, 0);
  _undeliveredBytes += bytes;
  auto self = shared_from_this();
  _delegateController->performDelegateQueueBlock([self, bytes] { self->_messagesDelivered(bytes); });
}

void WSWebSocketConnection::_messagesDelivered(std::uint64_t bytes) {
  const std::uint64_t left = (_undeliveredBytes -= bytes);
  if (left == 0 && _allocatedSinceReleased.load(std::memory_order_relaxed) >= kReleaseAfterReadBurst) {
    // Everything read has been delivered. Behind the steps the reports queued (the pongs), a
    // burst from the peer that took memory beyond the reused blocks and buffers (a flood of
    // pings, say) gives it back. Steady traffic, served from the pools, allocates nothing and
    // never gets here.
    auto self = shared_from_this();
    _workQueue->async([self] {
      if (self->_allocatedSinceReleased.load(std::memory_order_relaxed) < kReleaseAfterReadBurst) return;
      {
        // Not over while the peer's bytes are still waiting.
        std::lock_guard lock(self->_objectLock);
        if (self->_inputStream && self->_inputStream->hasBytesAvailable()) return;
      }
      self->_allocatedSinceReleased.store(0, std::memory_order_relaxed);
      platform::ReleaseFreedMemory();
    });
  }
  if (left < kResumeReadingBelow && _readPaused.exchange(false)) {
    auto self = shared_from_this();
    _workQueue->async([self] { self->_readAndParse(); });
  }
}

bool WSWebSocketConnection::_innerPumpScanner() {
  if (readyState() == WS_CLOSED || _readerStopped) return false;
  // The only requests are the handshake's; frames are parsed as they are read.
  return !_consumers.empty() && _pumpConsumer();
}

bool WSWebSocketConnection::_pumpConsumer() {
  const std::uint64_t available = _readBuffer.size() - _readBufferOffset;
  if (available == 0) return false;
  // The only requests are byte-sequence scans (the handshake's head).
  WSIOConsumer& consumer = *_consumers.front();
  const std::uint64_t take = consumer.consumer()(_readBuffer.subrange(_readBufferOffset, available));
  if (take == 0) return false;

  WSDispatchData slice = _readBuffer.subrange(_readBufferOffset, take);
  _consumeReadBuffer(take);
  // Removed before its handler runs, so that the handler may queue the next request.
  auto finished = std::move(_consumers.front());
  _consumers.pop_front();
  finished->handler()(*this, &slice);
  _consumerPool.returnConsumer(std::move(finished));
  return true;
}

void WSWebSocketConnection::_consumeReadBuffer(std::uint64_t length) {
  _readBufferOffset += length;
  const std::uint64_t size = _readBuffer.size();
  if (_readBufferOffset == size) {
    // Everything read: the blocks the bytes were read into are free again.
    _readBuffer.clear();
    _readBufferOffset = 0;
  } else if (_readBufferOffset > WSDefaultBufferSize() && _readBufferOffset > size / 2) {
    // Release what has been handed out in batches: only when the consumed part is larger than
    // a page and than half of the buffer.
    _readBuffer = _readBuffer.subrange(_readBufferOffset, size - _readBufferOffset);
    _readBufferOffset = 0;
  }
}

void WSWebSocketConnection::_readFrameNew() {
  auto self = shared_from_this();
  // Queued: the handshake requests the first frame before the open report, whose step must
  // still reach the delegate queue before any message read with the head.
  _workQueue->async([self] {
    self->_frameReader = WSFrameReader(self->_maximumMessageSize);
    self->_readFrameContinue();
  });
}

void WSWebSocketConnection::_readFrameContinue() {
  _framesRequested = true;
  // The bytes read with the head are parsed first (and copied: they are few); from now on
  // frames are parsed straight from the blocks as they are read.
  WSDispatchData rest = _readBuffer.subrange(_readBufferOffset, _readBuffer.size() - _readBufferOffset);
  _readBuffer.clear();
  _readBufferOffset = 0;
  rest.applyRegions([this](std::span<const std::uint8_t> region) { return _parseFrames(region, nullptr); });
  _postBatch();
}

bool WSWebSocketConnection::_parseFrames(std::span<const std::uint8_t> bytes, const ReadBlock* block) {
  while (true) {
    if (readyState() == WS_CLOSED || _readerStopped) return false;
    WSFrameEvent event;
    const std::size_t taken = _frameReader.read(bytes, &event);
    bytes = bytes.subspan(taken);
    // The event's bytes point into the span: handled before the next step.
    switch (event.kind) {
    case WSFrameEvent::Kind::NeedMore:
      return true;
    case WSFrameEvent::Kind::Failed:
      _handleReaderFailure();
      return false;
    case WSFrameEvent::Kind::DataHeader:
      _handleFrameHeader(event, bytes.size(), block);
      break;
    case WSFrameEvent::Kind::DataPayload:
      if (!_handleFramePayload(event, block)) return false;
      break;
    case WSFrameEvent::Kind::ControlFrame:
      _handleFrameWithData(WSData(event.bytes.begin(), event.bytes.end()), event.opcode);
      break;
    }
  }
}

void WSWebSocketConnection::_handleReaderFailure() {
  if (_frameReader.closeCode() == 1002) {
    _closeWithProtocolError(_frameReader.failureReason());
    return;
  }
  if (_frameReader.closeCode() == 1009)
    XLOG("WebSocket", "Refusing a message of more than %lu bytes",
         static_cast<unsigned long>(_maximumMessageSize));
  _readerStopped = true;
  _closeAndDisconnect(_frameReader.closeCode(), _frameReader.failureReason());
}

namespace {

/// The bytes of a message buffer, which holds text or binary data.
std::span<std::uint8_t> MessageBytes(WSMessage& message) {
  if (auto* text = std::get_if<std::string>(&message))
    return {reinterpret_cast<std::uint8_t*>(text->data()), text->size()};
  auto& data = std::get<WSData>(message);
  return {data.data(), data.size()};
}

/// Makes a message buffer `length` bytes long. A buffer reused at least that long only
/// shortens: bytes are written over, not zero-filled first.
void ResizeMessage(WSMessage& message, std::size_t length) {
  std::visit([length](auto& bytes) { bytes.resize(length); }, message);
}

/// Writes `bytes` at `position` of a message buffer: over what a reused buffer holds there, or
/// appended.
void WriteMessage(WSMessage& message, std::size_t position, std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  std::visit(
      [&](auto& buffer) {
        if (position + bytes.size() <= buffer.size()) {
          std::memcpy(buffer.data() + position, bytes.data(), bytes.size());
          return;
        }
        buffer.resize(position);
        using Char = typename std::remove_reference_t<decltype(buffer)>::value_type;
        const auto* first = reinterpret_cast<const Char*>(bytes.data());
        buffer.insert(buffer.end(), first, first + bytes.size());
      },
      message);
}

std::size_t MessageCapacity(const WSMessage& message) {
  return std::visit([](const auto& bytes) { return bytes.capacity(); }, message);
}

/// Text as it arrives: the close it asks for when its bytes so far cannot be UTF-8, checking
/// from `*scanned` on (an incomplete final character waits for its next bytes); at the end of
/// the message an incomplete final character is refused too.
std::optional<const char*> TextError(std::span<const std::uint8_t> bytes, std::uint64_t* scanned,
                                     bool final) {
  auto rest = bytes.subspan(static_cast<std::size_t>(*scanned));
  const std::int64_t valid = platform::ValidateUTF8Partial(rest);
  if (valid < 0) return "Text frames must be valid UTF-8";
  *scanned += static_cast<std::uint64_t>(valid);
  if (final && !platform::IsValidUTF8(bytes.subspan(static_cast<std::size_t>(*scanned))))
    return "Text frames must be valid UTF-8.";
  return std::nullopt;
}

} // namespace

void WSWebSocketConnection::_handleFrameHeader(const WSFrameEvent& event, std::size_t rest,
                                               const ReadBlock* block) {
  // A final frame that starts no fragmented message and lies whole in the block is delivered
  // from the block itself; every other message is assembled in a buffer of its own.
  _messageInSpan = block && !_assembling && event.fin && event.payloadLength <= rest;
  if (_messageInSpan) {
    if (event.frameComplete) {
      _messageInSpan = false;
      static const std::uint8_t kNoBytes = 0;
      _receivedMessage(&kNoBytes, 0, event.opcode, block);
    }
    return;
  }
  if (!_assembling) {
    // A kept buffer of the same kind, else a new one.
    const bool text = event.opcode == WSOpcodeText;
    auto kept = std::find_if(_spareMessages.begin(), _spareMessages.end(), [text](const WSMessage& m) {
      return std::holds_alternative<std::string>(m) == text;
    });
    if (kept != _spareMessages.end()) {
      _spareMessageBytes -= MessageCapacity(*kept);
      _assembling = std::move(*kept);
      _spareMessages.erase(kept);
    } else {
      _assembling = text ? WSMessage(std::string()) : WSMessage(WSData());
    }
    _assembledLength = 0;
    _assemblingOpcode = event.opcode;
    _currentStringScanPosition = 0;
  }
  // Room for the frame's payload, within the bound the reader has already checked; the bytes
  // themselves are written as they arrive.
  const std::size_t needed = _assembledLength + static_cast<std::size_t>(event.payloadLength);
  std::visit(
      [needed, this](auto& bytes) {
        // Fragments grow it geometrically.
        if (needed <= bytes.capacity()) return;
        const std::size_t before = bytes.capacity();
        bytes.reserve(std::max(needed, 2 * before));
        _allocatedSinceReleased.fetch_add(bytes.capacity() - before, std::memory_order_relaxed);
      },
      *_assembling);
  if (event.frameComplete && event.fin) _receivedAssembledMessage();
}

bool WSWebSocketConnection::_handleFramePayload(const WSFrameEvent& event, const ReadBlock* block) {
  if (_messageInSpan) {
    _messageInSpan = false;
    if (event.opcode == WSOpcodeText) {
      std::uint64_t scanned = 0;
      if (auto error = TextError(event.bytes, &scanned, true)) {
        _frameReader.fail(1007, *error);
        _handleReaderFailure();
        return false;
      }
    }
    _receivedMessage(event.bytes.data(), event.bytes.size(), event.opcode, block);
    return true;
  }
  WriteMessage(*_assembling, _assembledLength, event.bytes);
  return _assembledPayload(event.bytes.size(), event);
}

bool WSWebSocketConnection::_assembledPayload(std::size_t length, const WSFrameEvent& event) {
  _assembledLength += length;
  const bool last = event.frameComplete && event.fin;
  if (_assemblingOpcode == WSOpcodeText) {
    auto bytes = MessageBytes(*_assembling).first(_assembledLength);
    if (auto error = TextError(bytes, &_currentStringScanPosition, last)) {
      _frameReader.fail(1007, *error);
      _handleReaderFailure();
      return false;
    }
  }
  if (last) _receivedAssembledMessage();
  return true;
}

std::optional<std::ptrdiff_t> WSWebSocketConnection::_readPayloadInPlace(WSInputStream& input,
                                                                         std::size_t budget) {
  // A large payload goes from the socket straight into its message: one copy, not two.
  const std::uint64_t remaining = _frameReader.payloadRemaining();
  if (!_assembling || remaining < kReadInPlaceMinimum) return std::nullopt;
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, budget));
  WSMessage& message = *_assembling;
  if (MessageBytes(message).size() < _assembledLength + length)
    ResizeMessage(message, _assembledLength + length);
  const std::ptrdiff_t read = input.read(MessageBytes(message).data() + _assembledLength, length);
  if (read <= 0) return read;
  const auto taken = static_cast<std::size_t>(read);
  WSFrameEvent event;
  _frameReader.takePayloadInPlace(taken, &event);
  _assembledPayload(taken, event);
  return read;
}

void WSWebSocketConnection::_receivedMessage(const std::uint8_t* bytes, std::size_t length,
                                             std::uint8_t opcode, const ReadBlock* block) {
  if (opcode != WSOpcodeText && opcode != WSOpcodeBinary) {
    _closeWithProtocolError(WSUnknownOpcodeMessage(opcode));
    return;
  }
  XLOG("WebSocket", opcode == WSOpcodeText ? "Received text message." : "Received data message.");
  _batchHolding(block).messages.push_back({bytes, length, 0, opcode});
}

void WSWebSocketConnection::_receivedAssembledMessage() {
  WSMessage message = std::move(*_assembling);
  _assembling.reset();
  const std::uint8_t opcode = std::exchange(_assemblingOpcode, 0);
  // Exactly the message's length: a buffer reused from a longer message only shortens.
  ResizeMessage(message, _assembledLength);
  if (opcode != WSOpcodeText && opcode != WSOpcodeBinary) {
    _closeWithProtocolError(WSUnknownOpcodeMessage(opcode));
    return;
  }
  XLOG("WebSocket", opcode == WSOpcodeText ? "Received text message." : "Received data message.");
  ReceiveBatch& batch = _batchHolding(nullptr);
  batch.messages.push_back(
      {nullptr, _assembledLength, static_cast<std::uint32_t>(batch.assembled.size()), opcode});
  batch.bytes += MessageCapacity(message);
  batch.assembled.push_back(std::move(message));
}

WSWebSocketConnection::ReceiveBatch& WSWebSocketConnection::_batchHolding(const ReadBlock* block) {
  if (!_batch) {
    if (_spareBatches.empty()) {
      _batch = std::make_shared<ReceiveBatch>();
    } else {
      _batch = std::move(_spareBatches.back());
      _spareBatches.pop_back();
    }
  }
  if (block && (_batch->blocks.empty() || _batch->blocks.back() != *block)) {
    _batch->blocks.push_back(*block);
    _batch->bytes += kReadBlockSize;
  }
  return *_batch;
}

void WSWebSocketConnection::_postBatch() {
  if (_undeliveredInStep > 0) _markDelivery();
  if (!_batch) return;
  std::shared_ptr<ReceiveBatch> batch = std::move(_batch);
  // Counted by the bytes it holds (whole blocks and message buffers): what reading may run
  // ahead of the delegate is a bound on memory, whatever the size of the messages.
  _undeliveredBytes += batch->bytes;
  auto self = shared_from_this();
  _delegateController->performDelegateBlock(
      [self, batch = std::move(batch)](const auto& delegate, WSDelegateAvailableMethods m) {
        self->_deliverBatch(batch, delegate.get(), m);
      });
}

void WSWebSocketConnection::_deliverBatch(const std::shared_ptr<ReceiveBatch>& batch,
                                          WSWebSocketDelegate* delegate, WSDelegateAvailableMethods m) {
  // Counted as delivered once its delivery starts: a paused reader resumes while the delegate
  // works through the batch, and stays ahead of it. Its blocks stay held until it is back.
  _messagesDelivered(batch->bytes);
  for (std::size_t i = 0; delegate && i < batch->messages.size(); ++i) {
    const ReceiveBatch::Message& received = batch->messages[i];
    WSMessage* message;
    if (received.bytes) {
      // Copied as bytes of the buffer's own type: a string assigned from another iterator type
      // would build a temporary.
      if (received.opcode == WSOpcodeText) {
        message = &batch->text;
        std::get<std::string>(*message).assign(reinterpret_cast<const char*>(received.bytes),
                                               received.length);
      } else {
        message = &batch->data;
        std::get<WSData>(*message).assign(received.bytes, received.bytes + received.length);
      }
    } else {
      message = &batch->assembled[received.assembled];
    }
    if (auto* text = std::get_if<std::string>(message)) {
      if (m.shouldConvertTextFrameToString && !delegate->webSocketShouldConvertTextFrameToString(*this)) {
        WSMessage bytes(WSData(text->begin(), text->end()));
        if (m.didReceiveMessage) delegate->webSocketDidReceiveMessage(*this, bytes);
        if (m.didReceiveMessageWithData)
          delegate->webSocketDidReceiveMessageWithData(*this, std::get<WSData>(bytes));
        continue;
      }
      if (m.didReceiveMessage) delegate->webSocketDidReceiveMessage(*this, *message);
      if (m.didReceiveMessageWithString) delegate->webSocketDidReceiveMessageWithString(*this, *text);
    } else {
      if (m.didReceiveMessage) delegate->webSocketDidReceiveMessage(*this, *message);
      if (m.didReceiveMessageWithData)
        delegate->webSocketDidReceiveMessageWithData(*this, std::get<WSData>(*message));
    }
  }
  // The reader takes the batch back on its own queue, where its blocks are reused.
  std::lock_guard lock(_returnLock);
  _returnedBatches.push_back(batch);
}

void WSWebSocketConnection::_takeReturnedBatches() {
  std::vector<std::shared_ptr<ReceiveBatch>> returned;
  {
    std::lock_guard lock(_returnLock);
    if (_returnedBatches.empty()) return;
    returned.swap(_returnedBatches);
  }
  for (auto& batch : returned) {
    // Dropped here, after the lock: a block is reused only once no batch refers to it.
    batch->blocks.clear();
    batch->messages.clear();
    batch->bytes = 0;
    for (WSMessage& message : batch->assembled) {
      const std::size_t capacity = MessageCapacity(message);
      if (_spareMessages.size() >= kSpareMessagesKept || _spareMessageBytes + capacity > kSpareMessageBytes)
        continue;
      _spareMessageBytes += capacity;
      _spareMessages.push_back(std::move(message));
    }
    batch->assembled.clear();
    if (_spareBatches.size() < kSpareBatchesKept) _spareBatches.push_back(std::move(batch));
  }
  returned.clear();
  {
    // The list's room serves the next returns.
    std::lock_guard lock(_returnLock);
    if (_returnedBatches.empty()) _returnedBatches.swap(returned);
  }
}

void WSWebSocketConnection::_handleFrameWithData(WSData data, std::uint8_t opcode) {
  // Control frames come between the step's messages: the messages before one are reported
  // before it. Each takes memory of its own until it has been reported.
  _postBatch();
  _allocatedSinceReleased.fetch_add(data.size() + kReportOverhead, std::memory_order_relaxed);
  switch (opcode) {
  case WSOpcodeClose:
    handleCloseWithData(data);
    break;
  case WSOpcodePing:
    _handlePingWithData(std::make_shared<const WSData>(std::move(data)));
    break;
  case WSOpcodePong:
    handlePong(std::make_shared<const WSData>(std::move(data)));
    break;
  default:
    _closeWithProtocolError(WSUnknownOpcodeMessage(opcode));
    break;
  }
}

void WSWebSocketConnection::handleCloseWithData(const WSData& data) {
  XLOG("WebSocket", "Received close frame");
  WSClosePayload payload = WSParseClosePayload(data);
  if (data.size() != 1) _closeCode = payload.code; // kept even when the code is refused
  if (payload.error) {
    _closeWithProtocolError(*payload.error);
    return;
  }
  _closeReason = payload.reason;
  // Section 5.5.1: answer with a close frame unless this side sent one already.
  if (readyState() == WS_OPEN) closeWithCode(1000, std::nullopt);
  auto self = shared_from_this();
  _workQueue->async([self] { self->closeConnection(); });
}

void WSWebSocketConnection::_handlePingWithData(std::shared_ptr<const WSData> data) {
  auto self = shared_from_this();
  // Counted like a message: a flood of pings that the delegate queue does not keep up with
  // pauses reading as messages do.
  _undeliveredInStep += data->size() + kReportOverhead;
  _delegateController->performDelegateBlock([self, data](const auto& delegate, WSDelegateAvailableMethods m) {
    if (delegate && m.didReceivePing) delegate->webSocketDidReceivePing(*self, *data);
    // The pong leaves after the report, whether or not there is a delegate. The pings reported
    // meanwhile are answered by one step; beyond a few waiting, only the latest is (section 5.5.3).
    bool first;
    {
      std::lock_guard lock(self->_pingLock);
      first = self->_pingsToAnswer.empty();
      if (self->_pingsToAnswer.size() >= kPingsAnsweredEach) self->_pingsToAnswer.clear();
      self->_pingsToAnswer.push_back(data);
    }
    if (first) self->_workQueue->async([self] { self->_answerPings(); });
  });
}

void WSWebSocketConnection::_answerPings() {
  assertOnWorkQueue();
  std::vector<std::shared_ptr<const WSData>> pings;
  {
    std::lock_guard lock(_pingLock);
    pings.swap(_pingsToAnswer);
  }
  for (auto& ping : pings) {
    if (_closeWhenFinishedWriting) return;
    if (_waitingPong && _outputBackedUp) {
      // The peer is not reading: the waiting pong answers this ping instead.
      _waitingPong->payload = std::move(ping);
      continue;
    }
    Outgoing pong;
    pong.payload = std::move(ping);
    pong.opcode = WSOpcodePong;
    _enqueueOutgoing(std::move(pong));
    _waitingPong = &_outgoing.back();
  }
}

void WSWebSocketConnection::handlePong(std::shared_ptr<const WSData> data) {
  XLOG("WebSocket", "Received pong");
  auto self = shared_from_this();
  _delegateController->performDelegateBlock([self, data](const auto& delegate, WSDelegateAvailableMethods m) {
    if (delegate && m.didReceivePong) delegate->webSocketDidReceivePong(*self, *data);
  });
}

// ---- sending ----------------------------------------------------------------------------

bool WSWebSocketConnection::_stateError(const char* description, WSError* error) const {
  WSError failure = WSErrorWithCodeDescription(2134, description);
  XLOG("WebSocket", "%@", failure);
  if (error) *error = std::move(failure);
  return false;
}

bool WSWebSocketConnection::sendString(const std::string& string, WSError* error) {
  if (readyState() != WS_OPEN)
    return _stateError("Invalid State: Cannot call `sendString:error:` until connection is open.", error);
  auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(string.data()), string.size());
  // Text that is not UTF-8 has no UTF-8 form: nothing is sent.
  if (platform::IsValidUTF8(bytes))
    _queueSend(WSOpcodeText, std::make_shared<const WSData>(bytes.begin(), bytes.end()));
  return true;
}

bool WSWebSocketConnection::sendData(const WSData& data, WSError* error) {
  return sendDataNoCopy(std::make_shared<const WSData>(data), error);
}

bool WSWebSocketConnection::sendDataNoCopy(std::shared_ptr<const WSData> data, WSError* error) {
  if (readyState() != WS_OPEN)
    return _stateError("Invalid State: Cannot call `sendDataNoCopy:error:` until connection is open.", error);
  // No bytes, nothing to send.
  if (data) _queueSend(WSOpcodeBinary, std::move(data));
  return true;
}

bool WSWebSocketConnection::sendPing(const WSData& data, WSError* error) {
  if (readyState() != WS_OPEN)
    return _stateError("Invalid State: Cannot call `sendPing:error:` until connection is open.", error);
  _queueSend(WSOpcodePing, std::make_shared<const WSData>(data));
  return true;
}

void WSWebSocketConnection::_queueSend(std::uint8_t opcode, std::shared_ptr<const WSData> data) {
  // Sends gather in one list, handed to the work queue by one step when the list was empty: a
  // burst of sends costs one step, not one per send. The step is queued before any step queued
  // after the send (a close, say), so the order with those is kept, as is the order of the sends.
  Outgoing frame;
  frame.payload = std::move(data);
  frame.opcode = opcode;
  frame.counted = true;
  _bufferedAmount.fetch_add(frame.payload->size(), std::memory_order_relaxed);
  bool first;
  {
    std::lock_guard lock(_sendLock);
    first = _pendingSends.empty();
    _pendingSends.push_back(std::move(frame));
  }
  if (!first) return;
  auto self = shared_from_this();
  // On a quiet connection the frame is written at once, here: the write step it queues follows
  // inline, and the delegate's reports still go to their queue.
  _workQueue->runOrAsync([self] { self->_takePendingSends(); }, kInlineAfterQuiet);
}

void WSWebSocketConnection::_takePendingSends() {
  assertOnWorkQueue();
  {
    std::lock_guard lock(_sendLock);
    // Swapped with the list taken last time: its room is reused.
    _pendingSends.swap(_takenSends);
  }
  for (Outgoing& frame : _takenSends) _enqueueOutgoing(std::move(frame));
  _takenSends.clear();
}

void WSWebSocketConnection::reportWhenOutputDrains() {
  auto self = shared_from_this();
  // Behind the steps that take the sends made before this call.
  _workQueue->async([self] {
    self->_drainReportRequested = true;
    if (self->_outputDrained()) self->_outputDidDrain();
  });
}

void WSWebSocketConnection::_outgoingDone(const Outgoing& item) {
  if (item.counted) _bufferedAmount.fetch_sub(item.payload->size(), std::memory_order_relaxed);
  if (&item == _waitingPong) _waitingPong = nullptr;
}

void WSWebSocketConnection::_outputDidDrain() {
  assertOnWorkQueue();
  if (_outputBackedUp && _queuedSinceDrained >= kReleaseAfterBurst) {
    // A burst that waited for the peer is written: the room it took in the send lists and the
    // allocator's freed blocks go back to the system.
    {
      std::lock_guard lock(_sendLock);
      if (_pendingSends.empty() && _pendingSends.capacity() > kSendListsKept)
        std::vector<Outgoing>().swap(_pendingSends);
    }
    if (_takenSends.capacity() > kSendListsKept) std::vector<Outgoing>().swap(_takenSends);
    platform::ReleaseFreedMemory();
  }
  _outputBackedUp = false;
  _queuedSinceDrained = 0;
  if (!_drainReportRequested || readyState() != WS_OPEN) return;
  {
    // Sends not yet taken are still to be written: their step pumps again.
    std::lock_guard lock(_sendLock);
    if (!_pendingSends.empty()) return;
  }
  _drainReportRequested = false;
  auto self = shared_from_this();
  _delegateController->performDelegateBlock([self](const auto& delegate, WSDelegateAvailableMethods) {
    if (delegate) delegate->webSocketDidDrainOutput(*self);
  });
}

void WSWebSocketConnection::send(const std::optional<WSMessage>& message) {
  if (message && std::holds_alternative<std::string>(*message))
    sendString(std::get<std::string>(*message), nullptr);
  else if (message)
    sendData(std::get<WSData>(*message), nullptr);
  else
    sendDataNoCopy(nullptr, nullptr);
}

void WSWebSocketConnection::_sendFrameWithOpcode(std::uint8_t opcode, std::shared_ptr<const WSData> data) {
  assertOnWorkQueue();
  if (!data) return;
  // The frame is composed (and masked) when it is written, straight from the caller's bytes.
  Outgoing frame;
  frame.payload = std::move(data);
  frame.opcode = opcode;
  _enqueueOutgoing(std::move(frame));
}

void WSWebSocketConnection::_writeData(WSDispatchData data) {
  Outgoing raw;
  raw.raw = std::move(data);
  _enqueueOutgoing(std::move(raw));
}

void WSWebSocketConnection::_enqueueOutgoing(Outgoing item) {
  assertOnWorkQueue();
  // Nothing new goes out once the connection is closing down.
  if (_closeWhenFinishedWriting) {
    _outgoingDone(item);
    return;
  }
  _queuedSinceDrained += item.payload ? item.payload->size() : item.raw.size();
  _outgoing.push_back(std::move(item));
  _schedulePump();
}

void WSWebSocketConnection::_schedulePump() {
  // Frames queued in a burst leave together: one pump step runs after the steps already queued
  // (the other sends of the burst) have queued their frames.
  if (_pumpScheduled) return;
  _pumpScheduled = true;
  auto self = shared_from_this();
  _workQueue->async([self] {
    self->_pumpScheduled = false;
    self->_pumpWriting();
  });
}

bool WSWebSocketConnection::_outputDrained() const {
  return _outgoing.empty() && _writeChunkOffset == _writeChunkLength;
}

void WSWebSocketConnection::_fillWriteChunk() {
  // Allocated once; later fills reuse its pages.
  if (_writeChunk.size() < kWriteChunkSize) _writeChunk.resize(kWriteChunkSize);
  _writeChunkOffset = 0;
  _writeChunkLength = 0;
  while (!_outgoing.empty()) {
    Outgoing& item = _outgoing.front();
    std::uint8_t* out = _writeChunk.data() + _writeChunkLength;
    std::size_t room = kWriteChunkSize - _writeChunkLength;
    if (item.payload) {
      const std::uint64_t length = item.payload->size();
      if (!item.started) {
        if (room < kMaximumFrameHeaderSize) break;
        // From now on its payload is being written: a later ping gets a pong of its own.
        if (&item == _waitingPong) _waitingPong = nullptr;
        // Drawn as the frame is composed: a key the server cannot have seen coming.
        WSRandomFill(item.maskKey);
        const std::size_t header = WSComposeFrameHeader(item.opcode, length, item.maskKey, out);
        item.started = true;
        out += header;
        room -= header;
        _writeChunkLength += header;
      }
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(room, length - item.progress));
      if (take > 0) {
        std::memcpy(out, item.payload->data() + item.progress, take);
        WSMaskBytesSIMD(out, take, item.maskKey.data(), item.progress);
        item.progress += take;
        _writeChunkLength += take;
      }
      if (item.progress < length) break;
    } else {
      const std::size_t take = item.raw.copyBytes(
          item.progress, out, std::min<std::uint64_t>(room, item.raw.size() - item.progress));
      item.progress += take;
      _writeChunkLength += take;
      if (item.progress < item.raw.size()) break;
    }
    _outgoingDone(item);
    _outgoing.pop_front();
  }
}

void WSWebSocketConnection::_pumpWriting() {
  assertOnWorkQueue();
  std::shared_ptr<WSInputStream> input;
  std::shared_ptr<WSOutputStream> output;
  {
    std::lock_guard lock(_objectLock);
    input = _inputStream;
    output = _outputStream;
  }
  const bool waiting = output && !_outputDrained();
  const bool room = waiting && output->hasSpaceAvailable();
  // Output waits for a socket without room: the peer is not keeping up.
  if (waiting && !room) _outputBackedUp = true;
  if (room) {
    // Frames are composed into the write chunk as it empties: the output holds references to
    // the callers' payloads, never a second copy of them. A short write means the socket is
    // full: the rest waits for space. A step writes a bounded amount, so reads and other steps
    // are not held up by a long queue.
    std::size_t budget = kWriteStepBudget;
    bool failed = false;
    while (budget > 0) {
      if (_writeChunkOffset == _writeChunkLength) {
        _fillWriteChunk();
        if (_writeChunkLength == 0) break;
      }
      const std::size_t pending = _writeChunkLength - _writeChunkOffset;
      const std::ptrdiff_t written = output->write(_writeChunk.data() + _writeChunkOffset, pending);
      if (written < 0) {
        failed = true;
        break;
      }
      _writeChunkOffset += static_cast<std::size_t>(written);
      budget -= std::min(budget, static_cast<std::size_t>(written));
      if (static_cast<std::size_t>(written) < pending) {
        // The socket is full: the peer is not keeping up.
        _outputBackedUp = true;
        break;
      }
    }
    if (failed) {
      auto streamError = output->streamError();
      _failWithError(streamError ? WSErrorWithCodeDescriptionUnderlyingError(2145, "Error writing to stream.",
                                                                             *streamError)
                                 : WSErrorWithCodeDescription(2145, "Error writing to stream."));
      return;
    }
    if (budget == 0 && !_outputDrained()) _schedulePump();
  }
  if (_outputDrained()) _outputDidDrain();

  if (_closeWhenFinishedWriting && _outputDrained() && input &&
      input->streamStatus() != WSStreamStatusNotOpen && input->streamStatus() != WSStreamStatusClosed &&
      !_sentClose) {
    _sentClose = true;
    {
      std::lock_guard lock(_objectLock);
      output->close();
      input->close();
      auto loops = _scheduledRunloops;
      for (auto* loop : loops) unscheduleFromRunLoop(*loop);
    }
    if (!_failed) {
      auto self = shared_from_this();
      _delegateController->performDelegateBlock([self, code = _closeCode, reason = _closeReason](
                                                    const auto& delegate, WSDelegateAvailableMethods m) {
        if (delegate && m.didCloseWithCode) delegate->webSocketDidClose(*self, code, reason, true);
      });
    }
    _scheduleCleanup();
  }
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
          connection->_failWithError(
              WSErrorWithDomainCodeDescription(NSURLErrorDomain, -1205, "Invalid server certificate."));
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
        self->_delegateController->performDelegateBlock(
            [self](const auto& delegate, WSDelegateAvailableMethods m) {
              if (delegate && m.didCloseWithCode)
                delegate->webSocketDidClose(*self, 1001, std::string("Stream end encountered"), false);
            });
      }
    });
    break;
  }
  case WSStreamEventNone:
    XLOG("WebSocket", "(default)  %@", *stream);
    break;
  }
}

void WSWebSocketConnection::_readFromInputStream() {
  std::shared_ptr<WSInputStream> input;
  {
    std::lock_guard lock(_objectLock);
    input = _inputStream;
  }
  if (!input) return;
  // Messages not yet delivered hold reading back: with a delegate slower than the peer the bytes
  // wait in the socket, where TCP's flow control holds the peer, instead of in memory.
  if (_undeliveredBytes >= kPauseReadingAt) {
    _readPaused = true;
    // A delivery counted since the check may have found the reader not yet paused. If some are
    // still pending, the one that brings the count down resumes reading; otherwise the reader
    // resumes itself, unless a delivery already has (and queued a step that reads).
    if (_undeliveredBytes >= kResumeReadingBelow) return;
    if (!_readPaused.exchange(false)) return;
  }
  // A step reads at most four blocks' worth. After the handshake each read is parsed at once,
  // in place, and the step's messages go to the delegate queue together; a block serves read
  // after read until it is full.
  // Reads go on until the socket has nothing more (a read of 0 bytes, after which the stream
  // reports the next bytes as an event) or the step's budget is spent: no readiness check
  // (a system call) before each read.
  std::size_t budget = kReadStepBudget;
  std::size_t inPlaceBudget = kReadStepInPlaceBudget;
  while (budget > 0 && inPlaceBudget > 0) {
    std::ptrdiff_t read;
    const bool parsing = _framesRequested && !_readerStopped;
    std::size_t* spent = &budget;
    if (auto inPlace = parsing ? _readPayloadInPlace(*input, inPlaceBudget) : std::nullopt) {
      read = *inPlace;
      spent = &inPlaceBudget;
    } else {
      // The current block restarts when neither buffered bytes nor batches refer to it any
      // more; a full one is replaced by a free kept block, or by a new one.
      if (_readBlock && _readBlock.use_count() == (_readBlockKept ? 2 : 1)) _readBlockUsed = 0;
      if (!_readBlock || kReadBlockSize - _readBlockUsed < kMinimumRead) _nextReadBlock();
      read = input->read(_readBlock->data() + _readBlockUsed, kReadBlockSize - _readBlockUsed);
      // Once the reader has stopped (or nothing will ever read again) the bytes are dropped, so
      // that a peer that keeps sending cannot grow the buffer without bound.
      if (read > 0 && !_readerStopped && readyState() != WS_CLOSED) {
        const auto length = static_cast<std::size_t>(read);
        if (_framesRequested)
          _parseFrames(std::span<const std::uint8_t>(_readBlock->data() + _readBlockUsed, length),
                       &_readBlock);
        else
          _readBuffer.append(WSDispatchData(_readBlock, _readBlockUsed, length));
        _readBlockUsed += length;
      }
    }
    if (read == 0) return;
    if (read < 0) {
      // A stream this connection closed (after its close handshake) or that is not open yet
      // reads nothing; only a stream that failed is an error.
      if (input->streamStatus() != WSStreamStatusError) return;
      auto error = input->streamError();
      _failWithError(
          error ? *error : WSErrorWithDomainCodeDescription(NSPOSIXErrorDomain, 0, "Unknown stream error."));
      return;
    }
    *spent -= std::min(*spent, static_cast<std::size_t>(read));
  }
  // The budget is spent: the rest is read by a later step, after the messages read so far have
  // been handed on (and after any step queued meanwhile, such as a send).
  std::weak_ptr<WSWebSocketConnection> weak = shared_from_this();
  _workQueue->async([weak] {
    if (auto self = weak.lock()) self->_readAndParse();
  });
}

void WSWebSocketConnection::_readAndParse() {
  // The reports of one read step reach the delegate queue together.
  struct Hold {
    WSDelegateController& controller;
    explicit Hold(WSDelegateController& c) : controller(c) { controller.holdReports(); }
    ~Hold() { controller.releaseReports(); }
  } hold(*_delegateController);
  _takeReturnedBatches();
  _readFromInputStream();
  _pumpScanner();
}

void WSWebSocketConnection::_nextReadBlock() {
  // A kept block is free when only the list (and, for the current one, _readBlock) holds it.
  for (auto& block : _readBlocks) {
    if (block.use_count() == (block == _readBlock ? 2 : 1)) {
      _readBlock = block;
      _readBlockUsed = 0;
      _readBlockKept = true;
      return;
    }
  }
  _readBlock = std::make_shared<std::vector<std::uint8_t>>(kReadBlockSize);
  _readBlocksCreated.fetch_add(1, std::memory_order_relaxed);
  _allocatedSinceReleased.fetch_add(kReadBlockSize, std::memory_order_relaxed);
  _readBlockUsed = 0;
  _readBlockKept = _readBlocks.size() < kReadBlocksKept;
  if (_readBlockKept) _readBlocks.push_back(_readBlock);
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
