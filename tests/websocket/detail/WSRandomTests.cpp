#include "websocket/detail/WSRandom.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

// Masking keys come from a pool refilled in bulk: draws across many refills still all differ.
TEST(WSRandomTest, SmallDrawsDifferAcrossPoolRefills) {
  std::set<std::vector<std::uint8_t>> seen;
  std::vector<std::uint8_t> key(8);
  for (int i = 0; i < 5000; ++i) {
    WSRandomFill(key);
    seen.insert(key);
  }
  EXPECT_EQ(seen.size(), 5000u);
}

// A forked child must not hand out the keys its parent hands out next.
TEST(WSRandomTest, ForkedChildDrawsOtherBytesThanItsParent) {
  std::uint8_t warm[4];
  WSRandomFill(warm); // the pool of this thread is filled now
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::uint8_t drawn[16];
    WSRandomFill(drawn);
    ssize_t written = ::write(fds[1], drawn, sizeof drawn);
    ::_exit(written == static_cast<ssize_t>(sizeof drawn) ? 0 : 1);
  }
  ::close(fds[1]);
  std::uint8_t parent[16], fromChild[16];
  WSRandomFill(parent);
  ASSERT_EQ(::read(fds[0], fromChild, sizeof fromChild), static_cast<ssize_t>(sizeof fromChild));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(std::memcmp(parent, fromChild, sizeof parent), 0);
}

// A testing source installed after the pool is filled is used at once, for small draws too.
TEST(WSRandomTest, TestingSourceWinsOverAFilledPool) {
  std::uint8_t warm[4];
  WSRandomFill(warm);
  RandomSourceGuard guard(CountingSource);
  std::uint8_t key[4];
  WSRandomFill(key);
  EXPECT_EQ(std::vector<std::uint8_t>(key, key + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}
