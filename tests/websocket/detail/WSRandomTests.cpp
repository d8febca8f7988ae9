#include "websocket/detail/WSRandom.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

// Restores the real source when a test ends, whatever it installed.
struct RandomSourceGuard {
  explicit RandomSourceGuard(WSRandomSource source) { WSSetRandomSourceForTesting(source); }
  ~RandomSourceGuard() { WSSetRandomSourceForTesting(nullptr); }
};

int FailingSource(unsigned char*, int) { return 0; }
int CountingSource(unsigned char* bytes, int length) {
  for (int i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(i + 1);
  return 1;
}

} // namespace

TEST(WSRandomTest, DataHasTheRequestedLength) {
  EXPECT_TRUE(WSRandomData(0).empty());
  EXPECT_EQ(WSRandomData(16).size(), 16u);
  EXPECT_EQ(WSRandomData(100000).size(), 100000u);
}

// Handshake keys and masking keys must differ from draw to draw (RFC 6455 sections 4.1, 5.3).
TEST(WSRandomTest, DrawsDiffer) {
  std::set<std::vector<std::uint8_t>> seen;
  for (int i = 0; i < 1000; ++i) seen.insert(WSRandomData(16));
  EXPECT_EQ(seen.size(), 1000u);
  // Not zero-filled: 4 KiB of zeros from a working generator has probability 2^-32768.
  const auto big = WSRandomData(4096);
  EXPECT_NE(big, std::vector<std::uint8_t>(4096, 0));
}

// Nothing can go on safely without random keys: the failure is an exception with the fixed text.
TEST(WSRandomTest, FailingSourceThrowsInternalInconsistency) {
  RandomSourceGuard guard(FailingSource);
  try {
    WSRandomData(16);
    FAIL() << "no exception";
  } catch (const WSInternalInconsistencyException& e) {
    EXPECT_EQ(std::strncmp(e.what(), "Failed to generate random bytes with OSStatus: ", 47), 0) << e.what();
  }
  std::uint8_t key[4];
  EXPECT_THROW(WSRandomFill(key), WSInternalInconsistencyException);
}

// The seam replaces the source, and clearing it restores the real one.
TEST(WSRandomTest, TestingSourceIsUsedAndCanBeRemoved) {
  {
    RandomSourceGuard guard(CountingSource);
    EXPECT_EQ(WSRandomData(4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
  }
  EXPECT_NE(WSRandomData(64), WSRandomData(64));
}
