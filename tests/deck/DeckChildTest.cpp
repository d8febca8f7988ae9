#include "deck/DeckChild.hpp"

#include "platform/RunLoop.hpp"
#include "support/TempDir.hpp"
#include "support/Wait.hpp"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
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
