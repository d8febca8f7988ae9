// Read requests and their pool: reset values, the capacity of idle records, reuse order.
#include "websocket/WSIOConsumer.hpp"

#include <gtest/gtest.h>

namespace {

WSIOHandler NoHandler() {
  return [](WSWebSocketConnection&, const WSDispatchData*) {};
}
WSIOScanner NoScan() {
  return [](const WSDispatchData&) { return std::uint64_t(0); };
}

// The pool keeps at most 8 idle records; a ninth is dropped; the next request takes the most
// recently returned one.
TEST(WSIOConsumerTest, PoolKeepsEightIdleRecords) {
  WSIOConsumerPool pool;
  std::vector<std::unique_ptr<WSIOConsumer>> records;
  for (int i = 0; i < 9; ++i) records.push_back(pool.consumerWithScanner(NoScan(), NoHandler()));
  WSIOConsumer* last = nullptr;
  for (auto& r : records) {
    last = r.get();
    pool.returnConsumer(std::move(r));
  }
  EXPECT_EQ(pool.idleCount(), 8u);
  auto reused = pool.consumerWithScanner(NoScan(), NoHandler());
  EXPECT_NE(reused.get(), last) << "the ninth record was dropped, not kept";
  EXPECT_EQ(pool.idleCount(), 7u);
  EXPECT_TRUE(reused->consumer());
  EXPECT_TRUE(reused->handler());
}

// A request without a scanner is a programming error.
TEST(WSIOConsumerDeathTest, RequestWithoutScannerAborts) {
  WSIOConsumerPool pool;
  EXPECT_DEATH(pool.consumerWithScanner(nullptr, NoHandler()), "assertion failed: _scanner");
}

} // namespace
