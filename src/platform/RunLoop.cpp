// Run loops on boost::asio::io_context.
//
// Each RunLoop owns one io_context and a work guard, so that run() keeps serving while there is
// nothing to do (a loop waiting for its first socket or timer must not return). The loop's
// queue posts to the io_context; its timers are steady_timers on the same context, so tasks,
// timers and I/O completions of a loop all run one at a time on the thread serving it.
#include "platform/RunLoop.hpp"

#include "platform/detail/RunAndWait.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>

namespace platform {

namespace {

// Captured during static initialisation, which runs on the process's main thread.
const std::thread::id gProcessMainThread = std::this_thread::get_id();

} // namespace

struct RunLoop::Impl {
  class LoopQueue final : public Queue {
  public:
    explicit LoopQueue(Impl& impl) : _impl(impl) {}

    void async(Task task) override { boost::asio::post(_impl.io, std::move(task)); }

    void sync(Task task) override {
      if (isCurrent()) {
        std::fprintf(stderr, "Queue \"%s\": sync() called from its own run loop; it could never finish\n",
                     _impl.label.c_str());
        std::fflush(stderr);
        std::abort();
      }
      detail::RunAndWait(task, [this](Task wrapped) { boost::asio::post(_impl.io, std::move(wrapped)); });
    }

    void after(std::chrono::nanoseconds delay, Task task) override {
      auto timer = std::make_shared<boost::asio::steady_timer>(_impl.io);
      timer->expires_after(std::chrono::ceil<boost::asio::steady_timer::duration>(delay));
      timer->async_wait([timer, task = std::move(task)](const boost::system::error_code& error) {
        // Aborted only when the io_context is torn down; the task is then dropped unrun.
        if (!error) task();
      });
    }

    bool isCurrent() const override { return _impl.isCurrent(); }
    const std::string& label() const override { return _impl.label; }

  private:
    Impl& _impl;
  };

  explicit Impl(std::string l, bool isMain)
      : label(std::move(l)), main(isMain), guard(boost::asio::make_work_guard(io)), queue(*this) {}

  bool isCurrent() const {
    auto serving = servingThread.load(std::memory_order_acquire);
    auto self = std::this_thread::get_id();
    if (serving == self) return true;
    // The main loop's queue is also "current" on the main thread before (or between) runs:
    // code there is the main queue's own code, and must not sync() to it.
    return main && serving == std::thread::id() && self == gProcessMainThread;
  }

  /// Prepares a serving pass; false when a stop() was requested before it started.
  bool enter() {
    std::lock_guard lock(stopMutex);
    if (stopRequested) {
      stopRequested = false;
      return false;
    }
    io.restart();
    servingThread.store(std::this_thread::get_id(), std::memory_order_release);
    return true;
  }

  void leave() {
    std::lock_guard lock(stopMutex);
    stopRequested = false;
    servingThread.store(std::thread::id(), std::memory_order_release);
  }

  const std::string label;
  const bool main;
  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard;
  LoopQueue queue;
  std::atomic<std::thread::id> servingThread{};
  std::mutex stopMutex;
  bool stopRequested = false;
};

RunLoop& RunLoop::main() {
  // Never destroyed: tasks and I/O sources of the main loop may outlive static destruction.
  static RunLoop* loop = [] {
    auto* l = new RunLoop("main");
    l->_impl = std::make_unique<Impl>("main", true);
    return l;
  }();
  return *loop;
}

RunLoop::RunLoop(std::string label) : _impl(std::make_unique<Impl>(std::move(label), false)) {}

RunLoop::~RunLoop() = default;

Queue& RunLoop::queue() { return _impl->queue; }

void RunLoop::run() {
  if (!_impl->enter()) return;
  struct Leave {
    Impl& impl;
    ~Leave() { impl.leave(); }
  } leave{*_impl};
  _impl->io.run();
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::steady_clock::duration timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (done()) return true;
  if (!_impl->enter()) return done();
  struct Leave {
    Impl& impl;
    ~Leave() { impl.leave(); }
  } leave{*_impl};
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return done();
    _impl->io.run_one_for(deadline - now);
    if (done()) return true;
    if (_impl->io.stopped()) return false;
  }
}

void RunLoop::stop() {
  std::lock_guard lock(_impl->stopMutex);
  if (_impl->servingThread.load(std::memory_order_acquire) == std::thread::id()) _impl->stopRequested = true;
  _impl->io.stop();
}

bool RunLoop::isCurrent() const { return _impl->servingThread.load() == std::this_thread::get_id(); }

RunLoopThread::RunLoopThread(std::string label) : _loop(std::move(label)), _thread([this] { _loop.run(); }) {}

RunLoopThread::~RunLoopThread() {
  _loop.stop();
  _thread.join();
}

struct RunLoopIoAccess {
  static boost::asio::io_context& io(RunLoop& loop) { return loop._impl->io; }
};

namespace detail {
boost::asio::io_context& IoContext(RunLoop& loop) { return RunLoopIoAccess::io(loop); }
} // namespace detail

} // namespace platform
