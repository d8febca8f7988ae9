#include "notifications/DistributedNotificationCenter.hpp"

#include "platform/RunLoop.hpp"
#include "support/DBusClient.hpp"
#include "support/LogCapture.hpp"
#include "support/PrivateSessionBus.hpp"
#include "support/Process.hpp"
#include "support/ScopedEnv.hpp"
#include "support/SessionBusDaemon.hpp"
#include "support/TempDir.hpp"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using nlohmann::json;
using platform::DistributedNotification;
using platform::DistributedNotificationCenter;
using platform::RunLoop;

// sdbus-c++ 1.2 does not release its sd-bus object when opening a bus fails (the unreachable-bus
// cases below); that one allocation is the library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:sd_bus_new\n"; }

namespace {

constexpr auto kTimeout = std::chrono::seconds(20);

/// Collects what an observer receives, with whether it ran on the main loop's thread.
struct Inbox {
  std::vector<DistributedNotification> received;
  bool allOnMainThread = true;
  auto handler() {
    return [this](const DistributedNotification& n) {
      allOnMainThread = allOnMainThread && RunLoop::main().isCurrent();
      received.push_back(n);
    };
  }
  bool waitFor(std::size_t count) {
    if (received.size() >= count) return true;
    return RunLoop::main().runUntil([&] { return received.size() >= count; }, kTimeout);
  }
};

class DistributedNotificationCenterTest : public ::testing::Test {
protected:
  void SetUp() override { log = &testsupport::TestLog(); }

  std::shared_ptr<DistributedNotificationCenter> center() {
    return DistributedNotificationCenter::sessionBusCenter(RunLoop::main(), bus.address());
  }

  int emit(const std::string& name, const std::string& object, const std::string& userInfo) {
    return testsupport::GdbusEmit(bus.address(), name, object, userInfo);
  }

  testsupport::LogCapture* log = nullptr;
  testsupport::PrivateSessionBus bus;
};

// Nothing the center holds reaches a program the process starts: every descriptor it opened
// (the bus connection, the duplicate its loop watches) is close-on-exec.
TEST_F(DistributedNotificationCenterTest, EveryDescriptorIsCloseOnExec) {
  auto descriptors = [] {
    std::set<int> found;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
      found.insert(std::stoi(entry.path().filename().string()));
    return found;
  };
  auto before = descriptors();
  auto c = center();
  ASSERT_TRUE(c->isAvailable());
  ASSERT_NE(c->addObserver("Zorbel Stream Deck Key", "com.zorbel.streamdeck",
                           [](const DistributedNotification&) {}),
            0u);
  int added = 0;
  for (int fd : descriptors()) {
    if (before.count(fd)) continue;
    int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0) continue; // the listing's own descriptor, closed by now
    ++added;
    EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd << " is not close-on-exec: "
                                    << std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
  }
  EXPECT_GE(added, 2);
}

// No session bus to wait for (no address in the environment and no runtime folder, or an
// address that is no bus): one "display" line, a sentence naming the address tried (and the
// system's reason, when there was an address), an unavailable center for good, and no failure
// anywhere.
TEST_F(DistributedNotificationCenterTest, NoSessionBusAtAllMakesAnUnavailableCenter) {
  const struct {
    std::optional<std::string> environment;
    std::optional<std::string> given;
    std::string line;
  } cases[] = {
      {std::nullopt, std::nullopt,
       "Distributed notifications are unavailable: cannot reach the D-Bus session bus at (none: neither "
       "DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)"},
      {"nonsense", std::nullopt,
       "Distributed notifications are unavailable: cannot reach the D-Bus session bus at nonsense ("},
      {std::nullopt, "nonsense:",
       "Distributed notifications are unavailable: cannot reach the D-Bus session bus at nonsense: ("},
  };
  for (const auto& c : cases) {
    testsupport::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", c.environment);
    testsupport::ScopedEnv folder("XDG_RUNTIME_DIR", std::nullopt);
    auto mark = log->mark();
    auto center = DistributedNotificationCenter::sessionBusCenter(RunLoop::main(), c.given);
    EXPECT_FALSE(center->isAvailable());
    EXPECT_EQ(log->count(c.line, mark), 1) << log->since(mark);
    // The sentence alone: not sd-bus's "[System.Error.ENOMEDIUM] … (No medium found)".
    EXPECT_EQ(log->count("[System.Error", mark) + log->count("No medium", mark), 0) << log->since(mark);
    EXPECT_EQ(log->count(c.line + " (", mark), 0) << log->since(mark);
    center->postNotificationName("N", "O", json{{"a", 1}});
    EXPECT_EQ(center->addObserver("N", "O", [](const DistributedNotification&) {}), 0u);
  }
}

// A post is the broadcast signal of the contract, with the contract's type for each value.
TEST_F(DistributedNotificationCenterTest, PostUsesTheContractTypes) {
  auto c = center();
  ASSERT_TRUE(c->isAvailable());
  testsupport::NotificationWatcher watcher(bus.address(), "Zorbel Stream Deck Key");
  json userInfo = {{"context", "ctx"},
                   {"row", 1},
                   {"column", -2},
                   {"pressed", true},
                   {"big", 5000000000},
                   {"huge", 18446744073709551615ULL},
                   {"d", 1.5},
                   {"obj", {{"a", "b"}}},
                   {"arr", json::array({1, "x"})}};
  c->postNotificationName("Zorbel Stream Deck Key", "com.zorbel.streamdeck", userInfo);
  auto seen = watcher.next();
  ASSERT_TRUE(seen);
  EXPECT_EQ((*seen)["path"], "/com/zorbel/DistributedNotifications");
  EXPECT_EQ((*seen)["signature"], "(ssa{sv})");
  EXPECT_EQ((*seen)["name"], "Zorbel Stream Deck Key");
  EXPECT_EQ((*seen)["object"], "com.zorbel.streamdeck");
  EXPECT_EQ((*seen)["types"], (json{{"context", "s"},
                                    {"row", "i"},
                                    {"column", "i"},
                                    {"pressed", "b"},
                                    {"big", "x"},
                                    {"huge", "t"},
                                    {"d", "d"},
                                    {"obj", "a{sv}"},
                                    {"arr", "av"}}));
  EXPECT_EQ((*seen)["userInfo"], userInfo);
}

// A post the connection refuses (a text that is not UTF-8) is counted, so that a program that
// exits after posting can tell it from success; one that goes out is not.
TEST_F(DistributedNotificationCenterTest, RefusedPostsAreCounted) {
  auto c = center();
  ASSERT_TRUE(c->isAvailable());
  std::vector<std::uint64_t> counts;
  RunLoop::main().queue().async([&] { // on the loop, where a post is written at once
    for (const char* title : {"ok", "caf\xe9", "ok"}) {
      c->postNotificationName("Zorbel Stream Deck Set Title", "com.zorbel.streamdeck",
                              json{{"title", title}});
      counts.push_back(c->failedPosts());
    }
  });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return counts.size() == 3; }, kTimeout));
  EXPECT_EQ(counts, (std::vector<std::uint64_t>{0, 1, 1}));
}

// A well-known name has one owner: a second request fails naming the owner's process, one with
// `replace` takes it over and the first owner hears of it on its loop.
TEST_F(DistributedNotificationCenterTest, ANameHasOneOwnerUntilReplaced) {
  auto first = center(), second = center();
  int lost = 0;
  auto owned = first->requestName("com.zorbel.test.One", false, [&] { ++lost; });
  EXPECT_TRUE(owned.owned) << owned.failure;
  auto refused = second->requestName("com.zorbel.test.One", false, [] {});
  EXPECT_FALSE(refused.owned);
  EXPECT_EQ(refused.owner, static_cast<std::uint32_t>(::getpid()));
  auto replaced = second->requestName("com.zorbel.test.One", true, [] {});
  EXPECT_TRUE(replaced.owned) << replaced.failure;
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return lost == 1; }, kTimeout));
}

// Notifications from another program arrive on the main thread, with every D-Bus type converted.
TEST_F(DistributedNotificationCenterTest, EmittedNotificationsAreConverted) {
  auto c = center();
  Inbox inbox;
  ASSERT_NE(c->addObserver("Types", "com.zorbel.streamdeck", inbox.handler()), 0u);
  ASSERT_EQ(emit("Types", "com.zorbel.streamdeck",
                 "{'s': <'text'>, 'b': <true>, 'y': <byte 7>, 'n': <int16 -3>, 'q': <uint16 3>, "
                 "'i': <int32 -70000>, 'u': <uint32 4000000000>, 'x': <int64 -5000000000>, "
                 "'t': <uint64 18446744073709551615>, 'd': <2.5>, 'o': <objectpath '/a/b'>, "
                 "'g': <signature 'a{sv}'>, 'as': <['p', 'q']>, 'ai': <[1, 2]>, 'dict': <{'k': <1>}>, "
                 "'st': <(1, 'two')>, 'aii': <{1: 2}>, 'vv': <<<'deep'>>>}"),
            0);
  ASSERT_TRUE(inbox.waitFor(1));
  EXPECT_TRUE(inbox.allOnMainThread);
  EXPECT_EQ(inbox.received[0].name, "Types");
  EXPECT_EQ(inbox.received[0].object, "com.zorbel.streamdeck");
  EXPECT_EQ(inbox.received[0].userInfo, (json{{"s", "text"},
                                              {"b", true},
                                              {"y", 7},
                                              {"n", -3},
                                              {"q", 3},
                                              {"i", -70000},
                                              {"u", 4000000000u},
                                              {"x", -5000000000},
                                              {"t", 18446744073709551615ULL},
                                              {"d", 2.5},
                                              {"o", "/a/b"},
                                              {"g", "a{sv}"},
                                              {"as", json::array({"p", "q"})},
                                              {"ai", json::array({1, 2})},
                                              {"dict", {{"k", 1}}},
                                              {"st", json::array({1, "two"})},
                                              {"aii", {{"1", 2}}},
                                              {"vv", "deep"}}));
}

// Only notifications with exactly the observed name and object are delivered.
TEST_F(DistributedNotificationCenterTest, OnlyTheObservedNameAndObjectArrive) {
  auto sender = center();
  auto receiver = center();
  Inbox inbox;
  receiver->addObserver("Zorbel Stream Deck Show OK", "com.zorbel.streamdeck", inbox.handler());
  sender->postNotificationName("Zorbel Stream Deck Show OK", "com.other.app", json{{"n", 1}});
  sender->postNotificationName("Zorbel Stream Deck Show Alert", "com.zorbel.streamdeck", json{{"n", 2}});
  sender->postNotificationName("zorbel stream deck show ok", "com.zorbel.streamdeck", json{{"n", 3}});
  sender->postNotificationName("Zorbel Stream Deck Show OK", "com.zorbel.streamdeck", json{{"n", 4}});
  ASSERT_TRUE(inbox.waitFor(1));
  ASSERT_EQ(emit("Zorbel Stream Deck Show OK", "com.zorbel.streamdeckX", "{'n': <5>}"), 0);
  // The contract's name and object on another object path is not the contract's notification.
  ASSERT_EQ(testsupport::GdbusEmit(bus.address(), "Zorbel Stream Deck Show OK", "com.zorbel.streamdeck",
                                   "{'n': <6>}", "/com/zorbel/Other"),
            0);
  ASSERT_EQ(emit("Zorbel Stream Deck Show OK", "com.zorbel.streamdeck", "{'n': <7>}"), 0);
  ASSERT_TRUE(inbox.waitFor(2));
  ASSERT_EQ(inbox.received.size(), 2u);
  EXPECT_EQ(inbox.received[0].userInfo, (json{{"n", 4}}));
  EXPECT_EQ(inbox.received[1].userInfo, (json{{"n", 7}}));
}

// Names with apostrophes are matched exactly. Names no rule can select for both the bus and
// sd-bus (a backslash; an apostrophe and a comma) are refused with a "display" line.
TEST_F(DistributedNotificationCenterTest, QuotedNamesMatchExactly) {
  EXPECT_EQ(platform::DistributedNotificationMatchRule("it's", "o k"),
            "type='signal',interface='com.zorbel.DistributedNotifications',member='Notification',"
            "path='/com/zorbel/DistributedNotifications',arg0=it\\'s,arg1='o k'");
  auto c = center();
  Inbox inbox;
  EXPECT_NE(c->addObserver("it's", "o k", inbox.handler()), 0u);
  c->postNotificationName("its", "o k", json::object());
  c->postNotificationName("it's", "o k", json{{"ok", true}});
  ASSERT_TRUE(inbox.waitFor(1));
  EXPECT_EQ(inbox.received[0].userInfo, (json{{"ok", true}}));
  auto mark = log->mark();
  EXPECT_EQ(c->addObserver("a\\b", "o", inbox.handler()), 0u);
  EXPECT_EQ(c->addObserver("it's, a list", "o", inbox.handler()), 0u);
  EXPECT_NE(c->addObserver("a, b", "o", inbox.handler()), 0u);
  EXPECT_EQ(log->count("Failed to observe the distributed notification", mark), 2);
}

// Several observers of the same notification each get it once; a removed one gets nothing more.
TEST_F(DistributedNotificationCenterTest, ObserversAndRemoval) {
  auto c = center();
  Inbox first, second;
  auto token = c->addObserver("N", "O", first.handler());
  c->addObserver("N", "O", second.handler());
  c->postNotificationName("N", "O", json{{"k", 1}});
  ASSERT_TRUE(first.waitFor(1));
  ASSERT_TRUE(second.waitFor(1));
  c->removeObserver(token);
  c->postNotificationName("N", "O", json{{"k", 2}});
  ASSERT_TRUE(second.waitFor(2));
  EXPECT_EQ(first.received.size(), 1u);
}

// Posting from another thread goes through the main loop and arrives.
TEST_F(DistributedNotificationCenterTest, PostFromAnotherThread) {
  auto c = center();
  Inbox inbox;
  c->addObserver("T", "O", inbox.handler());
  std::thread poster([&] { c->postNotificationName("T", "O", json{{"from", "thread"}}); });
  poster.join();
  ASSERT_TRUE(inbox.waitFor(1));
  EXPECT_EQ(inbox.received[0].userInfo, (json{{"from", "thread"}}));
}

// A signal whose third argument is not a dictionary arrives with an empty userInfo.
TEST_F(DistributedNotificationCenterTest, ForeignBodyGivesEmptyUserInfo) {
  auto c = center();
  Inbox inbox;
  c->addObserver("N", "O", inbox.handler());
  ASSERT_EQ(emit("N", "O", "42"), 0);
  ASSERT_TRUE(inbox.waitFor(1));
  EXPECT_EQ(inbox.received[0].userInfo, json::object());
}

// Losing the bus is logged once; the center is unavailable (until it reconnects) and nothing fails.
TEST_F(DistributedNotificationCenterTest, LosingTheBusIsReported) {
  auto c = center();
  Inbox inbox;
  c->addObserver("N", "O", inbox.handler());
  auto mark = log->mark();
  bus.stop();
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return !c->isAvailable(); }, kTimeout));
  EXPECT_EQ(log->count("Distributed notifications are unavailable", mark), 1);
  c->postNotificationName("N", "O", json::object());
  EXPECT_TRUE(inbox.received.empty());
}

// ---- Reconnection --------------------------------------------------------------------------------

// A bus daemon on a fixed socket path that the tests end and start again at the same address.
class DistributedNotificationReconnectTest : public ::testing::Test {
protected:
  void SetUp() override {
    log = &testsupport::TestLog();
    daemon.start();
  }

  std::shared_ptr<DistributedNotificationCenter> center() {
    return DistributedNotificationCenter::sessionBusCenter(RunLoop::main(), daemon.address());
  }

  /// Ends the daemon and serves the main loop until `c` has noticed.
  ::testing::AssertionResult loseTheBus(const std::shared_ptr<DistributedNotificationCenter>& c) {
    daemon.stop();
    if (RunLoop::main().runUntil([&] { return !c->isAvailable(); }, kTimeout))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the center did not notice the lost bus";
  }

  /// Starts the daemon again and serves the main loop until `c` is connected to it.
  ::testing::AssertionResult restartTheBus(const std::shared_ptr<DistributedNotificationCenter>& c) {
    daemon.start();
    if (RunLoop::main().runUntil([&] { return c->isAvailable(); }, kTimeout))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the center did not reconnect";
  }

  int emit(const std::string& name, const std::string& object, const std::string& userInfo) {
    return testsupport::GdbusEmit(daemon.address(), name, object, userInfo);
  }

  /// Posts a key notification through `c`; a subscriber on the bus must see it as posted.
  ::testing::AssertionResult postReachesASubscriber(const std::shared_ptr<DistributedNotificationCenter>& c) {
    testsupport::NotificationWatcher watcher(daemon.address(), "Zorbel Stream Deck Key");
    c->postNotificationName("Zorbel Stream Deck Key", "com.zorbel.streamdeck", json{{"n", 1}});
    auto seen = watcher.next();
    if (!seen) return ::testing::AssertionFailure() << "no subscriber saw the post";
    if ((*seen)["userInfo"] != json{{"n", 1}})
      return ::testing::AssertionFailure() << "the subscriber saw " << (*seen)["userInfo"].dump();
    return ::testing::AssertionSuccess();
  }

  testsupport::LogCapture* log = nullptr;
  testsupport::TempDir folder;
  testsupport::SessionBusDaemon daemon{folder.file("bus")};
};

// The bus ends and comes back at the same address: the center says so once each way, observes
// again (an engine on the new bus reaches its observer) and posts again (a subscriber on the new
// bus gets its notifications). What was posted in between is dropped with a line, not kept.
TEST_F(DistributedNotificationReconnectTest, TheCenterReconnectsWhenTheBusComesBack) {
  auto c = center();
  ASSERT_TRUE(c->isAvailable());
  Inbox inbox;
  ASSERT_NE(c->addObserver("Zorbel Stream Deck Show OK", "com.zorbel.streamdeck", inbox.handler()), 0u);
  auto mark = log->mark();
  ASSERT_TRUE(loseTheBus(c));
  EXPECT_EQ(log->count("Distributed notifications are unavailable: the D-Bus session bus connection was lost",
                       mark),
            1);

  // Posts meanwhile (from this thread and another, through the loop) are dropped with a line
  // each; the callers never wait.
  c->postNotificationName("Zorbel Stream Deck Key", "com.zorbel.streamdeck", json{{"n", 0}});
  std::thread poster([&] { c->postNotificationName("Other", "com.zorbel.streamdeck", json{}); });
  poster.join();
  ASSERT_TRUE(RunLoop::main().runUntil(
      [&] { return log->count("Dropped the distributed notification", mark) == 2; }, kTimeout));
  EXPECT_EQ(
      log->count("Dropped the distributed notification Zorbel Stream Deck Key: the D-Bus session bus is "
                 "not connected",
                 mark),
      1);

  ASSERT_TRUE(restartTheBus(c));
  EXPECT_EQ(
      log->count("Distributed notifications are available again: reconnected to the D-Bus session bus", mark),
      1);
  EXPECT_EQ(log->count("2 notifications dropped meanwhile", mark), 1);

  ASSERT_EQ(emit("Zorbel Stream Deck Show OK", "com.zorbel.streamdeck", "{'zbID': <'R1C1'>}"), 0);
  ASSERT_TRUE(inbox.waitFor(1));
  EXPECT_TRUE(inbox.allOnMainThread);
  EXPECT_EQ(inbox.received[0].userInfo, (json{{"zbID", "R1C1"}}));

  EXPECT_TRUE(postReachesASubscriber(c));
  EXPECT_EQ(inbox.received.size(), 1u);
}

// Posts made before the center has read that the bus is gone fail on the closed socket: they show
// the loss (once) and are dropped like any post while it lasts, never reported as failures.
TEST_F(DistributedNotificationReconnectTest, PostsIntoTheJustLostBusAreDropped) {
  auto c = center();
  ASSERT_TRUE(c->isAvailable());
  auto mark = log->mark();
  // One step of the loop, so the posts run on it before it can read the closed socket.
  RunLoop::main().queue().async([&] {
    daemon.stop();
    for (int n = 0; n < 5; ++n)
      c->postNotificationName("Zorbel Stream Deck Key", "com.zorbel.streamdeck", json{{"n", n}});
  });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return !c->isAvailable(); }, kTimeout));
  EXPECT_EQ(log->count("Failed to post", mark), 0) << log->since(mark);
  EXPECT_EQ(log->count("the D-Bus session bus connection was lost", mark), 1);
  // Repeats of a line are logged as one line and a count.
  EXPECT_EQ(log->count("Dropped the distributed notification Zorbel Stream Deck Key", mark), 1);
  EXPECT_EQ(c->failedPosts(), 5u);
}

// It keeps doing so: a second outage is handled like the first, and the connected handler runs
// once for each reconnection (not for the first connection).
TEST_F(DistributedNotificationReconnectTest, EveryOutageIsRecoveredFrom) {
  auto c = center();
  Inbox inbox;
  ASSERT_NE(c->addObserver("N", "O", inbox.handler()), 0u);
  int connected = 0;
  c->setConnectedHandler([&] {
    ++connected;
    EXPECT_TRUE(c->isAvailable());
  });
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    auto mark = log->mark();
    ASSERT_TRUE(loseTheBus(c));
    ASSERT_TRUE(restartTheBus(c));
    EXPECT_EQ(log->count("the D-Bus session bus connection was lost", mark), 1);
    EXPECT_EQ(log->count("reconnected to the D-Bus session bus", mark), 1);
    EXPECT_EQ(connected, round);
    ASSERT_EQ(emit("N", "O", "{'round': <" + std::to_string(round) + ">}"), 0);
    ASSERT_TRUE(inbox.waitFor(static_cast<std::size_t>(round)));
    EXPECT_EQ(inbox.received.back().userInfo, (json{{"round", round}}));
  }
}

// Observers added while disconnected are served once the bus is back; removed ones are not
// observed again; names no match rule can select are still refused.
TEST_F(DistributedNotificationReconnectTest, ObserversChangedWhileDisconnected) {
  auto c = center();
  Inbox kept, removed, added;
  ASSERT_NE(c->addObserver("N", "O", kept.handler()), 0u);
  auto token = c->addObserver("N", "O", removed.handler());
  ASSERT_NE(token, 0u);
  ASSERT_TRUE(loseTheBus(c));
  EXPECT_NE(c->addObserver("N", "O", added.handler()), 0u);
  EXPECT_EQ(c->addObserver("a\\b", "O", added.handler()), 0u);
  c->removeObserver(token);
  ASSERT_TRUE(restartTheBus(c));
  // One signal matches every observer's rule: the three handlers would run in the same pass.
  ASSERT_EQ(emit("N", "O", "{'k': <1>}"), 0);
  ASSERT_TRUE(kept.waitFor(1));
  ASSERT_TRUE(added.waitFor(1));
  EXPECT_EQ(added.received[0].userInfo, (json{{"k", 1}}));
  EXPECT_TRUE(removed.received.empty());
  EXPECT_EQ(kept.received.size(), 1u);
}

// While the bus stays away the attempts come 100 ms after the loss and then twice as far apart
// each time; they are traced, never logged as failures. Destroying a center that waits for its
// next attempt returns at once and leaves nothing that runs later: its timer ends with it and
// no task keeps it alive.
TEST_F(DistributedNotificationReconnectTest, ShutdownWhileDisconnectedIsPrompt) {
  auto c = center();
  Inbox inbox;
  c->addObserver("N", "O", inbox.handler());
  auto mark = log->mark();
  ASSERT_TRUE(loseTheBus(c));
  ASSERT_TRUE(RunLoop::main().runUntil(
      [&] { return log->count("Reconnecting to the D-Bus session bus: attempt 3 failed", mark) == 1; },
      kTimeout));
  EXPECT_EQ(log->count("attempt 1 failed (No such file or directory), next in 200 ms", mark), 1);
  EXPECT_EQ(log->count("attempt 2 failed (No such file or directory), next in 400 ms", mark), 1);
  EXPECT_EQ(log->count("attempt 3 failed (No such file or directory), next in 800 ms", mark), 1);
  EXPECT_EQ(log->count("Reconnecting to the D-Bus session bus failed", mark), 0);

  std::weak_ptr<DistributedNotificationCenter> weak = c;
  auto before = std::chrono::steady_clock::now();
  c.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_TRUE(weak.expired());
  mark = log->mark();
  daemon.start();
  bool served = false;
  RunLoop::main().queue().async([&] { served = true; });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return served; }, kTimeout));
  EXPECT_EQ(log->count("D-Bus session bus", mark), 0);
  EXPECT_TRUE(inbox.received.empty());
}

// A socket left at the address with nobody listening (a bus that crashed) is retried the same
// way, and the bus that starts there later is found.
TEST_F(DistributedNotificationReconnectTest, AStaleSocketIsRetried) {
  auto c = center();
  Inbox inbox;
  ASSERT_NE(c->addObserver("N", "O", inbox.handler()), 0u);
  auto mark = log->mark();
  ASSERT_TRUE(loseTheBus(c));
  const std::string path = folder.file("bus");
  int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(stale, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ::unlink(path.c_str());
  ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(stale); // bound, never listening: connecting is refused
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return log->count("failed (Connection refused)", mark) >= 1; },
                                       kTimeout));
  ASSERT_TRUE(restartTheBus(c));
  ASSERT_EQ(emit("N", "O", "{'k': <1>}"), 0);
  ASSERT_TRUE(inbox.waitFor(1));
}

// A session whose bus starts after the plug-in: the usual lookup finds no socket in the runtime
// folder yet, so the center waits for one. Observers added meanwhile are served and posts are
// dropped with a line; once the bus is there the center connects and says so.
TEST_F(DistributedNotificationReconnectTest, TheCenterWaitsForABusThatStartsLater) {
  daemon.stop();
  testsupport::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
  testsupport::ScopedEnv runtime("XDG_RUNTIME_DIR", folder.path());
  auto mark = log->mark();
  auto c = DistributedNotificationCenter::sessionBusCenter(RunLoop::main(), std::nullopt);
  EXPECT_FALSE(c->isAvailable());
  EXPECT_EQ(log->count("Distributed notifications are unavailable: no D-Bus session bus yet", mark), 1);
  Inbox inbox;
  ASSERT_NE(c->addObserver("Zorbel Stream Deck Show OK", "com.zorbel.streamdeck", inbox.handler()), 0u);
  c->postNotificationName("Zorbel Stream Deck Key", "com.zorbel.streamdeck", json{{"n", 0}});
  ASSERT_TRUE(RunLoop::main().runUntil(
      [&] { return log->count("Dropped the distributed notification Zorbel Stream Deck Key", mark) == 1; },
      kTimeout));

  int connected = 0;
  c->setConnectedHandler([&] { ++connected; });
  ASSERT_TRUE(restartTheBus(c));
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(log->count("Distributed notifications are available: connected to the D-Bus session bus", mark),
            1);
  EXPECT_EQ(log->count("available again", mark), 0);
  ASSERT_EQ(emit("Zorbel Stream Deck Show OK", "com.zorbel.streamdeck", "{'zbID': <'A'>}"), 0);
  ASSERT_TRUE(inbox.waitFor(1));
  EXPECT_EQ(inbox.received[0].userInfo, (json{{"zbID", "A"}}));
  EXPECT_TRUE(postReachesASubscriber(c));
}

// A bus that accepts connections but does not answer (a stopped daemon) never holds the loop:
// each attempt gives up on it after a while, the loop serves everything else meanwhile, and once
// the daemon answers again the center is back. A center waiting for such a bus quits at once.
TEST_F(DistributedNotificationReconnectTest, ASilentBusDoesNotHoldTheLoop) {
  auto c = center();
  auto other = center();
  Inbox inbox;
  ASSERT_NE(c->addObserver("N", "O", inbox.handler()), 0u);
  auto mark = log->mark();
  daemon.stop();
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return !c->isAvailable() && !other->isAvailable(); }, kTimeout));
  daemon.start();
  daemon.pause();
  ASSERT_TRUE(RunLoop::main().runUntil(
      [&] { return log->count("failed (the bus accepts connections but does not answer)", mark) >= 2; },
      kTimeout));
  EXPECT_FALSE(c->isAvailable());
  // The loop is free: a task queued now runs at once, though attempts keep waiting on the bus.
  bool served = false;
  auto queued = std::chrono::steady_clock::now();
  RunLoop::main().queue().async([&] { served = true; });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return served; }, kTimeout));
  EXPECT_LT(std::chrono::steady_clock::now() - queued, std::chrono::milliseconds(1000));

  std::weak_ptr<DistributedNotificationCenter> weak = other;
  auto before = std::chrono::steady_clock::now();
  other.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_TRUE(weak.expired());

  daemon.resume();
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return c->isAvailable(); }, kTimeout));
  ASSERT_EQ(emit("N", "O", "{'k': <1>}"), 0);
  ASSERT_TRUE(inbox.waitFor(1));
}

} // namespace
