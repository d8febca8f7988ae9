#include "platform/Queue.hpp"

#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::SerialQueue;
using testsupport::Signal;

namespace {

// Tasks run one at a time, in the order in which they were submitted.
TEST(SerialQueueTest, AsyncTasksRunInSubmissionOrder) {
  SerialQueue queue("order");
  std::vector<int> seen;
  for (int i = 0; i < 10000; ++i) queue.async([&seen, i] { seen.push_back(i); });
  queue.sync([] {});
  ASSERT_EQ(seen.size(), 10000u);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(seen[i], i);
}

// Submitters on many threads: no two tasks of one queue ever overlap, and each thread's tasks
// keep their order; also when most of them go through runOrAsync (run by the caller or queued).
TEST(SerialQueueTest, TasksFromManyThreadsNeverOverlap) {
  for (bool runOrAsync : {false, true}) {
    SCOPED_TRACE(runOrAsync ? "runOrAsync and async" : "async");
    SerialQueue queue("overlap");
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::vector<int>> perThread(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 2000; ++i) {
          auto step = [&, t, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            perThread[t].push_back(i); // unsynchronised on purpose: the queue is the lock
            running.fetch_sub(1);
          };
          if (runOrAsync && i % 3 != 0)
            queue.runOrAsync(step);
          else
            queue.async(step);
        }
      });
    }
    for (auto& thread : threads) thread.join();
    queue.sync([] {});
    EXPECT_FALSE(overlapped.load());
    for (const auto& seen : perThread) {
      ASSERT_EQ(seen.size(), 2000u);
      for (int i = 0; i < 2000; ++i) ASSERT_EQ(seen[i], i);
    }
  }
}

// isCurrent() is true only while one of the queue's own tasks runs on the calling thread.
TEST(SerialQueueTest, IsCurrentOnlyInsideItsOwnTasks) {
  SerialQueue a("a"), b("b");
  EXPECT_FALSE(a.isCurrent());
  bool inA = false, bInA = true, aInNestedB = false, bInNestedB = false;
  a.sync([&] {
    inA = a.isCurrent();
    bInA = b.isCurrent();
    b.sync([&] {
      aInNestedB = a.isCurrent(); // a is still held by this thread: sync to it would deadlock
      bInNestedB = b.isCurrent();
    });
  });
  EXPECT_TRUE(inA);
  EXPECT_FALSE(bInA);
  EXPECT_TRUE(aInNestedB);
  EXPECT_TRUE(bInNestedB);
  Signal done;
  std::atomic<bool> asyncCurrent{false};
  a.async([&] {
    asyncCurrent = a.isCurrent();
    done.notify();
  });
  ASSERT_TRUE(done.wait());
  EXPECT_TRUE(asyncCurrent.load());
  EXPECT_EQ(a.label(), "a");
}

// sync() on a busy queue waits for the tasks before it and returns only after its own ran.
TEST(SerialQueueTest, SyncWaitsForEarlierTasks) {
  SerialQueue queue("sync");
  std::mutex gate;
  std::unique_lock closed(gate);
  std::vector<std::string> events;
  std::mutex eventsMutex;
  auto record = [&](std::string e) {
    std::lock_guard lock(eventsMutex);
    events.push_back(std::move(e));
  };
  Signal blocking;
  queue.async([&] {
    blocking.notify();
    std::lock_guard wait(gate);
    record("first");
  });
  ASSERT_TRUE(blocking.wait());
  std::thread syncer([&] {
    queue.sync([&] { record("sync task"); });
    record("sync returned");
  });
  closed.unlock();
  syncer.join();
  EXPECT_EQ(events, (std::vector<std::string>{"first", "sync task", "sync returned"}));
}

// An exception thrown by a sync() task reaches the caller, and the queue keeps working.
TEST(SerialQueueTest, SyncPassesExceptionsToTheCaller) {
  SerialQueue queue("throwing");
  EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
  int value = 0;
  queue.sync([&] { value = 1; });
  EXPECT_EQ(value, 1);
}

// sync() from one of the queue's own tasks could never finish: it aborts with a message.
TEST(SerialQueueDeathTest, SyncFromItsOwnTaskAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SerialQueue queue("self");
        queue.sync([&] { queue.sync([] {}); });
      },
      "Queue \"self\": sync\\(\\) called from a task of the same queue");
}

// A delayed task runs no earlier than its delay, and earlier deadlines run first.
TEST(SerialQueueTest, AfterRunsNoEarlierThanItsDelay) {
  SerialQueue queue("after");
  auto start = std::chrono::steady_clock::now();
  std::vector<int> order;
  std::chrono::steady_clock::duration firstAt{}, secondAt{};
  Signal done;
  queue.after(80ms, [&] {
    order.push_back(2);
    secondAt = std::chrono::steady_clock::now() - start;
    done.notify();
  });
  queue.after(30ms, [&] {
    order.push_back(1);
    firstAt = std::chrono::steady_clock::now() - start;
    done.notify();
  });
  ASSERT_TRUE(done.wait(2));
  queue.sync([] {});
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_GE(firstAt, 30ms);
  EXPECT_GE(secondAt, 80ms);
}

// Destroying a queue first runs the tasks still queued on it.
TEST(SerialQueueTest, DestructionRunsQueuedTasks) {
  std::atomic<int> ran{0};
  {
    SerialQueue queue("draining");
    for (int i = 0; i < 500; ++i) queue.async([&] { ran.fetch_add(1); });
  }
  EXPECT_EQ(ran.load(), 500);
}

// The last reference dropped inside one of the queue's own tasks must not hang that task.
TEST(SerialQueueTest, DestructionFromItsOwnTaskDoesNotHang) {
  Signal destroyed;
  struct Owner {
    SerialQueue queue{"owned"};
  };
  struct Notifier {
    explicit Notifier(Signal& s) : signal(s) {}
    ~Notifier() { signal.notify(); }
    Signal& signal;
  };
  auto owner = std::make_shared<Owner>();
  auto notifier = std::make_shared<Notifier>(destroyed);
  owner->queue.async([keep = std::move(owner), notifier = std::move(notifier)]() mutable {
    keep.reset(); // ~SerialQueue runs here, on the queue itself
    notifier.reset();
  });
  EXPECT_TRUE(destroyed.wait());
}

// Tasks on different queues that wait for each other all get a thread: the pool grows beyond
// the number of cores instead of deadlocking.
TEST(SerialQueueTest, PoolGrowsForTasksThatWaitForEachOther) {
  constexpr int kQueues = 24;
  std::vector<std::unique_ptr<SerialQueue>> queues;
  for (int i = 0; i < kQueues; ++i)
    queues.push_back(std::make_unique<SerialQueue>("barrier" + std::to_string(i)));
  std::mutex mutex;
  std::condition_variable allThere;
  int arrived = 0;
  Signal released;
  for (auto& queue : queues) {
    queue->async([&] {
      std::unique_lock lock(mutex);
      ++arrived;
      allThere.notify_all();
      if (allThere.wait_for(lock, 20s, [&] { return arrived == kQueues; })) released.notify();
    });
  }
  EXPECT_TRUE(released.wait(kQueues));
}

// A chain of sync() calls across queues (each task syncs to the next queue) completes.
TEST(SerialQueueTest, NestedSyncAcrossQueuesCompletes) {
  std::vector<std::unique_ptr<SerialQueue>> queues;
  for (int i = 0; i < 10; ++i) queues.push_back(std::make_unique<SerialQueue>("chain" + std::to_string(i)));
  std::function<void(int)> step = [&](int i) {
    if (i == static_cast<int>(queues.size())) return;
    queues[i]->sync([&, i] { step(i + 1); });
  };
  int depth = 0;
  queues[0]->async([&] { step(1); });
  queues[0]->sync([&] { depth = 1; });
  EXPECT_EQ(depth, 1);
}

// runOrAsync: on an idle queue the task runs on the calling thread, as the queue's own task;
// otherwise (busy, called from its own task, or past the first steps of a burst that came
// within `quiet` of each other) it is queued and runs on the pool after what was queued before.
TEST(SerialQueueTest, RunOrAsyncRunsHereOnlyOnAQuietIdleQueue) {
  enum class Before { Nothing, BusyTask, OwnTask, BurstSteps };
  struct Case {
    const char* name;
    Before before;
    std::chrono::nanoseconds quiet;
    bool runsHere;
  };
  const Case cases[] = {
      {"idle", Before::Nothing, 0ns, true},
      {"idle, never ran, long quiet", Before::Nothing, 1h, true},
      {"a task is running", Before::BusyTask, 0ns, false},
      {"from its own task", Before::OwnTask, 0ns, false},
      {"past a burst's first steps", Before::BurstSteps, 1h, false},
      {"past a burst's first steps, no quiet asked", Before::BurstSteps, 0ns, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SerialQueue queue("inline");
    std::vector<int> order; // written by the queue's tasks only
    Signal blocked, release, ran;
    std::thread::id ranOn;
    bool current = false, returned = false;
    auto task = [&] {
      order.push_back(2);
      ranOn = std::this_thread::get_id();
      current = queue.isCurrent();
      ran.notify();
    };
    if (c.before == Before::BusyTask) {
      queue.async([&] {
        blocked.notify();
        release.wait();
        order.push_back(1);
      });
      ASSERT_TRUE(blocked.wait());
      returned = queue.runOrAsync(task, c.quiet);
      release.notify();
    } else if (c.before == Before::OwnTask) {
      queue.sync([&] {
        returned = queue.runOrAsync(task, c.quiet);
        order.push_back(1); // the queued task runs only after this one
      });
    } else {
      if (c.before == Before::BurstSteps) {
        EXPECT_TRUE(queue.runOrAsync([&] { order.push_back(1); }, c.quiet));
        EXPECT_TRUE(queue.runOrAsync([] {}, c.quiet));
      }
      returned = queue.runOrAsync(task, c.quiet);
      if (c.before == Before::Nothing) order.insert(order.begin(), 1);
    }
    ASSERT_TRUE(ran.wait());
    queue.sync([] {});
    EXPECT_EQ(returned, c.runsHere);
    EXPECT_EQ(ranOn == std::this_thread::get_id(), c.runsHere);
    EXPECT_TRUE(current);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
  }
}

// A task run inline holds the queue: a task another thread queues meanwhile waits for it, and
// the tasks it queues itself run after it, in order.
TEST(SerialQueueTest, RunOrAsyncKeepsTheQueueExclusiveAndOrdered) {
  SerialQueue queue("inline-exclusive");
  std::vector<int> order;
  Signal started, queuedFromOther;
  std::atomic<bool> otherRanEarly{false};
  bool inlineRun = false;
  std::thread other;
  bool here = queue.runOrAsync([&] {
    order.push_back(1);
    other = std::thread([&] {
      queue.async([&] { order.push_back(3); });
      queuedFromOther.notify();
    });
    EXPECT_TRUE(queuedFromOther.wait());
    otherRanEarly = order.size() != 1;
    inlineRun = queue.runOrAsync([&] { order.push_back(4); }); // nested: queued
    for (int i = 5; i < 40; ++i) queue.async([&order, i] { order.push_back(i); });
    order.push_back(2);
  });
  other.join();
  queue.sync([] {});
  EXPECT_TRUE(here);
  EXPECT_FALSE(inlineRun);
  EXPECT_FALSE(otherRanEarly.load());
  ASSERT_EQ(order.size(), 39u);
  for (int i = 0; i < 39; ++i) EXPECT_EQ(order[i], i + 1);
}

// A task run inline that throws passes the exception to the caller and releases the queue; one
// that drops the queue's last reference does not hang.
TEST(SerialQueueTest, RunOrAsyncReleasesTheQueueOnThrowAndDestruction) {
  SerialQueue queue("inline-throw");
  EXPECT_THROW(queue.runOrAsync([] { throw std::runtime_error("task failed"); }), std::runtime_error);
  bool after = false;
  queue.sync([&] { after = true; });
  EXPECT_TRUE(after);

  auto owned = std::make_shared<SerialQueue>("inline-owned");
  auto* raw = owned.get();
  int ran = 0;
  EXPECT_TRUE(raw->runOrAsync([keep = std::move(owned), &ran]() mutable {
    keep.reset(); // ~SerialQueue runs here, on the queue itself
    ++ran;
  }));
  EXPECT_EQ(ran, 1);
}

// RunOnce runs its task exactly once, however many threads race for it.
TEST(RunOnceTest, RunsExactlyOnceAcrossThreads) {
  std::once_flag flag;
  std::atomic<int> runs{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] { platform::RunOnce(flag, [&] { runs.fetch_add(1); }); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(runs.load(), 1);
}

} // namespace
