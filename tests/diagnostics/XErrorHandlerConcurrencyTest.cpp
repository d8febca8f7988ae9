#include "diagnostics/XErrorHandler.hpp"

#include "LogScenarioRunner.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace {

// 8 threads × 10,000 messages, every tenth logged three times in a row: every accepted message
// is in the file once, as a whole line, in each thread's order, with folded repeats counted
// right (a "repeated" line directly follows its message).
TEST(XErrorHandlerConcurrencyTest, ManyThreadsKeepEveryLineWholeAndInOrder) {
  constexpr int kThreads = 8, kMessages = 10000;
  LogScenarioRunner scenario;
  auto result = scenario.run({"threads", std::to_string(kThreads), std::to_string(kMessages), "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  ASSERT_FALSE(result.timedOut);

  static const std::regex message(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d t(\d+) m(\d+))");
  static const std::regex repeated(R"(Last message repeated (\d+) times)");
  std::vector<std::vector<int>> seen(kThreads);
  int lastThread = -1, lastMessage = -1;
  for (const auto& line : scenario.logLines()) {
    std::smatch match;
    if (std::regex_match(line, match, message)) {
      lastThread = std::stoi(match[1]);
      lastMessage = std::stoi(match[2]);
      ASSERT_LT(lastThread, kThreads);
      seen[lastThread].push_back(lastMessage);
    } else if (std::regex_match(line, match, repeated)) {
      ASSERT_GE(lastThread, 0) << "a repeat line before any message";
      for (int k = 1; k < std::stoi(match[1]); ++k) seen[lastThread].push_back(lastMessage);
      lastThread = -1; // a second repeat line in a row would be a folding fault
    } else {
      FAIL() << "not a whole line: " << line;
    }
  }
  for (int t = 0; t < kThreads; ++t) {
    std::vector<int> expected;
    for (int m = 0; m < kMessages; ++m)
      for (int k = 0; k < (m % 10 == 0 ? 3 : 1); ++k) expected.push_back(m);
    EXPECT_EQ(seen[t], expected) << "thread " << t;
  }
}

} // namespace
