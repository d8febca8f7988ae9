#include "deck/DeckChild.hpp"

#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"
#include "support/TempDir.hpp"
#include "support/Wait.hpp"

#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace deck;
using namespace std::chrono_literals;

struct Ran {
  DeckChildResult result;
  pid_t pid = -1;
  bool finished = false;
};

std::optional<Ran> RunCommand(const std::string& command, std::chrono::milliseconds limit,
                              const DeckEnvironment& environment = {}, const std::string& folder = "/") {
  platform::RunLoop loop("deck-child-test");
  std::optional<Ran> ran;
  loop.queue().async([&] {
    auto child =
        DeckChild::start(loop, command, environment, folder, limit, [&](const DeckChildResult& result) {
          ran->result = result;
          ran->finished = true;
        });
    ran = Ran{{}, child->pid(), false};
  });
  bool done = loop.runUntil([&] { return ran && ran->finished; }, 20s);
  if (!done) return std::nullopt;
  return ran;
}

// How each way a command ends is reported.
TEST(DeckChildTest, EndsAreReportedWithStatusAndOutput) {
  const struct {
    const char* command;
    std::chrono::milliseconds limit;
    DeckChildResult::End end;
    int status;
    const char* firstLine;
    const char* description;
  } cases[] = {
      {"printf 'one\\r\\ntwo\\n'", 10s, DeckChildResult::End::Exited, 0, "one", "exit status 0"},
      {"echo no >&2; exit 3", 10s, DeckChildResult::End::Exited, 3, "", "exit status 3"},
      {"kill -TERM $$", 10s, DeckChildResult::End::Signalled, SIGTERM, "", "killed by signal 15"},
      {"echo before; exec sleep 60", 200ms, DeckChildResult::End::TimedOut, 0, "before",
       "timed out after 200 ms and was killed"},
      {"read line; echo \"[$line]\"", 10s, DeckChildResult::End::Exited, 0, "[]", "exit status 0"},
  };
  for (auto& c : cases) {
    auto ran = RunCommand(c.command, c.limit);
    ASSERT_TRUE(ran) << c.command;
    EXPECT_EQ(ran->result.end, c.end) << c.command;
    EXPECT_EQ(ran->result.status, c.status) << c.command;
    EXPECT_EQ(ran->result.firstLine(), c.firstLine) << c.command;
    EXPECT_TRUE(ran->result.description().starts_with(c.description)) << ran->result.description();
  }
}

// A command runs in the given folder, with the given environment, in a session of its own.
TEST(DeckChildTest, RunsInItsFolderWithItsEnvironmentAndSession) {
  testsupport::TempDir dir;
  auto ran = RunCommand("echo \"$(pwd) $ZB_ID $HOME_KEPT $(ps -o sid= -p $$ | tr -d ' ') $$ $(tty)\"", 10s,
                        {{"ZB_ID", "R1C1"}, {"HOME_KEPT", "yes"}}, dir.path());
  ASSERT_TRUE(ran);
  const std::string expected =
      dir.path() + " R1C1 yes " + std::to_string(ran->pid) + " " + std::to_string(ran->pid) + " not a tty";
  EXPECT_EQ(ran->result.firstLine(), expected);
}

// Past its limit the whole group goes, including what the command started in the background.
TEST(DeckChildTest, ATimeOutKillsTheProcessGroup) {
  testsupport::TempDir dir;
  auto ran = RunCommand("sleep 60 & echo $!; wait", 200ms, {}, dir.path());
  ASSERT_TRUE(ran);
  EXPECT_EQ(ran->result.end, DeckChildResult::End::TimedOut);
  const std::string stat = "/proc/" + ran->result.firstLine() + "/stat";
  // Killed: gone, or a zombie until whoever inherited it reaps it.
  EXPECT_TRUE(testsupport::WaitUntil([&] {
    auto text = testsupport::ReadFile(stat);
    auto close = text.rfind(')');
    return text.empty() || (close != std::string::npos && text.substr(close + 2, 1) == "Z");
  }));
}

// Output beyond the first 64 KiB is read and dropped: the command never blocks on it.
TEST(DeckChildTest, OutputIsCappedAndNeverBlocksTheCommand) {
  auto ran = RunCommand("head -c 1000000 /dev/zero | tr '\\0' x; echo", 10s);
  ASSERT_TRUE(ran);
  EXPECT_EQ(ran->result.end, DeckChildResult::End::Exited);
  EXPECT_EQ(ran->result.output.size(), kMaxOutput);
}

TEST(DeckChildTest, AFolderThatCannotBeEnteredFailsTheCommand) {
  auto ran = RunCommand("true", 10s, {}, "/nonexistent/folder");
  ASSERT_TRUE(ran);
  EXPECT_EQ(ran->result.end, DeckChildResult::End::FailedToStart);
  EXPECT_NE(ran->result.description().find("No such file"), std::string::npos) << ran->result.description();
}

} // namespace

namespace {

// A process the command leaves behind may write after the command's exit without dying of it.
TEST(DeckChildTest, BackgroundOutputAfterTheExitIsReadAndDropped) {
  testsupport::TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  platform::RunLoop loop("deck-child-background");
  std::optional<DeckChildResult> result;
  loop.queue().async([&] {
    DeckChild::start(loop, "(read never < fifo; echo late; echo $? > status) & echo quick", {}, dir.path(),
                     10s, [&](const DeckChildResult& r) { result = r; });
  });
  ASSERT_TRUE(loop.runUntil([&] { return result.has_value(); }, 20s));
  EXPECT_EQ(result->output, "quick\n");
  // Lets the background process go on: opening the FIFO and closing it ends its read.
  loop.queue().async([&] { ::close(::open(dir.file("fifo").c_str(), O_WRONLY)); });
  EXPECT_TRUE(loop.runUntil([&] { return testsupport::ReadFile(dir.file("status")) == "0\n"; }, 20s));
}

} // namespace

namespace {

// Runs `loop` until `done` holds, re-checking it every few milliseconds even when nothing happens
// on the loop (for conditions other processes make true).
bool RunUntil(platform::RunLoop& loop, const std::function<bool()>& done,
              std::chrono::milliseconds timeout = 20s) {
  boost::asio::steady_timer tick(platform::detail::IoContext(loop));
  std::function<void()> arm = [&] {
    tick.expires_after(5ms);
    tick.async_wait([&](const boost::system::error_code& ec) {
      if (!ec) arm();
    });
  };
  arm();
  bool result = loop.runUntil(done, timeout);
  tick.cancel();
  loop.runUntil([] { return false; }, 0ms);
  return result;
}

// The pipes the process holds.
std::set<std::string> Pipes() {
  std::set<std::string> pipes;
  for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (target.starts_with("pipe:")) pipes.insert(target);
  }
  return pipes;
}

// A command holds exactly /dev/null, its output pipe and its error pipe, whatever the engine holds
// without close-on-exec (a library's descriptor, a descriptor another thread opens meanwhile).
TEST(DeckChildTest, ACommandHoldsOnlyItsThreeDescriptors) {
  int leaked = ::open("/dev/null", O_RDONLY); // no O_CLOEXEC on purpose
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  int duplicate = ::dup(1);
  ASSERT_GE(leaked, 0);
  ASSERT_GE(duplicate, 0);
  const struct {
    const char* command;
    const char* output;
    const char* errors;
  } cases[] = {
      // ls opens the listed folder itself: 3 is its own.
      {"exec ls /proc/self/fd", "0\n1\n2\n3\n", ""},
      {"readlink /proc/self/fd/0", "/dev/null\n", ""},
      {"echo out; echo err >&2", "out\n", "err\n"},
      {"[ \"$(readlink /proc/self/fd/1)\" != \"$(readlink /proc/self/fd/2)\" ] && echo two", "two\n", ""},
  };
  for (auto& c : cases) {
    auto ran = RunCommand(c.command, 10s);
    ASSERT_TRUE(ran) << c.command;
    EXPECT_EQ(ran->result.output, c.output) << c.command;
    EXPECT_EQ(ran->result.errors, c.errors) << c.command;
  }
  for (int fd : {leaked, pair[0], pair[1], duplicate}) ::close(fd);
}

// Beyond kMaxRunningCommands, commands wait and start in the order they came; none is lost.
TEST(DeckChildTest, AtMostTheLimitRunsAndTheRestWaitInOrder) {
  testsupport::TempDir dir;
  const int extra = 8, total = static_cast<int>(kMaxRunningCommands) + extra;
  for (int i = 0; i < total; ++i) ASSERT_EQ(::mkfifo(dir.file("fifo." + std::to_string(i)).c_str(), 0600), 0);
  platform::RunLoop loop("deck-child-limit");
  std::vector<std::shared_ptr<DeckChild>> children;
  int finished = 0;
  loop.queue().async([&] {
    for (int i = 0; i < total; ++i) {
      auto n = std::to_string(i);
      children.push_back(DeckChild::start(loop, "echo " + n + " >> started; cat fifo." + n + " > /dev/null",
                                          {}, dir.path(), 20s, [&](const DeckChildResult& r) {
                                            EXPECT_TRUE(r.succeeded()) << r.description();
                                            ++finished;
                                          }));
    }
  });
  auto started = [&] {
    std::vector<int> numbers;
    std::istringstream in(testsupport::ReadFile(dir.file("started")));
    for (int n; in >> n;) numbers.push_back(n);
    return numbers;
  };
  // Lets command `i` end, once it reads its FIFO.
  auto release = [&](int i) {
    return ::close(
               ::open(dir.file("fifo." + std::to_string(i)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) == 0;
  };
  // The first ones run, each waiting for its FIFO; the rest have not started.
  ASSERT_TRUE(RunUntil(loop, [&] { return started().size() == kMaxRunningCommands; }));
  int waiting = 0;
  for (auto& child : children) waiting += child->pid() < 0;
  EXPECT_EQ(waiting, extra);
  auto first = started();
  std::sort(first.begin(), first.end());
  for (int i = 0; i < static_cast<int>(kMaxRunningCommands); ++i) EXPECT_EQ(first[i], i);
  // Each command that ends lets the next waiting one start.
  for (int i = 0; i < extra; ++i) {
    ASSERT_TRUE(RunUntil(loop, [&] { return release(i); }));
    ASSERT_TRUE(RunUntil(loop, [&] { return started().size() == kMaxRunningCommands + i + 1; }));
    EXPECT_EQ(started().back(), static_cast<int>(kMaxRunningCommands) + i);
  }
  ASSERT_TRUE(RunUntil(loop, [&] {
    for (int i = extra; i < total; ++i) release(i);
    return finished == total;
  }));
}

// Terminated commands free their slots at once, even when their loop never sees them end.
TEST(DeckChildTest, TerminatedCommandsFreeTheirSlots) {
  std::optional<DeckChildResult> result;
  {
    platform::RunLoop gone("deck-child-gone");
    std::vector<std::shared_ptr<DeckChild>> children;
    for (std::size_t i = 0; i < kMaxRunningCommands; ++i)
      children.push_back(
          DeckChild::start(gone, "exec sleep 60", {}, "/", 60s, [](const DeckChildResult&) {}));
    for (auto& child : children) child->terminate();
  }
  platform::RunLoop loop("deck-child-next");
  auto next =
      DeckChild::start(loop, "echo next", {}, "/", 10s, [&](const DeckChildResult& r) { result = r; });
  EXPECT_GT(next->pid(), 0);
  ASSERT_TRUE(loop.runUntil([&] { return result.has_value(); }, 20s));
  EXPECT_EQ(result->output, "next\n");
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// What a command leaves writing in the background costs the engine (nearly) nothing once the
// command has ended, and the writer is neither killed nor stopped by an error: it blocks on its
// full pipe. When it ends, the engine lets go of the pipe.
TEST(DeckChildTest, BackgroundWritersCostNothingAndKeepTheirPipes) {
  testsupport::TempDir dir;
  platform::RunLoop loop("deck-child-yes");
  auto before = Pipes();
  std::optional<DeckChildResult> result;
  pid_t group = -1;
  loop.queue().async([&] {
    auto child = DeckChild::start(loop, "yes & echo $! > yes.pid; yes >&2 &", {}, dir.path(), 10s,
                                  [&](const DeckChildResult& r) { result = r; });
    group = child->pid();
  });
  ASSERT_TRUE(loop.runUntil([&] { return result.has_value(); }, 20s));
  ASSERT_TRUE(result->succeeded());
  ASSERT_GT(group, 0);
  std::string yes = testsupport::ReadFile(dir.file("yes.pid"));
  yes = yes.substr(0, yes.find('\n'));
  // The drain after the exit is over within kDrainTime; from then on the loop is idle.
  loop.runUntil([] { return false; }, kDrainTime + 200ms);
  double start = CpuSeconds();
  loop.runUntil([] { return false; }, 1s);
  double spent = CpuSeconds() - start;
  EXPECT_LT(spent, 0.1) << "CPU seconds spent in one second with two background writers";
  // Both writers are alive: blocked on a pipe (S), not dead of SIGPIPE.
  auto state = testsupport::ReadFile("/proc/" + yes + "/stat");
  EXPECT_EQ(state.substr(state.rfind(')') + 2, 1), "S") << state;
  ::kill(-group, SIGKILL);
  EXPECT_TRUE(RunUntil(loop, [&] { return Pipes() == before; }));
}

} // namespace
