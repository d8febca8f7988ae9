#pragma once
// Waiting in tests without sleeping for a guessed time.
//
// Signal: an event another thread reports; the test waits for it with a deadline.
// WaitUntil: for conditions nothing reports (a file another process writes), re-checks the
// predicate in short steps until it holds or the deadline passes.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace testsupport {

using namespace std::chrono_literals;

/// The default deadline: generous, so that slow sanitizer builds on a busy machine still pass.
inline constexpr std::chrono::milliseconds kDefaultTimeout = 20s;

/// A counted event: notify() adds one, wait() waits until the count reaches `count`.
class Signal {
public:
  void notify() {
    std::lock_guard lock(_mutex);
    ++_count;
    _changed.notify_all();
  }

  /// True when the count reached `count` before the deadline.
  bool wait(int count = 1, std::chrono::milliseconds timeout = kDefaultTimeout) {
    std::unique_lock lock(_mutex);
    return _changed.wait_for(lock, timeout, [&] { return _count >= count; });
  }

  int count() const {
    std::lock_guard lock(_mutex);
    return _count;
  }

private:
  mutable std::mutex _mutex;
  std::condition_variable _changed;
  int _count = 0;
};

/// True as soon as `done()` holds; false when it still does not at the deadline.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kDefaultTimeout);

} // namespace testsupport
