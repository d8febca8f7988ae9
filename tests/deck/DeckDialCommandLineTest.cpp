#include "deck/DeckCommandLine.hpp"

#include <gtest/gtest.h>

namespace {

using namespace deck;

// feedback's options, in both spellings, and what they set.
TEST(DeckDialCommandLineTest, FeedbackTakesAnIDAndAtLeastOneOption) {
  const struct {
    std::vector<std::string> args;
    std::optional<std::string> title, value;
    std::optional<int> indicator;
    std::optional<std::string> icon;
  } cases[] = {
      {{"feedback", "D1", "--title", "Volume"}, "Volume", {}, {}, {}},
      {{"feedback", "D1", "--value=42%", "--indicator", "42"}, {}, "42%", 42, {}},
      {{"feedback", "--indicator", "150", "D1"}, {}, {}, 100, {}},
      {{"feedback", "D1", "--indicator=-7"}, {}, {}, 0, {}},
      {{"feedback", "D1", "--indicator", "99999999999999999999999"}, {}, {}, 100, {}},
      {{"feedback", "D1", "--icon", "-", "--title", ""}, "", {}, {}, "-"},
      {{"feedback", "D1", "--value", "--", "--title", "-3 °C"}, "-3 °C", "--", {}, {}},
  };
  for (auto& c : cases) {
    auto parsed = DeckParseCommandLine(c.args);
    ASSERT_TRUE(std::holds_alternative<DeckInvocation>(parsed))
        << c.args[2] << ": " << std::get<DeckUsageError>(parsed).message;
    auto& inv = std::get<DeckInvocation>(parsed);
    EXPECT_EQ(inv.action, DeckAction::Feedback);
    EXPECT_EQ(inv.id, "D1");
    EXPECT_EQ(inv.feedback.title, c.title) << c.args[2];
    EXPECT_EQ(inv.feedback.value, c.value) << c.args[2];
    EXPECT_EQ(inv.feedback.indicator, c.indicator) << c.args[2];
    EXPECT_EQ(inv.feedback.icon, c.icon) << c.args[2];
  }
  auto layout = DeckParseCommandLine({"layout", "Vol", "$B1"});
  ASSERT_TRUE(std::holds_alternative<DeckInvocation>(layout));
  EXPECT_EQ(std::get<DeckInvocation>(layout).action, DeckAction::Layout);
  EXPECT_EQ(std::get<DeckInvocation>(layout).id, "Vol");
  EXPECT_EQ(std::get<DeckInvocation>(layout).value, "$B1");
}

TEST(DeckDialCommandLineTest, UsageErrorsSayWhatIsWrong) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"feedback", "D1"}, "at least one of --title"},
      {{"feedback"}, "missing"},
      {{"feedback", "--title", "T"}, "missing"},
      {{"feedback", "D1", "--indicator", "4.5"}, "--indicator must be a whole number"},
      {{"feedback", "D1", "--indicator", ""}, "--indicator must be a whole number"},
      {{"feedback", "D1", "--indicator=-"}, "--indicator must be a whole number"},
      {{"feedback", "D1", "--title"}, "--title needs a value"},
      {{"feedback", "D1", "--colour", "red"}, "unknown option \"--colour\""},
      {{"feedback", "D1", "D2", "--title", "T"}, "too many"},
      {{"layout", "D1"}, "missing"},
      {{"layout", "D1", ""}, "the layout is empty"},
      {{"layout", "D1", "$B1", "x"}, "too many"},
  };
  for (auto& [args, message] : cases) {
    auto parsed = DeckParseCommandLine(args);
    ASSERT_TRUE(std::holds_alternative<DeckUsageError>(parsed)) << args.size();
    auto& error = std::get<DeckUsageError>(parsed);
    EXPECT_NE(error.message.find(message), std::string::npos) << error.message;
    EXPECT_TRUE(error.usage.starts_with("usage: zorbel-deck " + args[0])) << error.usage;
  }
}

} // namespace
