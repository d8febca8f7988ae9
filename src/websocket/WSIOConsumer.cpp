#include "websocket/WSIOConsumer.hpp"

#include <cstdio>
#include <cstdlib>

void WSIOConsumer::resetWithScanner(WSIOScanner scanner, WSIOHandler handler) {
  _scanner = std::move(scanner);
  _handler = std::move(handler);
  // A request that wants nothing could never complete.
  if (!_scanner) {
    std::fprintf(stderr, "WSIOConsumer: assertion failed: _scanner\n");
    std::abort();
  }
}

WSIOConsumerPool::WSIOConsumerPool(std::uint64_t bufferCapacity) : _poolSize(bufferCapacity) {
  _bufferedConsumers.reserve(static_cast<std::size_t>(bufferCapacity));
}

std::unique_ptr<WSIOConsumer> WSIOConsumerPool::consumerWithScanner(WSIOScanner scanner,
                                                                    WSIOHandler handler) {
  std::unique_ptr<WSIOConsumer> consumer;
  if (!_bufferedConsumers.empty()) {
    consumer = std::move(_bufferedConsumers.back());
    _bufferedConsumers.pop_back();
  } else {
    consumer = std::make_unique<WSIOConsumer>();
  }
  consumer->resetWithScanner(std::move(scanner), std::move(handler));
  return consumer;
}

void WSIOConsumerPool::returnConsumer(std::unique_ptr<WSIOConsumer> consumer) {
  if (_bufferedConsumers.size() < _poolSize) _bufferedConsumers.push_back(std::move(consumer));
}
