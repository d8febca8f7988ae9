#include "platform/RunLoop.hpp"

#include "platform/detail/RunLoopIo.hpp"
#include "support/Wait.hpp"

#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::RunLoop;
using platform::RunLoopThread;
using testsupport::Signal;

namespace {

// Tasks posted to a loop run on the thread serving it, in order.
TEST(RunLoopTest, TasksRunInOrderOnTheServingThread) {
  RunLoop loop("ordered");
  std::vector<int> seen;
  bool onLoop = true;
  for (int i = 0; i < 100; ++i) {
    loop.queue().async([&, i] {
      seen.push_back(i);
      onLoop = onLoop && loop.isCurrent() && loop.queue().isCurrent();
    });
  }
  EXPECT_TRUE(loop.runUntil([&] { return seen.size() == 100; }, 10s));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_TRUE(onLoop);
  EXPECT_FALSE(loop.isCurrent());
  EXPECT_EQ(loop.queue().label(), "ordered");
}

// runUntil() gives up at its deadline and reports false.
TEST(RunLoopTest, RunUntilReturnsFalseAtTheDeadline) {
  RunLoop loop("idle");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.runUntil([] { return false; }, 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

// A delayed task on a loop runs no earlier than its delay.
TEST(RunLoopTest, AfterRunsNoEarlierThanItsDelay) {
  RunLoop loop("timer");
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration ranAt{};
  bool ran = false;
  loop.queue().after(40ms, [&] {
    ranAt = std::chrono::steady_clock::now() - start;
    ran = true;
  });
  EXPECT_TRUE(loop.runUntil([&] { return ran; }, 10s));
  EXPECT_GE(ranAt, 40ms);
}

// run() keeps serving while idle, runs work that arrives later, and returns after stop().
TEST(RunLoopTest, RunServesLateWorkUntilStopped) {
  RunLoop loop("serving");
  Signal started, returned;
  std::thread server([&] {
    loop.queue().async([&] { started.notify(); });
    loop.run();
    returned.notify();
  });
  ASSERT_TRUE(started.wait());
  // Idle now; a task posted later must still run.
  std::atomic<bool> late{false};
  loop.queue().sync([&] { late = loop.isCurrent(); });
  EXPECT_TRUE(late.load());
  EXPECT_EQ(returned.count(), 0);
  loop.stop();
  EXPECT_TRUE(returned.wait());
  server.join();
}

// stop() before run() makes that run() return at once (RunLoopThread relies on it).
TEST(RunLoopTest, StopBeforeRunIsNotLost) {
  RunLoop loop("early stop");
  loop.stop();
  Signal returned;
  std::thread server([&] {
    loop.run();
    returned.notify();
  });
  EXPECT_TRUE(returned.wait());
  server.join();
  // And the loop can be served again afterwards.
  bool ran = false;
  loop.queue().async([&] { ran = true; });
  EXPECT_TRUE(loop.runUntil([&] { return ran; }, 10s));
}

// A RunLoopThread serves its loop on its own thread; sync() from outside waits for the task.
TEST(RunLoopThreadTest, ServesItsLoopOnItsOwnThread) {
  std::thread::id loopThread;
  bool current = false;
  {
    RunLoopThread thread("worker loop");
    thread.loop().queue().sync([&] {
      loopThread = std::this_thread::get_id();
      current = thread.loop().isCurrent();
    });
    EXPECT_FALSE(thread.loop().isCurrent());
  }
  EXPECT_NE(loopThread, std::this_thread::get_id());
  EXPECT_TRUE(current);
}

// Destroying a RunLoopThread at once (its thread may not have started serving) does not hang.
TEST(RunLoopThreadTest, ImmediateDestructionDoesNotHang) {
  for (int i = 0; i < 50; ++i) RunLoopThread thread("short-lived");
  SUCCEED();
}

// An exception thrown by a task run with sync() reaches the caller.
TEST(RunLoopThreadTest, SyncPassesExceptionsToTheCaller) {
  RunLoopThread thread("throwing");
  EXPECT_THROW(thread.loop().queue().sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
}

// I/O sources and timers on the loop's io_context run on the loop's thread.
TEST(RunLoopIoTest, IoContextHandlersRunOnTheLoop) {
  RunLoopThread thread("io");
  Signal fired;
  std::atomic<bool> onLoop{false};
  boost::asio::steady_timer timer(platform::detail::IoContext(thread.loop()), 5ms);
  timer.async_wait([&](const boost::system::error_code& error) {
    onLoop = !error && thread.loop().isCurrent();
    fired.notify();
  });
  ASSERT_TRUE(fired.wait());
  EXPECT_TRUE(onLoop.load());
}

// The main queue counts as current on the main thread even before the loop runs, and not on
// other threads.
TEST(RunLoopMainTest, MainQueueIsCurrentOnTheMainThreadOnly) {
  auto& main = RunLoop::main();
  EXPECT_EQ(&main, &RunLoop::main());
  EXPECT_TRUE(main.queue().isCurrent());
  std::atomic<bool> elsewhere{true};
  std::thread other([&] { elsewhere = main.queue().isCurrent(); });
  other.join();
  EXPECT_FALSE(elsewhere.load());
}

// Work posted to the main queue from another thread runs when the main thread serves the loop.
TEST(RunLoopMainTest, PostedWorkRunsOnTheMainThread) {
  auto& main = RunLoop::main();
  std::atomic<bool> ran{false};
  std::thread::id ranOn;
  std::thread poster([&] {
    main.queue().async([&] {
      ranOn = std::this_thread::get_id();
      ran = true;
    });
  });
  poster.join();
  EXPECT_TRUE(main.runUntil([&] { return ran.load(); }, 10s));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

// sync() to the main queue from the main thread could never finish: it aborts.
TEST(RunLoopMainDeathTest, SyncFromTheMainThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(RunLoop::main().queue().sync([] {}), "sync\\(\\) called from its own run loop");
}

} // namespace
