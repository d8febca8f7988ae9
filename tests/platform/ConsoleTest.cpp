#include "platform/Console.hpp"

#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <unistd.h>

namespace {

/// Sends standard error to a file for the lifetime of the object.
class CapturedStderr {
public:
  explicit CapturedStderr(const std::string& path) {
    _saved = ::dup(STDERR_FILENO);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~CapturedStderr() {
    ::dup2(_saved, STDERR_FILENO);
    ::close(_saved);
  }

private:
  int _saved;
};

// The prefix is local date and time with milliseconds, the program name and [pid].
TEST(ConsoleTest, PrefixNamesTimeProgramAndProcess) {
  std::regex pattern(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )" +
                     std::string(program_invocation_short_name) + R"(\[)" + std::to_string(getpid()) +
                     R"(\] )");
  EXPECT_TRUE(std::regex_match(platform::ConsolePrefix(), pattern)) << platform::ConsolePrefix();
}

// Each message becomes one prefixed line on standard error.
TEST(ConsoleTest, LogWritesOneLinePerMessageToStandardError) {
  testsupport::TempDir dir;
  {
    CapturedStderr capture(dir.file("stderr"));
    platform::ConsoleLog("first message");
    platform::ConsoleLog("second\tmessage");
  }
  std::string text = testsupport::ReadFile(dir.file("stderr"));
  std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+\[\d+\] (.*)\n)");
  std::vector<std::string> messages;
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
    messages.push_back((*it)[1]);
  EXPECT_EQ(messages, (std::vector<std::string>{"first message", "second\tmessage"})) << text;
}

} // namespace
