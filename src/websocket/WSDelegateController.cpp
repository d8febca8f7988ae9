#include "websocket/WSDelegateController.hpp"

#include "platform/RunLoop.hpp"

#include <mutex>

std::uint16_t WSDelegateAvailableMethods::bits() const {
  return static_cast<std::uint16_t>(didReceiveMessage << 0 | didReceiveMessageWithString << 1 |
                                    didReceiveMessageWithData << 2 | didOpen << 3 | didFailWithError << 4 |
                                    didCloseWithCode << 5 | didReceivePing << 6 | didReceivePong << 7 |
                                    shouldConvertTextFrameToString << 8);
}

WSDelegateAvailableMethods WSDelegateAvailableMethods::fromBits(std::uint16_t bits) {
  WSDelegateAvailableMethods m{};
  m.didReceiveMessage = bits & 1;
  m.didReceiveMessageWithString = bits & 2;
  m.didReceiveMessageWithData = bits & 4;
  m.didOpen = bits & 8;
  m.didFailWithError = bits & 16;
  m.didCloseWithCode = bits & 32;
  m.didReceivePing = bits & 64;
  m.didReceivePong = bits & 128;
  m.shouldConvertTextFrameToString = bits & 256;
  return m;
}

std::shared_ptr<platform::Queue> WSDelegateController::mainQueue() {
  return std::shared_ptr<platform::Queue>(std::shared_ptr<void>(), &platform::RunLoop::main().queue());
}

WSDelegateController::WSDelegateController() : _dispatchQueue(mainQueue()) {}

void WSDelegateController::setDelegate(std::weak_ptr<WSWebSocketDelegate> delegate) {
  std::unique_lock lock(_accessLock);
  _delegate = std::move(delegate);
  // Recorded once, here: a present delegate takes every report (see WSDelegateAvailableMethods).
  _availableDelegateMethods = WSDelegateAvailableMethods::fromBits(_delegate.expired() ? 0 : 0x1FF);
}

std::shared_ptr<WSWebSocketDelegate> WSDelegateController::delegate() const {
  std::shared_lock lock(_accessLock);
  return _delegate.lock();
}

void WSDelegateController::setDispatchQueue(std::shared_ptr<platform::Queue> queue) {
  std::unique_lock lock(_accessLock);
  _dispatchQueue = queue ? std::move(queue) : mainQueue();
  _operationQueue.reset();
}

std::shared_ptr<platform::Queue> WSDelegateController::dispatchQueue() const {
  std::shared_lock lock(_accessLock);
  return _dispatchQueue;
}

void WSDelegateController::setOperationQueue(std::shared_ptr<platform::Queue> queue) {
  std::unique_lock lock(_accessLock);
  if (queue) {
    _operationQueue = std::move(queue);
    _dispatchQueue.reset();
  } else {
    _operationQueue.reset();
    _dispatchQueue = mainQueue();
  }
}

std::shared_ptr<platform::Queue> WSDelegateController::operationQueue() const {
  std::shared_lock lock(_accessLock);
  return _operationQueue;
}

WSDelegateAvailableMethods WSDelegateController::availableDelegateMethods() const {
  std::shared_lock lock(_accessLock);
  return _availableDelegateMethods;
}

void WSDelegateController::setAvailableDelegateMethods(WSDelegateAvailableMethods methods) {
  std::unique_lock lock(_accessLock);
  _availableDelegateMethods = methods;
}

void WSDelegateController::performDelegateBlock(DelegateBlock block) {
  std::shared_ptr<WSWebSocketDelegate> delegate;
  WSDelegateAvailableMethods methods;
  {
    std::shared_lock lock(_accessLock);
    delegate = _delegate.lock();
    methods = delegate ? _availableDelegateMethods : WSDelegateAvailableMethods{};
  }
  // The strong reference keeps the delegate alive until the report has run.
  performDelegateQueueBlock(
      [block = std::move(block), delegate = std::move(delegate), methods] { block(delegate, methods); });
}

void WSDelegateController::performDelegateQueueBlock(std::function<void()> block) {
  std::shared_ptr<platform::Queue> queue;
  {
    std::shared_lock lock(_accessLock);
    queue = _dispatchQueue ? _dispatchQueue : _operationQueue;
  }
  // Reports join the batch still waiting on the same queue; otherwise a new batch is handed to
  // the queue. A batch runs after every batch handed to that queue before it, so reports keep
  // their order on a serial queue, and each still runs after the call that made it returned.
  std::shared_ptr<Batch> batch;
  {
    std::lock_guard lock(*_batchLock);
    if (_openBatch && !_openBatch->draining && _openBatchQueue == queue.get()) {
      _openBatch->blocks.push_back(std::move(block));
      return;
    }
    batch = std::make_shared<Batch>();
    batch->blocks.push_back(std::move(block));
    _openBatch = batch;
    _openBatchQueue = queue.get();
  }
  queue->async([batch, lock = _batchLock] {
    std::vector<std::function<void()>> blocks;
    {
      std::lock_guard guard(*lock);
      batch->draining = true;
      blocks.swap(batch->blocks);
    }
    for (auto& b : blocks) {
      b();
      b = nullptr; // release what the report held (the delegate, the connection) as it finishes
    }
  });
}
