#include "websocket/WSRunLoopThread.hpp"

#include <atomic>
#include <mutex>
#include <unistd.h>

namespace {
std::once_flag gSharedThreadOnce;
WSRunLoopThread* gSharedThread = nullptr;
std::atomic<bool> gStarted{false};
} // namespace

// The platform's run-loop thread keeps its loop alive while idle, so no placeholder source is
// needed, and it is serving its loop once its constructor has returned.
WSRunLoopThread::WSRunLoopThread() : _thread("com.zorbel.streamdeck.websocket.network") {}

WSRunLoopThread& WSRunLoopThread::sharedThread() {
  // Never destroyed: connections of any lifetime may still schedule clean-up steps on it while
  // the process exits.
  platform::RunOnce(gSharedThreadOnce, [] {
    gSharedThread = new WSRunLoopThread;
    gStarted.store(true);
  });
  return *gSharedThread;
}

platform::RunLoop& WSRunLoopThread::runLoop() { return _thread.loop(); }

bool WSRunLoopThread::started() { return gStarted.load(); }

platform::RunLoop& WS_networkRunLoop() { return WSRunLoopThread::sharedThread().runLoop(); }

std::uint64_t WSDefaultBufferSize() {
  static const std::uint64_t size = static_cast<std::uint64_t>(::getpagesize());
  return size;
}
