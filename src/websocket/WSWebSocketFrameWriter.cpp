// The connection's writer: sends gathered from any thread, frames composed and masked into a
// reused chunk as the socket takes them, the drain report, pongs, and the close once written.
#include "websocket/WSWebSocketConnection.hpp"

#include "platform/Log.hpp"
#include "platform/Memory.hpp"
#include "platform/Queue.hpp"
#include "platform/UTF8.hpp"
#include "websocket/WSDelegateController.hpp"
#include "websocket/detail/WSFrame.hpp"
#include "websocket/detail/WSRandom.hpp"
#include "websocket/detail/WSSIMDHelpers.hpp"

#include <algorithm>
#include <cstring>

namespace {

/// Outgoing frames are composed into a chunk of this size, and a step writes at most 4 MiB.
constexpr std::size_t kWriteChunkSize = 128 * 1024;
constexpr std::size_t kWriteStepBudget = 4 * 1024 * 1024;
constexpr std::size_t kMaximumFrameHeaderSize = 14;
/// A backed-up burst of at least this many bytes gives its memory back once it has been written;
/// the send lists keep room for at most this many messages.
constexpr std::uint64_t kReleaseAfterBurst = 1024 * 1024;
constexpr std::size_t kSendListsKept = 1024;

} // namespace

// ---- sending ----------------------------------------------------------------------------

bool WSWebSocketConnection::_stateError(const char* description, WSError* error) const {
  WSError failure = WSErrorWithCodeDescription(WSErrorCode::InvalidState, description);
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
      _failWithError(streamError
                         ? WSErrorWithCodeDescriptionUnderlyingError(WSErrorCode::WriteFailed,
                                                                     "Error writing to stream.", *streamError)
                         : WSErrorWithCodeDescription(WSErrorCode::WriteFailed, "Error writing to stream."));
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
    if (!_failed)
      _reportClose(_ownCloseReport ? *_ownCloseReport : CloseReport{_closeCode, _closeReason, true});
    _scheduleCleanup();
  }
}

// ---- pongs -------------------------------------------------------------------------------

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
