#include "websocket/detail/WSFrameReader.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

std::size_t WSFrameReader::read(std::span<const std::uint8_t> bytes, WSFrameEvent* event) {
  *event = WSFrameEvent{};
  switch (_state) {
  case State::Failed:
    event->kind = WSFrameEvent::Kind::Failed;
    return 0;
  case State::Header:
    return readHeader(bytes, event);
  case State::DataPayload: {
    const std::size_t take = takePayload(bytes.size(), event);
    event->bytes = bytes.first(take);
    return take;
  }
  case State::ControlPayload: {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), _payloadRemaining));
    event->opcode = _frameOpcode;
    event->fin = true;
    event->frameComplete = true;
    if (_controlSize == 0 && take == _payloadRemaining) {
      // The whole payload is in this span: reported from it.
      _payloadRemaining = 0;
      _state = State::Header;
      event->kind = WSFrameEvent::Kind::ControlFrame;
      event->bytes = bytes.first(take);
      return take;
    }
    if (take > 0) std::memcpy(_control.data() + _controlSize, bytes.data(), take);
    _controlSize += take;
    _payloadRemaining -= take;
    if (_payloadRemaining > 0) {
      *event = WSFrameEvent{};
      return take;
    }
    _state = State::Header;
    event->kind = WSFrameEvent::Kind::ControlFrame;
    event->bytes = std::span<const std::uint8_t>(_control.data(), std::exchange(_controlSize, 0));
    return take;
  }
  }
  return 0;
}

void WSFrameReader::takePayloadInPlace(std::size_t length, WSFrameEvent* event) {
  *event = WSFrameEvent{};
  if (_state == State::DataPayload) takePayload(length, event);
}

std::size_t WSFrameReader::takePayload(std::size_t available, WSFrameEvent* event) {
  if (available == 0) return 0;
  const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(available, _payloadRemaining));
  _payloadRemaining -= take;
  event->kind = WSFrameEvent::Kind::DataPayload;
  event->opcode = _messageOpcode;
  event->fin = _frameFin;
  if (_payloadRemaining == 0) {
    event->frameComplete = true;
    _state = State::Header;
    if (_frameFin) {
      _messageOpcode = 0;
      _messageFrames = 0;
      _messageLength = 0;
    }
  }
  return take;
}

std::size_t WSFrameReader::readHeader(std::span<const std::uint8_t> bytes, WSFrameEvent* event) {
  // Usually the whole header is in the span and is parsed from it; a header cut across spans is
  // gathered first. Its first two bytes are checked as soon as they are there.
  const bool whole = _headSize == 0 && bytes.size() >= 2 && bytes.size() >= WSFrameHeaderSize(bytes[1]);
  std::size_t taken = 0;
  auto gather = [&](std::size_t upTo) {
    const std::size_t n = std::min(upTo - std::min(upTo, _headSize), bytes.size() - taken);
    if (n > 0) std::memcpy(_head.data() + _headSize, bytes.data() + taken, n);
    _headSize += n;
    taken += n;
    return _headSize >= upTo;
  };
  if (!whole && !gather(2)) return taken;
  const std::uint8_t* start = whole ? bytes.data() : _head.data();
  std::uint8_t opcode = 0;
  // Section 5.2, in this order: RSV bits, continuation, new data opcode inside a message, MASK.
  if (auto error = WSCheckFrameStart(start[0], start[1], _messageFrames, _messageOpcode, &opcode))
    return failWith(1002, std::string(*error), whole ? 2 : taken, event);
  std::optional<WSFrameHeader> header;
  if (whole) {
    header = WSParseFrameHeader(bytes);
    taken = header->headerSize;
  } else {
    if (!gather(WSFrameHeaderSize(_head[1]))) return taken;
    header = WSParseFrameHeader(std::span<const std::uint8_t>(_head.data(), _headSize));
    _headSize = 0;
  }
  const std::uint64_t length = header->payloadLength;
  if (auto error = WSCheckControlFrame(opcode, header->fin, length))
    return failWith(1002, std::string(*error), taken, event);

  if (WSOpcodeIsControl(opcode)) {
    // Control frames may come amid a fragmented message, which goes on after them.
    _frameOpcode = opcode;
    _payloadRemaining = length;
    _state = State::ControlPayload;
    return taken + read(bytes.subspan(taken), event);
  }

  _messageOpcode = opcode;
  ++_messageFrames;
  // The bound holds for the announced length, before anything is buffered for it; extended
  // lengths are taken as sent and the absurd ones end here.
  if (length > _maximumMessageSize || _messageLength > _maximumMessageSize - length)
    return failWith(1009, "Message too big", taken, event);
  _messageLength += length;
  event->kind = WSFrameEvent::Kind::DataHeader;
  event->opcode = opcode;
  event->fin = header->fin;
  event->payloadLength = length;
  _frameFin = header->fin;
  _payloadRemaining = length;
  if (length == 0) {
    event->frameComplete = true;
    if (_frameFin) {
      _messageOpcode = 0;
      _messageFrames = 0;
      _messageLength = 0;
    }
  } else {
    _state = State::DataPayload;
  }
  return taken;
}

void WSFrameReader::fail(std::int32_t closeCode, std::string reason) {
  if (_state == State::Failed) return;
  _state = State::Failed;
  _closeCode = closeCode;
  _failureReason = std::move(reason);
}

std::size_t WSFrameReader::failWith(std::int32_t code, std::string reason, std::size_t taken,
                                    WSFrameEvent* event) {
  fail(code, std::move(reason));
  *event = WSFrameEvent{};
  event->kind = WSFrameEvent::Kind::Failed;
  return taken;
}
