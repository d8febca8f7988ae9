#include "platform/Log.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

/// Wants the categories it is given and keeps every line with its category.
struct RecordingSink final : platform::LogSink {
  std::set<std::string> wanted;
  std::vector<std::string> asked;
  std::vector<std::pair<std::string, std::string>> lines;

  bool enabled(const char* category) override {
    asked.emplace_back(category);
    return wanted.count(category) > 0;
  }
  void write(const char* category, std::string line) override {
    lines.emplace_back(category, std::move(line));
  }
};

int gEvaluated = 0;
int Evaluate() { return ++gEvaluated; }

// XLOG asks the installed sink about the category before anything else; only a wanted category
// evaluates the arguments, and its finished line reaches the sink with the category. Without a
// sink nothing is asked, evaluated or written.
TEST(LogTest, TheSinkDecidesBeforeArgumentsAreEvaluated) {
  RecordingSink sink;
  sink.wanted = {"display"};
  gEvaluated = 0;

  XLOG("display", "before %d", Evaluate());
  EXPECT_EQ(gEvaluated, 0);

  platform::SetLogSink(&sink);
  XLOG("Verbose", "hidden %d", Evaluate());
  EXPECT_EQ(gEvaluated, 0);
  XLOG("display", "shown %d of %@", Evaluate(), std::string("two\nlines"));
  EXPECT_EQ(gEvaluated, 1);
  EXPECT_TRUE(platform::LogEnabled("display"));
  platform::LogWrite("display", "as written");

  platform::SetLogSink(nullptr);
  XLOG("display", "after %d", Evaluate());
  EXPECT_FALSE(platform::LogEnabled("display"));
  platform::LogWrite("display", "dropped");

  EXPECT_EQ(gEvaluated, 1);
  EXPECT_EQ(sink.asked, (std::vector<std::string>{"Verbose", "display", "display"}));
  EXPECT_EQ(sink.lines, (std::vector<std::pair<std::string, std::string>>{
                            {"display", "shown 1 of two\\nlines"}, {"display", "as written"}}));
}

} // namespace
