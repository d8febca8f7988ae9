#pragma once
// The shared network thread: one run loop per process that receives the stream events of
// every connection and connector and runs the connections' clean-up steps. It does no protocol
// work: it only forwards events to each connection's work queue.

#include "platform/RunLoop.hpp"

#include <cstdint>

class WSRunLoopThread {
public:
  /// The shared thread, started on the first call (safe from any thread) and never ended.
  static WSRunLoopThread& sharedThread();

  /// The thread's run loop; it is running once this returns.
  platform::RunLoop& runLoop();

  /// True once sharedThread() has been called (a connection that is never opened starts no thread).
  static bool started();

private:
  WSRunLoopThread();
  platform::RunLoopThread _thread;
};

/// runLoop() of the shared network thread.
platform::RunLoop& WS_networkRunLoop();

/// The read chunk size and buffer compaction threshold: the machine's page size.
std::uint64_t WSDefaultBufferSize();
