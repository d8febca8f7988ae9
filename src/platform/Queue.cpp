// Serial queues on a shared, elastic pool of worker threads.
//
// Each SerialQueue keeps its own FIFO of tasks and an "active" flag. A queue with work is
// handed to the pool once; the worker that takes it runs a batch of its tasks and hands it
// back if more remain, so one busy queue cannot starve the others. The pool grows when every
// worker is busy (a task that waits in sync() on another queue must never starve that queue
// of a thread) and idle workers retire after a while.
//
// sync() and runOrAsync() on an idle queue run the task on the caller's thread, as the queue's
// owner for that time, which needs no worker at all (nor its wake-up). Every thread keeps the
// chain of queues it is running tasks for; isCurrent() is true for each of them and sync() on
// one of them aborts.
#include "platform/Queue.hpp"
#include "platform/detail/RunAndWait.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <thread>
#include <vector>

namespace platform {

namespace {

struct QueueState {
  explicit QueueState(std::string l) : label(std::move(l)) {}

  const std::string label;
  std::mutex mutex;
  std::condition_variable drained; // signalled whenever the queue goes idle
  std::deque<Task> tasks;
  bool active = false; // owned by a worker, a caller running inline, or waiting in the pool's list
  // When `active` last became false; a queue that never ran has been quiet forever.
  std::chrono::steady_clock::time_point idleSince = std::chrono::steady_clock::time_point::min();
  int inlineStreak = 0; // runOrAsync() steps run by their callers since the queue was last quiet
};

using StatePtr = std::shared_ptr<QueueState>;

/// The queues the calling thread is running tasks for, innermost last.
thread_local std::vector<const void*> tHeld;

struct HeldScope {
  explicit HeldScope(const void* q) { tHeld.push_back(q); }
  ~HeldScope() { tHeld.pop_back(); }
  HeldScope(const HeldScope&) = delete;
  HeldScope& operator=(const HeldScope&) = delete;
};

bool Holds(const void* q) { return std::find(tHeld.begin(), tHeld.end(), q) != tHeld.end(); }

[[noreturn]] void DeadlockAbort(const std::string& label) {
  std::fprintf(stderr, "Queue \"%s\": sync() called from a task of the same queue; it could never finish\n",
               label.c_str());
  std::fflush(stderr);
  std::abort();
}

void RunBatch(const StatePtr& state);

void MarkIdleLocked(QueueState& state) {
  state.active = false;
  state.idleSince = std::chrono::steady_clock::now();
  state.drained.notify_all();
}

class WorkerPool {
public:
  static WorkerPool& shared() {
    // Never destroyed: detached workers may still be waiting in it while the process exits.
    static WorkerPool* pool = new WorkerPool;
    return *pool;
  }

  void schedule(StatePtr state) {
    bool wake = false;
    {
      std::lock_guard lock(_mutex);
      _ready.push_back(std::move(state));
      if (_ready.size() <= _idle) {
        wake = true;
      } else if (_threads < kMaxThreads) {
        ++_threads;
        std::thread([this] { work(); }).detach();
      }
      // else: every worker is busy and the pool is at its limit; the queue waits its turn.
    }
    // Outside the lock: the worker woken does not wake up only to wait for it.
    if (wake) _wake.notify_one();
  }

  /// True while a queue waits for a worker.
  bool hasWaiting() {
    std::lock_guard lock(_mutex);
    return !_ready.empty();
  }

private:
  static constexpr size_t kMaxThreads = 64;
  static constexpr auto kIdleRetirement = std::chrono::seconds(10);

  void work() {
    std::unique_lock lock(_mutex);
    for (;;) {
      if (_ready.empty()) {
        ++_idle;
        bool woke = _wake.wait_for(lock, kIdleRetirement, [this] { return !_ready.empty(); });
        --_idle;
        if (!woke) {
          --_threads;
          return;
        }
      }
      StatePtr state = std::move(_ready.front());
      _ready.pop_front();
      lock.unlock();
      RunBatch(state);
      state.reset();
      lock.lock();
    }
  }

  std::mutex _mutex;
  std::condition_variable _wake;
  std::deque<StatePtr> _ready;
  size_t _idle = 0;
  size_t _threads = 0;
};

/// Runs `state`'s tasks on this worker, a batch at a time: after each batch the queue goes back
/// to the pool if another queue waits for a worker; it is marked idle once it has no task left.
void RunBatch(const StatePtr& state) {
  constexpr int kBatch = 64;
  HeldScope held(state.get());
  for (int i = 0; i < kBatch; ++i) {
    // A busy queue stays on this worker (its data stays in this core's caches) while no other
    // queue waits for one.
    if (i == kBatch - 1 && !WorkerPool::shared().hasWaiting()) i = 0;
    Task task;
    {
      std::lock_guard lock(state->mutex);
      if (state->tasks.empty()) {
        MarkIdleLocked(*state);
        return;
      }
      task = std::move(state->tasks.front());
      state->tasks.pop_front();
    }
    task();
  }
  WorkerPool::shared().schedule(state);
}

void Enqueue(const StatePtr& state, Task task) {
  bool schedule = false;
  {
    std::lock_guard lock(state->mutex);
    state->tasks.push_back(std::move(task));
    if (!state->active) state->active = schedule = true;
  }
  if (schedule) WorkerPool::shared().schedule(state);
}

/// After a run outside the pool (inline or a sync() on an idle queue): hands the queue to the
/// pool if tasks were queued meanwhile, or marks it idle.
void ReleaseAfterRun(const StatePtr& state) {
  bool schedule = false;
  {
    std::lock_guard lock(state->mutex);
    if (state->tasks.empty())
      MarkIdleLocked(*state);
    else
      schedule = true;
  }
  if (schedule) WorkerPool::shared().schedule(state);
}

/// Runs `task`, whose caller made itself the owner of the idle `state`, on this thread; then
/// the tasks queued meanwhile while a short slice lasts; then hands the queue to the pool if
/// tasks remain, or marks it idle. The queue is released even if a task throws.
void RunInline(const StatePtr& state, Task task) {
  // Long enough for the follow-up steps of a small event (the write a send step queues), short
  // enough that a burst does not hold the calling thread (a network or main loop).
  constexpr auto kSlice = std::chrono::microseconds(50);
  constexpr int kMaxFollowUps = 16;
  struct Release {
    const StatePtr& state;
    ~Release() { ReleaseAfterRun(state); }
  };
  HeldScope held(state.get());
  Release release{state};
  const auto until = std::chrono::steady_clock::now() + kSlice;
  task();
  task = nullptr; // its captures are released while the queue is still this thread's
  for (int i = 0; i < kMaxFollowUps; ++i) {
    {
      std::lock_guard lock(state->mutex);
      if (state->tasks.empty() || std::chrono::steady_clock::now() >= until) return;
      task = std::move(state->tasks.front());
      state->tasks.pop_front();
    }
    task();
    task = nullptr;
  }
}

} // namespace

// ---- delayed tasks ----------------------------------------------------------------------

namespace {

/// One thread that hands delayed tasks to their queues when they are due.
class TimerThread {
public:
  static TimerThread& shared() {
    static TimerThread* timers = new TimerThread; // never destroyed, like the worker pool
    return *timers;
  }

  void schedule(std::chrono::steady_clock::time_point when, Task fire) {
    std::lock_guard lock(_mutex);
    bool earliest = _pending.empty() || when < _pending.begin()->first;
    _pending.emplace(when, std::move(fire));
    if (earliest) _wake.notify_one();
  }

private:
  TimerThread() {
    std::thread([this] { work(); }).detach();
  }

  void work();

  std::mutex _mutex;
  std::condition_variable _wake;
  std::multimap<std::chrono::steady_clock::time_point, Task> _pending;
};

void TimerThread::work() {
  std::unique_lock lock(_mutex);
  for (;;) {
    if (_pending.empty()) {
      _wake.wait(lock);
      continue;
    }
    auto first = _pending.begin();
    if (std::chrono::steady_clock::now() < first->first) {
      _wake.wait_until(lock, first->first);
      continue;
    }
    Task fire = std::move(first->second);
    _pending.erase(first);
    lock.unlock();
    fire();
    fire = nullptr; // release captures outside the lock
    lock.lock();
  }
}

} // namespace

// ---- SerialQueue ------------------------------------------------------------------------

struct SerialQueue::State : QueueState {
  using QueueState::QueueState;
};

SerialQueue::SerialQueue(std::string label) : _state(std::make_shared<State>(std::move(label))) {}

SerialQueue::~SerialQueue() {
  // Destroyed from one of its own tasks (an object dropping its last reference on its own
  // queue): waiting would never end, so the remaining tasks run later on the pool instead.
  if (isCurrent()) return;
  std::unique_lock lock(_state->mutex);
  _state->drained.wait(lock, [this] { return !_state->active && _state->tasks.empty(); });
}

void SerialQueue::async(Task task) { Enqueue(_state, std::move(task)); }

void SerialQueue::sync(Task task) {
  if (isCurrent()) DeadlockAbort(_state->label);
  {
    std::unique_lock lock(_state->mutex);
    if (!_state->active) {
      // Idle: run it here, as the queue's owner for the duration.
      _state->active = true;
      lock.unlock();
      struct Release {
        StatePtr state;
        ~Release() { ReleaseAfterRun(state); }
      } release{_state};
      HeldScope held(_state.get());
      task();
      return;
    }
  }
  detail::RunAndWait(task, [this](Task wrapped) { Enqueue(_state, std::move(wrapped)); });
}

bool SerialQueue::runOrAsync(Task task, std::chrono::nanoseconds quiet) {
  // The first steps of a burst (a reply and the update after it) still run here; later ones
  // gather on the pool.
  constexpr int kInlineBurst = 2;
  // A copy: the task may destroy the queue object (its owner dropping its last reference); the
  // state lives on until the queue is released.
  StatePtr state = _state;
  bool schedule = false, here = false;
  {
    std::lock_guard lock(state->mutex);
    const bool busy = state->active; // also when called from one of its own tasks
    if (!busy && quiet > quiet.zero() && std::chrono::steady_clock::now() >= state->idleSince + quiet)
      state->inlineStreak = 0;
    if (!busy && (quiet <= quiet.zero() || state->inlineStreak < kInlineBurst)) {
      ++state->inlineStreak;
      state->active = here = true;
    } else {
      state->tasks.push_back(std::move(task));
      if (!busy) state->active = schedule = true; // its last step just ended: as async()
    }
  }
  if (schedule) WorkerPool::shared().schedule(state);
  if (here) RunInline(state, std::move(task));
  return here;
}

void SerialQueue::after(std::chrono::nanoseconds delay, Task task) {
  auto when =
      std::chrono::steady_clock::now() + std::chrono::ceil<std::chrono::steady_clock::duration>(delay);
  TimerThread::shared().schedule(
      when, [state = _state, task = std::move(task)]() mutable { Enqueue(state, std::move(task)); });
}

bool SerialQueue::isCurrent() const { return Holds(_state.get()); }

const std::string& SerialQueue::label() const { return _state->label; }

} // namespace platform
