#include "websocket/WSIOConsumer.hpp"

#include <cstdio>
#include <cstdlib>

void WSIOConsumer::resetWithScanner(WSIOScanner scanner, WSIOHandler handler, std::uint64_t bytesNeeded,
                                    bool readToCurrentFrame, bool unmaskBytes) {
  _scanner = std::move(scanner);
  _handler = std::move(handler);
  _bytesNeeded = bytesNeeded;
  _readToCurrentFrame = readToCurrentFrame;
  _unmaskBytes = unmaskBytes;
  // A request that wants nothing could never complete.
  if (!(_scanner || _bytesNeeded)) {
    std::fprintf(stderr, "WSIOConsumer: assertion failed: _scanner || _bytesNeeded\n");
    std::abort();
  }
}

WSIOConsumerPool::WSIOConsumerPool(std::uint64_t bufferCapacity) : _poolSize(bufferCapacity) {
  _bufferedConsumers.reserve(static_cast<std::size_t>(bufferCapacity));
}

std::unique_ptr<WSIOConsumer> WSIOConsumerPool::consumerWithScanner(WSIOScanner scanner, WSIOHandler handler,
                                                                    std::uint64_t bytesNeeded,
                                                                    bool readToCurrentFrame,
                                                                    bool unmaskBytes) {
  std::unique_ptr<WSIOConsumer> consumer;
  if (!_bufferedConsumers.empty()) {
    consumer = std::move(_bufferedConsumers.back());
    _bufferedConsumers.pop_back();
  } else {
    consumer = std::make_unique<WSIOConsumer>();
  }
  consumer->resetWithScanner(std::move(scanner), std::move(handler), bytesNeeded, readToCurrentFrame,
                             unmaskBytes);
  return consumer;
}

void WSIOConsumerPool::returnConsumer(std::unique_ptr<WSIOConsumer> consumer) {
  if (_bufferedConsumers.size() < _poolSize) _bufferedConsumers.push_back(std::move(consumer));
}
