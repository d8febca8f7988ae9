#include "deck/DeckConfig.hpp"

#include <gtest/gtest.h>

namespace {

using namespace deck;
using namespace std::chrono_literals;

// Every accepted and refused duration form.
TEST(DeckConfigTest, DurationsAreWholeNumbersWithUnitsLargestFirst) {
  const std::pair<const char*, std::optional<Milliseconds>> cases[] = {
      {"250ms", 250ms},
      {"30s", 30s},
      {"5m", 5min},
      {"1h", 1h},
      {"1m30s", 90s},
      {"1h2m3s4ms", 3'723'004ms},
      {"", std::nullopt},
      {"0s", std::nullopt},
      {"10", std::nullopt},
      {"1.5s", std::nullopt},
      {"s", std::nullopt},
      {"-1s", std::nullopt},
      {"30s1m", std::nullopt},
      {"1s1s", std::nullopt},
      {"3 s", std::nullopt},
      {"2d", std::nullopt},
      {"99999999999s", std::nullopt},
  };
  for (auto& [text, expected] : cases) EXPECT_EQ(DeckParseDuration(text), expected) << text;
}

// Only the plug-in's own form of a position ID gives a position.
TEST(DeckConfigTest, PositionIDsAreExactlyRowAndColumn) {
  EXPECT_EQ(DeckPositionOfID("R1C1"), std::pair(1, 1));
  EXPECT_EQ(DeckPositionOfID("R12C999"), std::pair(12, 999));
  for (const char* id : {"r1c1", "R0C1", "R01C1", "R1C", "RC1", "R1C1 ", "R1000C1", "Lights", "R-1C1", ""})
    EXPECT_EQ(DeckPositionOfID(id), std::nullopt) << id;
}

TEST(DeckConfigTest, AGoodFileGivesEveryFieldInFileOrder) {
  auto result = DeckParseConfig(R"(
[keys.R2C1]
press = "make"
release = "echo up"
feedback = "none"
title = "date +%H:%M"
image = "~/icon.png"
every = "30s"
timeout = "2m"

[keys.Lights]
row = 2
column = 3
press = "toggle"

[keys.Status]
title = "uptime"
)",
                                "deck.toml");
  ASSERT_TRUE(std::holds_alternative<DeckConfig>(result)) << std::get<DeckConfigError>(result).description();
  auto& keys = std::get<DeckConfig>(result).keys;
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[0].id, "R2C1");
  EXPECT_EQ(keys[0].row, 2);
  EXPECT_EQ(keys[0].column, 1);
  EXPECT_EQ(keys[0].feedback, Feedback::None);
  EXPECT_EQ(keys[0].every, 30s);
  EXPECT_EQ(keys[0].timeout, 2min);
  EXPECT_EQ(keys[1].id, "Lights");
  EXPECT_EQ(keys[1].row, 2);
  EXPECT_EQ(keys[1].column, 3);
  EXPECT_EQ(keys[1].timeout, kDefaultTimeout);
  EXPECT_EQ(keys[1].feedback, Feedback::Status);
  EXPECT_EQ(keys[2].row, 0); // set by ID only
}

// Each refused file names the line of the fault and says what it is.
TEST(DeckConfigTest, ErrorsNameTheLineAndTheReason) {
  const struct {
    const char* text;
    int line;
    const char* reason;
  } cases[] = {
      {"[keys.R1C1]\npress = \"a\"\npresss = \"b\"\n", 3, "unknown field \"presss\""},
      {"[keys.R1C1]\nevery = \"soon\"\ntitle = \"x\"\n", 2, "bad duration \"soon\""},
      {"[keys.R1C1]\ntimeout = 5\n", 2, "must be a duration"},
      {"[keys.R1C1]\npress = \"a\n", 2, ""}, // TOML syntax
      {"[keys.R1C1]\nfeedback = \"loud\"\n", 2, "feedback must be"},
      {"[keys.R1C1]\nrow = 1000\ncolumn = 1\n", 2, "from 1 to 999"},
      {"\n[keys.Lights]\nrow = 2\npress = \"x\"\n", 2, "both row and column"},
      {"[keys.Lights]\npress = \"x\"\n", 1, "no position"},
      {"[keys.R1C1]\nevery = \"1s\"\n", 1, "no title command"},
      {"[keys.R1C1]\npress = \"a\"\n[keys.A]\nrow = 1\ncolumn = 1\n", 3, "has the position of keys.R1C1"},
      {"[key.R1C1]\n", 1, "unknown table or field \"key\""},
      {"keys = 3\n", 1, "keys must be a table"},
      {"[keys]\nR1C1 = \"x\"\n", 2, "must be a table"},
      {"[keys.R1C1]\ntitle = 5\n", 2, "title must be a string"},
  };
  for (auto& c : cases) {
    auto result = DeckParseConfig(c.text, "/home/u/deck.toml");
    ASSERT_TRUE(std::holds_alternative<DeckConfigError>(result)) << c.text;
    auto& error = std::get<DeckConfigError>(result);
    EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.description();
    EXPECT_NE(error.reason.find(c.reason), std::string::npos) << c.text << " -> " << error.description();
    EXPECT_TRUE(error.description().starts_with("/home/u/deck.toml:" + std::to_string(c.line) + ": "));
  }
}

TEST(DeckConfigTest, AMissingFileIsAnErrorOfTheWholeFile) {
  auto result = DeckLoadConfig("/nonexistent/deck.toml");
  ASSERT_TRUE(std::holds_alternative<DeckConfigError>(result));
  EXPECT_EQ(std::get<DeckConfigError>(result).description(), "/nonexistent/deck.toml: cannot read the file");
}

TEST(DeckConfigTest, OnlyALeadingTildeMeansHome) {
  EXPECT_EQ(DeckExpandHome("~/i.png", "/home/u"), "/home/u/i.png");
  EXPECT_EQ(DeckExpandHome("~", "/home/u"), "/home/u");
  EXPECT_EQ(DeckExpandHome("~other/i.png", "/home/u"), "~other/i.png");
  EXPECT_EQ(DeckExpandHome("/a/~/b", "/home/u"), "/a/~/b");
}

} // namespace
