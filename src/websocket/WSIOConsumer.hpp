#pragma once
// Pending read requests of a connection's frame reader, and the pool that recycles them.
//
// A request asks either for an exact number of bytes (a length request) or for every byte up to
// and including a byte sequence (a scanner request). Requests are served strictly in order on
// the connection's work queue; nothing here is thread-safe.

#include "websocket/WSDispatchData.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class WSWebSocketConnection;

/// How many bytes a scanner request takes from the unread bytes; 0 while incomplete.
using WSIOScanner = std::function<std::uint64_t(const WSDispatchData& unread)>;
/// Called when a request is complete: with the bytes, or nullptr for a request that read into
/// the current message.
using WSIOHandler = std::function<void(WSWebSocketConnection& connection, const WSDispatchData* data)>;

class WSIOConsumer {
public:
  /// Stores the functions and values; a request needs a scanner or a byte count.
  void resetWithScanner(WSIOScanner scanner, WSIOHandler handler, std::uint64_t bytesNeeded,
                        bool readToCurrentFrame, bool unmaskBytes);

  const WSIOScanner& consumer() const { return _scanner; }
  const WSIOHandler& handler() const { return _handler; }
  std::uint64_t bytesNeeded() const { return _bytesNeeded; }
  void setBytesNeeded(std::uint64_t bytesNeeded) { _bytesNeeded = bytesNeeded; }
  bool readToCurrentFrame() const { return _readToCurrentFrame; }
  bool unmaskBytes() const { return _unmaskBytes; }

private:
  WSIOScanner _scanner;
  WSIOHandler _handler;
  std::uint64_t _bytesNeeded = 0;
  bool _readToCurrentFrame = false;
  bool _unmaskBytes = false;
};

class WSIOConsumerPool {
public:
  static constexpr std::uint64_t WSDefaultConsumerPoolSize = 8;

  explicit WSIOConsumerPool(std::uint64_t bufferCapacity = WSDefaultConsumerPoolSize);

  /// An idle record (the most recently returned one) or a new one, reset with the values.
  std::unique_ptr<WSIOConsumer> consumerWithScanner(WSIOScanner scanner, WSIOHandler handler,
                                                    std::uint64_t bytesNeeded, bool readToCurrentFrame,
                                                    bool unmaskBytes);
  /// Keeps the record for reuse while fewer than the capacity are idle, else drops it.
  void returnConsumer(std::unique_ptr<WSIOConsumer> consumer);

  std::size_t idleCount() const { return _bufferedConsumers.size(); }

private:
  std::uint64_t _poolSize;
  std::vector<std::unique_ptr<WSIOConsumer>> _bufferedConsumers;
};
