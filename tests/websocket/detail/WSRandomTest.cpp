#include "websocket/detail/WSRandom.hpp"

#include <gtest/gtest.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
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

// Makes every later getrandom of this process fail with `error` (a seccomp filter: only for a
// forked child, which cannot drop it again).
bool FailGetrandomWith(int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

} // namespace

TEST(WSRandomTest, DataHasTheRequestedLength) {
  EXPECT_TRUE(WSRandomData(0).empty());
  EXPECT_EQ(WSRandomData(16).size(), 16u);
  EXPECT_EQ(WSRandomData(100000).size(), 100000u);
}

// getrandom hands out at most 32 MiB - 1 per call: a larger draw is finished in further calls, up
// to its last byte (a buffer cut short would keep its zeros).
TEST(WSRandomTest, DrawLargerThanOneKernelCallIsFilledToTheEnd) {
  const std::size_t size = (std::size_t{32} << 20) + 4096;
  const auto data = WSRandomData(size);
  ASSERT_EQ(data.size(), size);
  // Any 4 KiB block left zero would be a stretch no call filled (a working generator gives one with
  // probability 2^-32768).
  const std::vector<std::uint8_t> zeros(4096, 0);
  for (std::size_t at = 0; at < size; at += zeros.size())
    ASSERT_NE(std::memcmp(data.data() + at, zeros.data(), zeros.size()), 0) << "zero block at " << at;
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
    // The status is what the source returned.
    EXPECT_STREQ(e.what(), "Failed to generate random bytes with OSStatus: 0");
  }
  std::uint8_t key[4];
  EXPECT_THROW(WSRandomFill(key), WSInternalInconsistencyException);
}

// The kernel's source failing is the same exception, its status the errno; small (pooled) and large
// draws alike. Run in a forked child, whose getrandom a seccomp filter makes fail with EIO.
TEST(WSRandomTest, FailingKernelSourceThrowsWithErrno) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string report;
    if (!FailGetrandomWith(EIO)) {
      report = "no seccomp";
    } else {
      for (std::size_t size : {std::size_t{4}, std::size_t{64}}) {
        try {
          WSRandomData(size);
          report += "no exception;";
        } catch (const WSInternalInconsistencyException& e) {
          report += std::string(e.what()) + ";";
        }
      }
    }
    ssize_t written = ::write(fds[1], report.data(), report.size());
    ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  ::close(fds[1]);
  std::string report;
  char buffer[256];
  for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    report.append(buffer, static_cast<std::size_t>(got));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  if (report == "no seccomp") GTEST_SKIP() << "seccomp filters are not available here";
  const std::string expected = "Failed to generate random bytes with OSStatus: " + std::to_string(EIO) + ";";
  EXPECT_EQ(report, expected + expected);
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
