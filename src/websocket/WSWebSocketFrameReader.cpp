// The connection's reader: the socket read in blocks and parsed in place, data messages handed
// to the delegate queue a read step at a time, control frames handled, and flow control.
#include "websocket/WSWebSocketConnection.hpp"

#include "platform/Log.hpp"
#include "platform/Memory.hpp"
#include "platform/Queue.hpp"
#include "platform/UTF8.hpp"
#include "websocket/WSDelegateController.hpp"
#include "websocket/detail/WSFrame.hpp"
#include "websocket/detail/WSFrameReader.hpp"

#include <algorithm>
#include <cstring>

namespace {

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
/// Reading: the memory is given back once all is delivered, the socket is empty and this much
/// was allocated for reading since the last time (blocks and message buffers beyond the pools,
/// control frames): after a burst, never in traffic the pools serve.
constexpr std::uint64_t kReleaseAfterReadBurst = 256 * 1024;
/// Pings reported and not yet answered beyond which only the latest is answered.
constexpr std::size_t kPingsAnsweredEach = 64;

} // namespace

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

void WSWebSocketConnection::_readFrameNew() {
  auto self = shared_from_this();
  // Queued: the handshake requests the first frame before the open report, whose step must
  // still reach the delegate queue before any message read with the head.
  _workQueue->async([self] {
    *self->_frameReader = WSFrameReader(self->_maximumMessageSize);
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
    const std::size_t taken = _frameReader->read(bytes, &event);
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
  if (_frameReader->closeCode() == 1009)
    XLOG("WebSocket", "Refusing a message of more than %lu bytes",
         static_cast<unsigned long>(_maximumMessageSize));
  // A protocol error (1002), text that is not UTF-8 (1007) or a message too big (1009).
  _failConnection(_frameReader->closeCode(), _frameReader->failureReason());
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
        _frameReader->fail(1007, *error);
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
      _frameReader->fail(1007, *error);
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
  const std::uint64_t remaining = _frameReader->payloadRemaining();
  if (!_assembling || remaining < kReadInPlaceMinimum) return std::nullopt;
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, budget));
  WSMessage& message = *_assembling;
  if (MessageBytes(message).size() < _assembledLength + length)
    ResizeMessage(message, _assembledLength + length);
  const std::ptrdiff_t read = input.read(MessageBytes(message).data() + _assembledLength, length);
  if (read <= 0) return read;
  const auto taken = static_cast<std::size_t>(read);
  WSFrameEvent event;
  _frameReader->takePayloadInPlace(taken, &event);
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

void WSWebSocketConnection::handlePong(std::shared_ptr<const WSData> data) {
  XLOG("WebSocket", "Received pong");
  auto self = shared_from_this();
  _delegateController->performDelegateBlock([self, data](const auto& delegate, WSDelegateAvailableMethods m) {
    if (delegate && m.didReceivePong) delegate->webSocketDidReceivePong(*self, *data);
  });
}

// ---- reading the socket ----------------------------------------------------------------

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
