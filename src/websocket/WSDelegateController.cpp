#include "websocket/WSDelegateController.hpp"

#include "platform/RunLoop.hpp"

#include <mutex>
#include <utility>

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
  std::lock_guard lock(_shared->mutex);
  _delegate = std::move(delegate);
  // Recorded once, here: a present delegate takes every report (see WSDelegateAvailableMethods).
  _availableDelegateMethods = WSDelegateAvailableMethods::fromBits(_delegate.expired() ? 0 : 0x1FF);
}

std::shared_ptr<WSWebSocketDelegate> WSDelegateController::delegate() const {
  std::lock_guard lock(_shared->mutex);
  return _delegate.lock();
}

void WSDelegateController::setDispatchQueue(std::shared_ptr<platform::Queue> queue) {
  // The queues replaced are released after the lock: a queue that goes away may wait for its
  // pending steps, and a drain step takes the lock.
  std::shared_ptr<platform::Queue> oldDispatch, oldOperation;
  std::lock_guard lock(_shared->mutex);
  oldDispatch = std::exchange(_dispatchQueue, queue ? std::move(queue) : mainQueue());
  oldOperation = std::exchange(_operationQueue, nullptr);
}

std::shared_ptr<platform::Queue> WSDelegateController::dispatchQueue() const {
  std::lock_guard lock(_shared->mutex);
  return _dispatchQueue;
}

void WSDelegateController::setOperationQueue(std::shared_ptr<platform::Queue> queue) {
  std::shared_ptr<platform::Queue> oldDispatch, oldOperation; // released after the lock
  std::lock_guard lock(_shared->mutex);
  oldOperation = std::exchange(_operationQueue, std::move(queue));
  oldDispatch = std::exchange(_dispatchQueue, _operationQueue ? nullptr : mainQueue());
}

std::shared_ptr<platform::Queue> WSDelegateController::operationQueue() const {
  std::lock_guard lock(_shared->mutex);
  return _operationQueue;
}

WSDelegateAvailableMethods WSDelegateController::availableDelegateMethods() const {
  std::lock_guard lock(_shared->mutex);
  return _availableDelegateMethods;
}

void WSDelegateController::setAvailableDelegateMethods(WSDelegateAvailableMethods methods) {
  std::lock_guard lock(_shared->mutex);
  _availableDelegateMethods = methods;
}

void WSDelegateController::performDelegateBlock(DelegateBlock block) {
  Report report;
  report.block = std::move(block);
  enqueue(std::move(report));
}

void WSDelegateController::performDelegateQueueBlock(std::function<void()> block) {
  Report report;
  report.queueBlock = std::move(block);
  enqueue(std::move(report));
}

void WSDelegateController::enqueue(Report report) {
  // Reports join the batch still waiting on the same queue; otherwise a new batch is handed to
  // the queue. A batch runs after every batch handed to that queue before it, so reports keep
  // their order on a serial queue, and each still runs after the call that made it returned.
  std::shared_ptr<platform::Queue> queue;
  std::shared_ptr<Batch> batch;
  {
    std::lock_guard lock(_shared->mutex);
    // The snapshot of the delegate and its flags is taken now, when the report is made.
    if (report.block) {
      report.delegate = _delegate.lock();
      if (report.delegate) report.methods = _availableDelegateMethods;
    }
    platform::Queue* target = _dispatchQueue ? _dispatchQueue.get() : _operationQueue.get();
    if (_openBatch && !_openBatch->draining && _openBatchQueue == target) {
      _openBatch->reports.push_back(std::move(report));
      return;
    }
    queue = _dispatchQueue ? _dispatchQueue : _operationQueue;
    batch = std::make_shared<Batch>();
    // The report list of a drained batch, with its room, when there is one.
    batch->reports.swap(_shared->spareReports);
    batch->reports.reserve(16);
    batch->reports.push_back(std::move(report));
    // A held batch whose queue changed is handed over now, ahead of the new one.
    if (_holds > 0) {
      std::swap(batch, _openBatch);
      std::swap(queue, _heldQueue);
    } else {
      _openBatch = batch;
    }
    _openBatchQueue = target;
  }
  // Without a hold the new batch goes now; under one, only a held batch it replaces goes.
  if (batch && queue) post(queue, std::move(batch), _shared);
}

void WSDelegateController::holdReports() {
  std::lock_guard lock(_shared->mutex);
  ++_holds;
}

void WSDelegateController::releaseReports() {
  std::shared_ptr<Batch> batch;
  std::shared_ptr<platform::Queue> queue;
  {
    std::lock_guard lock(_shared->mutex);
    if (_holds == 0 || --_holds > 0) return;
    if (!_heldQueue) return;
    // The batch stays open: reports made after the release still join it until it drains.
    batch = _openBatch;
    queue = std::move(_heldQueue);
  }
  post(queue, std::move(batch), _shared);
}

void WSDelegateController::post(const std::shared_ptr<platform::Queue>& queue, std::shared_ptr<Batch> batch,
                                std::shared_ptr<Shared> shared) {
  queue->async([batch = std::move(batch), shared = std::move(shared)] {
    std::vector<Report> reports;
    {
      // The batch takes no report once draining.
      std::lock_guard guard(shared->mutex);
      batch->draining = true;
      reports.swap(batch->reports);
    }
    for (Report& report : reports) {
      if (report.block)
        report.block(report.delegate, report.methods);
      else
        report.queueBlock();
      // Release what the report held (the delegate, the connection) as it finishes.
      report = Report{};
    }
    // The list is kept for a later batch (a bounded one), so that a steady stream of reports
    // does not grow a new list every time.
    reports.clear();
    if (reports.capacity() <= kSpareReportsCapacity) {
      std::lock_guard guard(shared->mutex);
      if (shared->spareReports.capacity() < reports.capacity()) shared->spareReports.swap(reports);
    }
  });
}
