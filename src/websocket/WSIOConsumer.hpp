#pragma once
// Pending read requests of a connection's opening handshake, and the pool that recycles them.
//
// A request asks for every byte up to and including a byte sequence (the response head's end),
// as its scanner decides. Requests are served strictly in order on the connection's work queue;
// nothing here is thread-safe. Frames do not go through requests: the frame reader parses them.

#include "websocket/WSDispatchData.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class WSWebSocketConnection;

/// How many bytes a scanner request takes from the unread bytes; 0 while incomplete.
using WSIOScanner = std::function<std::uint64_t(const WSDispatchData& unread)>;
/// Called when a request is complete, with the bytes it took.
using WSIOHandler = std::function<void(WSWebSocketConnection& connection, const WSDispatchData* data)>;

class WSIOConsumer {
public:
  /// Stores the functions; a request needs a scanner.
  void resetWithScanner(WSIOScanner scanner, WSIOHandler handler);

  const WSIOScanner& consumer() const { return _scanner; }
  const WSIOHandler& handler() const { return _handler; }

private:
  WSIOScanner _scanner;
  WSIOHandler _handler;
};

class WSIOConsumerPool {
public:
  static constexpr std::uint64_t WSDefaultConsumerPoolSize = 8;

  explicit WSIOConsumerPool(std::uint64_t bufferCapacity = WSDefaultConsumerPoolSize);

  /// An idle record (the most recently returned one) or a new one, reset with the functions.
  std::unique_ptr<WSIOConsumer> consumerWithScanner(WSIOScanner scanner, WSIOHandler handler);
  /// Keeps the record for reuse while fewer than the capacity are idle, else drops it.
  void returnConsumer(std::unique_ptr<WSIOConsumer> consumer);

  std::size_t idleCount() const { return _bufferedConsumers.size(); }

private:
  std::uint64_t _poolSize;
  std::vector<std::unique_ptr<WSIOConsumer>> _bufferedConsumers;
};
