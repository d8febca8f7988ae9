#pragma once
// Task queues: the one abstraction the rest of the program uses to run work elsewhere.
//
// A Queue runs submitted tasks one at a time, in submission order. Two kinds exist:
//  - the main queue (RunLoop::main().queue()), served by the process's main thread;
//  - SerialQueue, served by a shared pool of worker threads, one task at a time.
// Every member may be called from any thread.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using Task = std::function<void()>;

class Queue {
public:
  virtual ~Queue() = default;

  /// Queues `task` and returns at once.
  virtual void async(Task task) = 0;

  /// Queues `task` and waits until it has run. Calling it from a task of the same queue is a
  /// contract violation (it could never finish) and aborts the program.
  virtual void sync(Task task) = 0;

  /// Queues `task` once `delay` has passed (no earlier). Not cancellable: a task that may
  /// become obsolete checks its own state when it runs.
  virtual void after(std::chrono::nanoseconds delay, Task task) = 0;

  /// True while the calling thread is running a task of this queue (or, for the main queue,
  /// is the main thread running its loop).
  virtual bool isCurrent() const = 0;

  /// The label the queue was created with, for diagnostics.
  virtual const std::string& label() const = 0;
};

/// A serial queue on the shared worker pool. Tasks still queued when the queue is destroyed
/// are run first: destruction waits for them, so it must not happen on the queue itself.
class SerialQueue final : public Queue {
public:
  explicit SerialQueue(std::string label);
  ~SerialQueue() override;
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(Task task) override;
  void sync(Task task) override;
  void after(std::chrono::nanoseconds delay, Task task) override;
  bool isCurrent() const override;
  const std::string& label() const override;

  /// Runs `task` at once on the calling thread when the queue is idle (no task running or
  /// queued) and has been for at least `quiet`, or this is one of the first two steps run this
  /// way since it was; otherwise queues it as async() does. Returns true when it ran here.
  /// While it runs the calling thread is the queue's owner: isCurrent() is true, no other task
  /// of the queue runs, and tasks queued meanwhile (by it or by other threads) run after it, in
  /// order: on this thread while a short slice lasts, then on the pool. Called from a task of
  /// this queue it queues (it never runs inside another task).
  /// For a step that is cheap and would otherwise wait for a worker to wake up: an event that
  /// arrived on the calling thread. `quiet` keeps bursts on the pool: past its first steps, a
  /// step that comes right after the queue's last one is queued, so steps coming faster than a
  /// wake-up gather.
  bool runOrAsync(Task task, std::chrono::nanoseconds quiet = std::chrono::nanoseconds::zero());

private:
  struct State;
  std::shared_ptr<State> _state;
};

/// Runs `task` exactly once per `flag`, thread-safe (the platform's one-time initialisation).
template <class Flag, class F> void RunOnce(Flag& flag, F&& task);

} // namespace platform

#include <mutex>
template <class Flag, class F> void platform::RunOnce(Flag& flag, F&& task) {
  std::call_once(flag, std::forward<F>(task));
}
