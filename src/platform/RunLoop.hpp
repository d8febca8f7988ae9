#pragma once
// Run loops: a thread that serves posted tasks, timers and I/O sources one at a time.
//
// RunLoop::main() is the process's main loop: the main thread calls run() and from then on
// every task of the main queue, every timer and every I/O source registered on it runs there.
// Other run loops (the WebSocket network thread) are created and run on their own threads.
// The loop's event engine is reachable for I/O sources through platform/detail/RunLoopIo.hpp;
// everything else uses queue().

#include "platform/Queue.hpp"

#include <chrono>
#include <memory>
#include <thread>

namespace platform {

class RunLoop {
public:
  /// The main thread's loop. Created on first use.
  static RunLoop& main();

  explicit RunLoop(std::string label);
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  /// The queue whose tasks run on this loop.
  Queue& queue();

  /// Serves the loop on the calling thread until stop() is called. Keeps running while idle.
  void run();

  /// Serves the loop until `done()` returns true (checked after each handled event) or the
  /// deadline passes; returns the last value of `done()`. For tests and tools.
  bool runUntil(const std::function<bool()>& done, std::chrono::steady_clock::duration timeout);

  /// Makes run() return after the task it is running, if any. Any thread may call it.
  void stop();

  /// True on the thread currently serving this loop.
  bool isCurrent() const;

private:
  struct Impl;
  friend struct RunLoopIoAccess; // platform/detail/RunLoopIo.hpp reaches the event engine
  std::unique_ptr<Impl> _impl;
};

/// A run loop served by a thread of its own, started at construction and stopped and joined
/// at destruction.
class RunLoopThread {
public:
  explicit RunLoopThread(std::string label);
  ~RunLoopThread();
  RunLoop& loop() { return _loop; }

private:
  RunLoop _loop;
  std::thread _thread;
};

} // namespace platform
