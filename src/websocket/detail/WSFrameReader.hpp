#pragma once
// The client's frame reader (RFC 6455 section 5): the server's bytes in, one event per step out.
//
// Bytes are handed over as spans of the connection's read blocks and parsed in place: a data
// frame's payload comes out as pieces of the caller's own span; only a header cut across two
// spans and a control frame's payload cut across spans are copied (at most 14 and 125 bytes).
// Tracks the message in progress (its opcode and length so far) for the fragmentation rules.
//
// Failure is sticky: once the reader has refused the input it consumes nothing more and keeps the
// close code and reason text the connection closes with. Not thread-safe; one connection's work
// queue drives it.

#include "websocket/detail/WSFrame.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

struct WSFrameEvent {
  enum class Kind : std::uint8_t {
    /// Every byte given was taken; the next event needs more.
    NeedMore,
    /// A data frame's header: `opcode` is the message's (a continuation takes the first frame's),
    /// `fin`, `payloadLength`. `frameComplete` for an empty payload.
    DataHeader,
    /// A piece of a data frame's payload, in `bytes`; `frameComplete` on its last piece.
    DataPayload,
    /// A whole control frame: `opcode` and its payload in `bytes`.
    ControlFrame,
    /// The reader has failed: see closeCode() and failureReason().
    Failed,
  };
  Kind kind = Kind::NeedMore;
  std::uint8_t opcode = 0;
  bool fin = false;
  bool frameComplete = false;
  std::uint64_t payloadLength = 0;
  /// Points into the span given to read(), or into the reader for a control frame that was cut.
  /// Valid until the next call.
  std::span<const std::uint8_t> bytes;
};

class WSFrameReader {
public:
  /// What the reader waits for.
  enum class State : std::uint8_t {
    /// The first bytes of a frame header (or the rest of one cut across spans).
    Header,
    /// The rest of a data frame's payload.
    DataPayload,
    /// The rest of a control frame's payload, gathered whole before it is reported.
    ControlPayload,
    /// The input was refused; nothing more is read.
    Failed,
  };

  /// `maximumMessageSize` bounds a message's total announced length (1009 beyond it).
  explicit WSFrameReader(std::uint64_t maximumMessageSize) : _maximumMessageSize(maximumMessageSize) {}

  /// One step: takes bytes from the front of `bytes` up to and including the next event, stores
  /// the event in `*event` and returns how many bytes were taken. With nothing left to report
  /// the event is NeedMore and all bytes are taken. Once failed: 0, and a Failed event.
  std::size_t read(std::span<const std::uint8_t> bytes, WSFrameEvent* event);

  /// Takes `length` bytes of the current data frame's payload that the caller has put in place
  /// itself (read straight into its message buffer): the DataPayload event of read() without
  /// its bytes. Only in DataPayload state, and at most payloadRemaining() bytes.
  void takePayloadInPlace(std::size_t length, WSFrameEvent* event);
  /// Bytes of the current data frame's payload still to come (DataPayload state).
  std::uint64_t payloadRemaining() const { return _state == State::DataPayload ? _payloadRemaining : 0; }

  /// Refuses the rest of the input for a reason of the caller's (invalid text, say).
  void fail(std::int32_t closeCode, std::string reason);

  State state() const { return _state; }
  bool failed() const { return _state == State::Failed; }
  /// 1002 for a protocol error, 1009 for a message too big, or the caller's code; 0 until failed.
  std::int32_t closeCode() const { return _closeCode; }
  const std::string& failureReason() const { return _failureReason; }
  /// True between the first frame of a fragmented message and its final frame.
  bool inMessage() const { return _messageFrames != 0; }

private:
  /// The DataPayload event for the next `available` bytes; returns how many it takes.
  std::size_t takePayload(std::size_t available, WSFrameEvent* event);
  std::size_t readHeader(std::span<const std::uint8_t> bytes, WSFrameEvent* event);
  std::size_t failWith(std::int32_t code, std::string reason, std::size_t taken, WSFrameEvent* event);

  State _state = State::Header;
  std::uint64_t _maximumMessageSize;
  /// The message in progress: its opcode, frames and payload bytes announced so far.
  std::uint8_t _messageOpcode = 0;
  std::uint64_t _messageFrames = 0;
  std::uint64_t _messageLength = 0;
  /// The current frame.
  std::uint8_t _frameOpcode = 0;
  bool _frameFin = false;
  std::uint64_t _payloadRemaining = 0;
  /// A header cut across spans, and a control payload cut across spans.
  std::array<std::uint8_t, WSFrameMaxHeaderSize> _head{};
  std::size_t _headSize = 0;
  std::array<std::uint8_t, WSMaxControlPayloadLength> _control{};
  std::size_t _controlSize = 0;
  std::int32_t _closeCode = 0;
  std::string _failureReason;
};
