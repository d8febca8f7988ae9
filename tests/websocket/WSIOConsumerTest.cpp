// Read requests and their pool: reset values, the capacity of idle records, reuse order.
#include "websocket/WSIOConsumer.hpp"

#include <gtest/gtest.h>

namespace {

WSIOHandler NoHandler() {
  return [](WSWebSocketConnection&, const WSDispatchData*) {};
}

// A record keeps what it was reset with.
TEST(WSIOConsumerTest, ResetStoresTheValues) {
  WSIOConsumerPool pool;
  auto consumer = pool.consumerWithScanner(nullptr, NoHandler(), 42, true, false);
  EXPECT_FALSE(consumer->consumer());
  EXPECT_TRUE(consumer->handler());
  EXPECT_EQ(consumer->bytesNeeded(), 42u);
  EXPECT_TRUE(consumer->readToCurrentFrame());
  EXPECT_FALSE(consumer->unmaskBytes());
  consumer->setBytesNeeded(2);
  EXPECT_EQ(consumer->bytesNeeded(), 2u);
}

// The pool keeps at most 8 idle records; a ninth is dropped; the next request takes the most
// recently returned one.
TEST(WSIOConsumerTest, PoolKeepsEightIdleRecords) {
  WSIOConsumerPool pool;
  std::vector<std::unique_ptr<WSIOConsumer>> records;
  for (int i = 0; i < 9; ++i)
    records.push_back(pool.consumerWithScanner(nullptr, NoHandler(), 1, false, false));
  WSIOConsumer* last = nullptr;
  for (auto& r : records) {
    last = r.get();
    pool.returnConsumer(std::move(r));
  }
  EXPECT_EQ(pool.idleCount(), 8u);
  auto reused = pool.consumerWithScanner([](const WSDispatchData&) { return std::uint64_t(0); }, NoHandler(),
                                         0, false, false);
  EXPECT_NE(reused.get(), last) << "the ninth record was dropped, not kept";
  EXPECT_EQ(pool.idleCount(), 7u);
  EXPECT_TRUE(reused->consumer());
  EXPECT_EQ(reused->bytesNeeded(), 0u);
}

// A request that wants neither a sequence nor a count is a programming error.
TEST(WSIOConsumerDeathTest, RequestWithoutScannerOrCountAborts) {
  WSIOConsumerPool pool;
  EXPECT_DEATH(pool.consumerWithScanner(nullptr, NoHandler(), 0, false, false),
               "_scanner \\|\\| _bytesNeeded");
}

} // namespace
