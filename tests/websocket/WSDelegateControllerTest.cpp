// The delegate controller: flags recorded when the delegate is set, the queue settings and
// their invariant, reports on the chosen queue with a snapshot of the delegate.
#include "websocket/WSDelegateController.hpp"

#include "platform/Queue.hpp"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

namespace {

class NullDelegate : public WSWebSocketDelegate {};

// A present delegate takes every report (all nine flags); none takes none.
TEST(WSDelegateControllerTest, FlagsFollowTheDelegate) {
  WSDelegateController controller;
  EXPECT_EQ(controller.availableDelegateMethods().bits(), 0);
  auto delegate = std::make_shared<NullDelegate>();
  controller.setDelegate(delegate);
  EXPECT_EQ(controller.availableDelegateMethods().bits(), 0x1FF);
  EXPECT_EQ(controller.delegate(), delegate);
  controller.setDelegate({});
  EXPECT_EQ(controller.availableDelegateMethods().bits(), 0);
  EXPECT_EQ(controller.delegate(), nullptr);
}

// The flags record converts to and from its bit values (didReceiveMessage 1, ..., convert 256).
TEST(WSDelegateControllerTest, FlagBitsRoundTrip) {
  for (std::uint16_t bits : {0, 1, 57, 256, 0x1FF})
    EXPECT_EQ(WSDelegateAvailableMethods::fromBits(bits).bits(), bits);
  WSDelegateAvailableMethods m = WSDelegateAvailableMethods::fromBits(57);
  EXPECT_TRUE(m.didReceiveMessage && m.didOpen && m.didFailWithError && m.didCloseWithCode);
  EXPECT_FALSE(m.didReceiveMessageWithString || m.didReceivePing || m.shouldConvertTextFrameToString);
}

// Exactly one of the dispatch queue and the operation queue is set; clearing brings back main.
TEST(WSDelegateControllerTest, QueueSettingsKeepTheInvariant) {
  WSDelegateController controller;
  auto main = WSDelegateController::mainQueue();
  EXPECT_EQ(controller.dispatchQueue().get(), main.get());
  EXPECT_EQ(controller.operationQueue(), nullptr);
  auto queue = std::make_shared<platform::SerialQueue>("test.operations");
  controller.setOperationQueue(queue);
  EXPECT_EQ(controller.dispatchQueue(), nullptr);
  EXPECT_EQ(controller.operationQueue(), queue);
  controller.setOperationQueue(nullptr);
  EXPECT_EQ(controller.dispatchQueue().get(), main.get());
  controller.setOperationQueue(queue);
  controller.setDispatchQueue(nullptr);
  EXPECT_EQ(controller.dispatchQueue().get(), main.get());
  EXPECT_EQ(controller.operationQueue(), nullptr);
}

// A report runs on the chosen queue with the delegate set just before it; once the delegate is
// gone, a report runs with none (and still runs).
TEST(WSDelegateControllerTest, ReportsRunOnTheQueueWithASnapshot) {
  WSDelegateController controller;
  auto queue = std::make_shared<platform::SerialQueue>("test.reports");
  controller.setDispatchQueue(queue);
  auto delegate = std::make_shared<NullDelegate>();
  controller.setDelegate(delegate);
  std::promise<std::pair<bool, bool>> first;
  controller.performDelegateBlock(
      [&](const std::shared_ptr<WSWebSocketDelegate>& d, WSDelegateAvailableMethods m) {
        first.set_value({d == delegate && m.didOpen, queue->isCurrent()});
      });
  EXPECT_EQ(first.get_future().get(), std::make_pair(true, true));
  queue->sync([] {}); // the first report has released its snapshot
  delegate.reset();
  std::promise<std::pair<bool, std::uint16_t>> second;
  controller.performDelegateBlock(
      [&](const std::shared_ptr<WSWebSocketDelegate>& d, WSDelegateAvailableMethods m) {
        second.set_value({d == nullptr, m.bits()});
      });
  EXPECT_EQ(second.get_future().get(), std::make_pair(true, std::uint16_t(0)));
  queue->sync([] {}); // the reports have returned before their promises go away
}

// Reports on a serial queue run one at a time in submission order.
TEST(WSDelegateControllerTest, ReportsKeepTheirOrder) {
  WSDelegateController controller;
  auto queue = std::make_shared<platform::SerialQueue>("test.order");
  controller.setDispatchQueue(queue);
  std::vector<int> order;
  std::promise<void> done;
  for (int i = 0; i < 100; ++i) controller.performDelegateQueueBlock([&order, i] { order.push_back(i); });
  controller.performDelegateQueueBlock([&] { done.set_value(); });
  done.get_future().get();
  queue->sync([] {});
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

// Held reports wait for the last release, keep their order with reports made before the hold,
// and a change of queue during a hold hands the held ones to the queue they were made for.
TEST(WSDelegateControllerTest, HeldReportsGoAtTheLastRelease) {
  WSDelegateController controller;
  auto first = std::make_shared<platform::SerialQueue>("test.held.first");
  auto second = std::make_shared<platform::SerialQueue>("test.held.second");
  controller.setDispatchQueue(first);
  std::vector<std::pair<int, bool>> ran; // (report, ran on the first queue); written on one queue at a time
  std::mutex lock;
  auto report = [&](int i) {
    controller.performDelegateQueueBlock([&, i] {
      std::lock_guard guard(lock);
      ran.push_back({i, first->isCurrent()});
    });
  };
  auto count = [&] {
    std::lock_guard guard(lock);
    return ran.size();
  };
  // Make sure the first batch has drained, so the held ones open a new one.
  report(0);
  first->sync([] {});
  controller.holdReports();
  controller.holdReports();
  report(1);
  report(2);
  first->sync([] {});
  EXPECT_EQ(count(), 1u);
  controller.releaseReports();
  first->sync([] {});
  EXPECT_EQ(count(), 1u) << "an inner release hands nothing over";
  controller.setDispatchQueue(second);
  report(3); // for the second queue: the held batch for the first goes now
  first->sync([] {});
  EXPECT_EQ(count(), 3u);
  controller.releaseReports();
  second->sync([] {});
  ASSERT_EQ(count(), 4u);
  EXPECT_EQ(ran, (std::vector<std::pair<int, bool>>{{0, true}, {1, true}, {2, true}, {3, false}}));
  controller.releaseReports(); // unbalanced: ignored
}

} // namespace
