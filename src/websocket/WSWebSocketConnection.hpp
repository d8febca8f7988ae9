#pragma once
// The client end of one WebSocket connection (RFC 6455): the object behind WSWebSocket.
//
// Owns: its streams, read and output buffers, work queue, locks, connector and the server's
// response head. Holds its delegate weakly (through its WSDelegateController) and itself from
// open() until its clean-up step has run on the network thread.
//
// Threads: the public operations run on the caller's thread and only check state and queue
// work. Protocol work (handshake, reading, writing, close, fail) runs on the work queue, which is
// serial, so protocol fields need no lock. Stream events arrive on the network thread and are
// forwarded to the work queue. Reports run on the delegate queue.
//
// Locks: _propertyLock guards the ready state; _kvoLock (recursive) serialises a ready-state
// change with its notifications (order: _kvoLock, then _propertyLock); _objectLock (reentrant)
// guards the stream fields, the scheduled run loops, the self reference and the clean-up flag.
//
// Files: WSWebSocketConnection.cpp (the state machine), WSWebSocketHandshake.cpp,
// WSWebSocketFrameReader.cpp and WSWebSocketFrameWriter.cpp; the groups of members below say
// which.

#include "websocket/WSDispatchData.hpp"
#include "websocket/WSIOConsumer.hpp"
#include "websocket/WSMutex.hpp"
#include "websocket/WSURLRequest.hpp"
#include "websocket/WSWebSocket.hpp"
#include "websocket/stream/WSStream.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <utility>

namespace platform {
class SerialQueue;
}
class WSProxyConnect;
class WSFrameReader;
struct WSFrameEvent;
struct WSDelegateAvailableMethods;

class WSWebSocketConnection final : public WSWebSocket,
                                    public WSStreamDelegate,
                                    public std::enable_shared_from_this<WSWebSocketConnection> {
  struct Private {};

public:
  /// The largest message accepted, announced or assembled: a longer one is refused with 1009
  /// "Message too big" and nothing more is read.
  static constexpr std::uint64_t WSDefaultMaximumMessageSize = 64ull * 1024 * 1024;

  /// The designated creation. Throws std::invalid_argument for a request without URL.
  static std::shared_ptr<WSWebSocketConnection> create(const WSURLRequest& request,
                                                       const WSProtocols& protocols,
                                                       std::shared_ptr<WSSecurityPolicy> securityPolicy);

  WSWebSocketConnection(Private, const WSURLRequest& request, const WSProtocols& protocols,
                        std::shared_ptr<WSSecurityPolicy> securityPolicy);
  ~WSWebSocketConnection() override;

  // WSWebSocket
  void setDelegate(std::weak_ptr<WSWebSocketDelegate> delegate) override;
  std::shared_ptr<WSWebSocketDelegate> delegate() const override;
  void setDelegateDispatchQueue(std::shared_ptr<platform::Queue> queue) override;
  std::shared_ptr<platform::Queue> delegateDispatchQueue() const override;
  void setDelegateOperationQueue(std::shared_ptr<platform::Queue> queue) override;
  std::shared_ptr<platform::Queue> delegateOperationQueue() const override;
  WSDelegateController& delegateController() override { return *_delegateController; }
  void open() override;
  bool sendString(const std::string& string, WSError* error) override;
  bool sendData(const WSData& data, WSError* error) override;
  bool sendPing(const WSData& data, WSError* error) override;
  bool sendDataNoCopy(std::shared_ptr<const WSData> data, WSError* error) override;
  void send(const std::optional<WSMessage>& message) override;
  std::uint64_t bufferedAmount() const override { return _bufferedAmount.load(std::memory_order_relaxed); }
  void reportWhenOutputDrains() override;
  void close() override;
  void closeWithCode(std::int64_t code, const std::optional<std::string>& reason) override;
  std::int64_t readyState() const override;
  /// True while reading waits for the delegate to take the messages already read.
  bool readingPaused() const { return _readPaused; }
  /// Blocks the socket has been read into so far: a steady stream reuses a bounded few.
  std::size_t readBlocksCreated() const { return _readBlocksCreated.load(std::memory_order_relaxed); }
  std::string url() const override { return _url; }
  std::string protocol() const override;
  int addReadyStateObserver(ReadyStateObserver observer) override;
  void removeReadyStateObserver(int token) override;
  std::shared_ptr<const WSHTTPResponse> receivedHTTPHeaders() const override;
  std::optional<std::vector<WSHTTPCookie>> requestCookies() const override;
  void setRequestCookies(std::optional<std::vector<WSHTTPCookie>> cookies) override;
  bool allowsUntrustedSSLCertificates() const override { return _allowsUntrustedSSLCertificates.load(); }
  void setAllowsUntrustedSSLCertificates(bool allows) override {
    _allowsUntrustedSSLCertificates.store(allows);
  }
  void scheduleInRunLoop(platform::RunLoop& loop) override;
  void unscheduleFromRunLoop(platform::RunLoop& loop) override;

  // WSStreamDelegate (network thread)
  void streamHandleEvent(WSStream& stream, WSStreamEvent event) override;

  /// The message size bound (WSDefaultMaximumMessageSize unless changed before open()).
  std::uint64_t maximumMessageSize() const { return _maximumMessageSize; }
  void setMaximumMessageSize(std::uint64_t bytes) { _maximumMessageSize = bytes; }
  const std::shared_ptr<WSSecurityPolicy>& securityPolicy() const { return _securityPolicy; }

private:
  friend class WSIOConsumer;
  /// A block the socket is read into.
  using ReadBlock = std::shared_ptr<std::vector<std::uint8_t>>;
  /// The messages of one read step on their way to the delegate.
  struct ReceiveBatch;

  /// A stream event or a send on a connection whose work queue has been idle this long is
  /// handled on the thread that has it (the network loop, the caller) instead of waking a
  /// worker; steps that follow each other faster than that gather on the pool as a burst.
  static constexpr auto kInlineAfterQuiet = std::chrono::microseconds(20);

  // Connection object: state, lifecycle, errors (WSWebSocketConnection.cpp).
  [[noreturn]] static void fatalInternalError(const char* what);
  void assertOnWorkQueue() const;
  void setReadyState(std::int64_t state);
  void _connectionDone(const std::optional<WSError>& error, std::shared_ptr<WSInputStream> readStream,
                       std::shared_ptr<WSOutputStream> writeStream);
  void _failWithError(const WSError& error);
  /// _failConnection with 1002 and `message`.
  void _closeWithProtocolError(std::string message);
  void closeConnection();
  void _scheduleCleanup();
  void _cleanupSelfReference();
  /// What a close report says.
  struct CloseReport {
    std::int64_t code;
    std::optional<std::string> reason;
    bool wasClean;
  };
  /// This side refuses the peer's input (work queue): reading stops, the messages complete
  /// before the refusal go to the delegate, the close report is fixed (_ownCloseReport), and
  /// then, behind those reports, the close with `code` and `reason` and closeConnection(). Only
  /// the first refusal counts.
  void _failConnection(std::int64_t code, std::string reason);
  /// Queues the close report for the delegate.
  void _reportClose(CloseReport report);

  // Opening handshake (WSWebSocketHandshake.cpp).
  void didConnect();
  void _readHTTPHeader();
  void _httpHeadersDidFinish();
  /// The response head is read through byte-sequence consumers over _readBuffer.
  void _addConsumerWithScanner(WSIOScanner scanner, WSIOHandler callback);
  void _readUntilBytes(const std::uint8_t* bytes, std::size_t length, WSIOHandler callback);
  bool _pumpConsumer();
  void _consumeReadBuffer(std::uint64_t length);

  // Frame reader (WSWebSocketFrameReader.cpp).
  void _pumpScanner();
  void _markDelivery();
  void _messagesDelivered(std::uint64_t bytes);
  bool _innerPumpScanner();
  void _readFrameNew();
  /// Parses the bytes that came with the handshake's head; the frames read later are parsed as
  /// they are read.
  void _readFrameContinue();
  /// Runs the frame reader over `bytes`, all of them unless it stops; `block` is the read block
  /// they lie in (messages wholly inside it are delivered from it), or nullptr. False once the
  /// reader has stopped.
  bool _parseFrames(std::span<const std::uint8_t> bytes, const ReadBlock* block);
  /// A data frame's header; `rest` bytes of the span follow it.
  void _handleFrameHeader(const WSFrameEvent& event, std::size_t rest, const ReadBlock* block);
  /// A piece of a data frame's payload; false when its text is refused.
  bool _handleFramePayload(const WSFrameEvent& event, const ReadBlock* block);
  /// `length` payload bytes have been appended to the message being assembled.
  bool _assembledPayload(std::size_t length, const WSFrameEvent& event);
  /// Reads up to `budget` bytes of the payload of the message being assembled straight into
  /// its buffer: what the read returned, or nothing when there is no payload to read that way.
  std::optional<std::ptrdiff_t> _readPayloadInPlace(WSInputStream& input, std::size_t budget);
  /// The reader refused the input: the close it asks for.
  void _handleReaderFailure();
  void _handleFrameWithData(WSData data, std::uint8_t opcode);
  /// A finished data message (its text checked), into the step's batch.
  void _receivedMessage(const std::uint8_t* bytes, std::size_t length, std::uint8_t opcode,
                        const ReadBlock* block);
  void _receivedAssembledMessage();
  /// The step's batch, created on first use; holds `block` from now on.
  ReceiveBatch& _batchHolding(const ReadBlock* block);
  /// Hands the step's messages to the delegate queue as one report.
  void _postBatch();
  /// On the delegate queue: each message of `batch` to the delegate, then the batch goes back.
  void _deliverBatch(const std::shared_ptr<ReceiveBatch>& batch, WSWebSocketDelegate* delegate,
                     WSDelegateAvailableMethods methods);
  /// Takes back the delivered batches: their blocks, message buffers and lists are reused.
  void _takeReturnedBatches();
  /// One read step: the socket read while it has bytes (within the step's budget) and parsed.
  void _readAndParse();
  void _readFromInputStream();
  void _nextReadBlock();
  void handleCloseWithData(const WSData& data);
  void _handlePingWithData(std::shared_ptr<const WSData> data);
  void handlePong(std::shared_ptr<const WSData> data);

  // Frame writer and output pump (WSWebSocketFrameWriter.cpp).
  /// An outgoing frame (a payload to compose) or raw bytes (the handshake request).
  struct Outgoing {
    std::shared_ptr<const WSData> payload;
    WSDispatchData raw;
    std::uint8_t opcode = 0;
    bool started = false;
    std::array<std::uint8_t, 4> maskKey{};
    /// Payload (or raw) bytes already composed into the write chunk.
    std::uint64_t progress = 0;
    /// A user's message: counted in _bufferedAmount until it is composed.
    bool counted = false;
  };
  void _queueSend(std::uint8_t opcode, std::shared_ptr<const WSData> data);
  void _takePendingSends();
  void _sendFrameWithOpcode(std::uint8_t opcode, std::shared_ptr<const WSData> data);
  void _writeData(WSDispatchData data);
  void _enqueueOutgoing(Outgoing item);
  void _schedulePump();
  bool _outputDrained() const;
  void _fillWriteChunk();
  void _pumpWriting();
  /// Output written out: the drain report when asked for, and the end of a backed-up burst.
  void _outputDidDrain();
  /// The frame of `item` has left _outgoing (composed or dropped).
  void _outgoingDone(const Outgoing& item);
  /// The pongs of the pings reported since the last answer.
  void _answerPings();
  bool _stateError(const char* description, WSError* error) const;

  // Stream events (WSWebSocketConnection.cpp).
  void safeHandleEvent(WSStreamEvent event, const std::shared_ptr<WSStream>& stream);
  void _updateSecureStreamOptions();
  std::shared_ptr<WSStream> _retainedStream(const WSStream& stream);

  // ---- fields ----
  WSRecursiveMutex _kvoLock;
  mutable std::mutex _propertyLock;
  std::shared_ptr<platform::SerialQueue> _workQueue;
  std::deque<std::unique_ptr<WSIOConsumer>> _consumers;
  std::shared_ptr<WSInputStream> _inputStream;   // _objectLock
  std::shared_ptr<WSOutputStream> _outputStream; // _objectLock
  WSDispatchData _readBuffer;
  std::uint64_t _readBufferOffset = 0;
  std::deque<Outgoing> _outgoing;
  /// Sends made since the last step took them (_sendLock), and the list that step took.
  std::mutex _sendLock;
  std::vector<Outgoing> _pendingSends;
  std::vector<Outgoing> _takenSends;
  /// Composed bytes waiting for the socket: [_writeChunkOffset, _writeChunkLength).
  std::vector<std::uint8_t> _writeChunk;
  std::size_t _writeChunkOffset = 0;
  std::size_t _writeChunkLength = 0;
  /// Bytes of user messages sent and not yet composed (any thread).
  std::atomic<std::uint64_t> _bufferedAmount{0};
  /// A drain report has been asked for; bytes queued since the output was last drained, and
  /// whether the socket has refused some of them meanwhile (the output is backed up).
  bool _drainReportRequested = false;
  std::uint64_t _queuedSinceDrained = 0;
  bool _outputBackedUp = false;
  /// Bytes allocated for reading since the memory of a burst was last given back (work queue).
  std::atomic<std::uint64_t> _allocatedSinceReleased{0};
  /// The pong in _outgoing that has not been composed yet. While the output is backed up it
  /// takes the payload of each later ping instead of a pong per ping (RFC 6455 section 5.5.3
  /// lets a pong answer only the most recent ping). Deque elements stay put as the ends change.
  Outgoing* _waitingPong = nullptr;
  /// Pings reported and waiting for their pong (_pingLock; added on the delegate queue).
  std::mutex _pingLock;
  std::vector<std::shared_ptr<const WSData>> _pingsToAnswer;
  std::uint64_t _currentStringScanPosition = 0;
  /// Parses frames once the handshake is done and the first frame has been asked for.
  std::unique_ptr<WSFrameReader> _frameReader;
  bool _framesRequested = false;
  /// Blocks the socket is read into; a block is reused once neither buffered bytes nor a batch
  /// on its way to the delegate refer to it.
  std::vector<ReadBlock> _readBlocks;
  ReadBlock _readBlock;
  std::size_t _readBlockUsed = 0;
  bool _readBlockKept = false;
  std::atomic<std::size_t> _readBlocksCreated{0};
  /// The messages of the current read step (work queue), batches to reuse, and the delivered
  /// batches given back by the delegate queue (_returnLock).
  std::shared_ptr<ReceiveBatch> _batch;
  std::vector<std::shared_ptr<ReceiveBatch>> _spareBatches;
  std::mutex _returnLock;
  std::vector<std::shared_ptr<ReceiveBatch>> _returnedBatches;
  /// The message being assembled (fragmented, cut across blocks or large) and its length so
  /// far; buffers of delivered ones kept for the next, with the bytes they hold (work queue).
  std::optional<WSMessage> _assembling;
  std::size_t _assembledLength = 0;
  std::uint8_t _assemblingOpcode = 0;
  std::vector<WSMessage> _spareMessages;
  std::size_t _spareMessageBytes = 0;
  /// The frame whose header was just read lies whole in the span being parsed.
  bool _messageInSpan = false;
  /// Bytes of control reports parsed in the current step (work queue), of reports and batches
  /// handed to the delegate queue and not yet delivered (any thread), and whether reading waits.
  std::uint64_t _undeliveredInStep = 0;
  std::atomic<std::uint64_t> _undeliveredBytes{0};
  std::atomic<bool> _readPaused{false};
  std::optional<std::string> _closeReason;
  std::string _secKey;
  std::shared_ptr<WSSecurityPolicy> _securityPolicy;
  const bool _requestRequiresSSL;
  bool _streamSecurityValidated = false; // network thread only
  const WSURLRequest _urlRequest;
  /// How the connection ends, beside the ready state, which cannot tell these apart: a failure
  /// and the end of the stream both reach WS_CLOSED, and a close stays WS_CLOSING from its close
  /// frame until the streams are closed (work queue).
  /// closeConnection() has run: nothing more is queued, and the streams close once written.
  bool _closeWhenFinishedWriting = false;
  /// The connection failed: no close report follows its failure report.
  bool _failed = false;
  /// The close has been reported or left unreported (the pump closed the streams, or the end of
  /// the stream was seen): it happens once.
  bool _sentClose = false;
  bool _cleanupScheduled = false; // _objectLock
  std::int32_t _closeCode = 0;
  /// The close report of a connection this side refused, taken when it refused it: the peer's
  /// close code and reason received until then (0 and none without a close frame), clean. The
  /// output pump and the end of the stream both report it, whichever comes first.
  std::optional<CloseReport> _ownCloseReport;
  bool _isPumping = false;
  /// A pump step is queued for frames appended since the last one.
  bool _pumpScheduled = false;
  /// The reader refused the input (a protocol error, invalid text, a message too big): it stays
  /// stopped and ignores later bytes.
  bool _readerStopped = false;
  std::set<platform::RunLoop*> _scheduledRunloops;    // _objectLock
  std::shared_ptr<WSWebSocketConnection> _selfRetain; // _objectLock
  const WSProtocols _requestedProtocols;
  WSIOConsumerPool _consumerPool;
  std::shared_ptr<WSProxyConnect> _proxyConnect; // _objectLock
  std::atomic<bool> _allowsUntrustedSSLCertificates{false};
  std::atomic<std::int64_t> _readyState{WS_CONNECTING}; // written under _propertyLock
  const std::string _url;
  std::shared_ptr<WSHTTPResponse> _receivedHTTPHeaders;
  std::shared_ptr<const WSHTTPResponse> _publishedHTTPHeaders; // _propertyLock
  std::optional<std::vector<WSHTTPCookie>> _requestCookies;    // _propertyLock
  std::string _protocol;                                       // _propertyLock
  std::shared_ptr<WSDelegateController> _delegateController;
  mutable std::recursive_mutex _objectLock;
  std::atomic<bool> _opened{false};
  std::uint64_t _maximumMessageSize = WSDefaultMaximumMessageSize;
  std::mutex _observerLock;
  std::vector<std::pair<int, ReadyStateObserver>> _observers; // _observerLock
  int _nextObserverToken = 1;
};
