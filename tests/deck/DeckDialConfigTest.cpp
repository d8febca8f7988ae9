#include "deck/DeckConfig.hpp"

#include <gtest/gtest.h>

namespace {

using namespace deck;
using namespace std::chrono_literals;

TEST(DeckDialConfigTest, OnlyThePluginsFormOfADialIDGivesAColumn) {
  const std::pair<const char*, std::optional<int>> cases[] = {
      {"D1", 1},
      {"D4", 4},
      {"D99", 99},
      {"D0", std::nullopt},
      {"D01", std::nullopt},
      {"D100", std::nullopt},
      {"d1", std::nullopt},
      {"D", std::nullopt},
      {"D1 ", std::nullopt},
      {"D-1", std::nullopt},
      {"Volume", std::nullopt},
      {"", std::nullopt},
  };
  for (auto& [id, column] : cases) EXPECT_EQ(DeckColumnOfDialID(id), column) << id;
}

TEST(DeckDialConfigTest, DialsSitBesideKeysWithEveryFieldInFileOrder) {
  auto result = DeckParseConfig(R"(
[keys.R1C1]
press = "make"

[dials.D2]
rotate = "pactl set-sink-volume @DEFAULT_SINK@ ${ZB_TICKS}%"
push = "pactl set-sink-mute @DEFAULT_SINK@ toggle"
release = "true"
touch = "echo $ZB_X"
feedback = "volume-level"
show = "none"
every = "5s"
timeout = "2s"

[dials.Brightness]
column = 1
rotate = "brightnessctl set ${ZB_TICKS}%+"

[dials.Clock]
feedback = "date +%H:%M"
)",
                                "deck.toml");
  ASSERT_TRUE(std::holds_alternative<DeckConfig>(result)) << std::get<DeckConfigError>(result).description();
  auto& config = std::get<DeckConfig>(result);
  ASSERT_EQ(config.keys.size(), 1u);
  ASSERT_EQ(config.dials.size(), 3u);
  auto& volume = config.dials[0];
  EXPECT_EQ(volume.id, "D2");
  EXPECT_EQ(volume.column, 2);
  EXPECT_EQ(volume.rotate, "pactl set-sink-volume @DEFAULT_SINK@ ${ZB_TICKS}%");
  EXPECT_EQ(volume.push, "pactl set-sink-mute @DEFAULT_SINK@ toggle");
  EXPECT_EQ(volume.release, "true");
  EXPECT_EQ(volume.touch, "echo $ZB_X");
  EXPECT_EQ(volume.feedback, "volume-level");
  EXPECT_FALSE(volume.showStatus);
  EXPECT_EQ(volume.every, 5s);
  EXPECT_EQ(volume.timeout, 2s);
  EXPECT_EQ(config.dials[1].id, "Brightness");
  EXPECT_EQ(config.dials[1].column, 1);
  EXPECT_TRUE(config.dials[1].showStatus);
  EXPECT_EQ(config.dials[1].timeout, kDefaultTimeout);
  EXPECT_EQ(config.dials[2].column, 0); // a strip only, named by ID
}

// Each refused dial table names the line of the fault and says what it is.
TEST(DeckDialConfigTest, ErrorsNameTheLineAndTheReason) {
  const struct {
    const char* text;
    int line;
    const char* reason;
  } cases[] = {
      {"[dials.D1]\nrotate = \"a\"\nturn = \"b\"\n", 3, "unknown field \"turn\" in dials.D1"},
      {"[dials.D1]\nfeedback = \"status\"\n", 2, "use show = \"status\""},
      {"[dials.D1]\nfeedback = \"none\"\n", 2, "use show = \"none\""},
      {"[dials.D1]\nshow = \"loud\"\n", 2, "show must be \"status\" or \"none\""},
      {"[dials.D1]\nshow = true\n", 2, "show must be a string"},
      {"[dials.D1]\nfeedback = \"x\"\nevery = \"soon\"\n", 3, "bad duration \"soon\" for every"},
      {"[dials.D1]\ntimeout = 5\n", 2, "must be a duration"},
      {"[dials.D1]\nevery = \"1s\"\n", 1, "every but no feedback command"},
      {"[dials.Volume]\nrotate = \"x\"\n", 1, "no position: give column"},
      {"[dials.Volume]\ntouch = \"x\"\n", 1, "no position"},
      {"[dials.Volume]\ncolumn = 0\n", 2, "column must be from 1 to 999"},
      {"[dials.Volume]\ncolumn = \"2\"\n", 2, "column must be a whole number"},
      {"[dials.D2]\nrotate = \"a\"\n[dials.Volume]\ncolumn = 2\n", 3,
       "has the position of dials.D2 (column 2)"},
      {"dials = 1\n", 1, "dials must be a table of dials"},
      {"[dials]\nD1 = \"x\"\n", 2, "dials.D1 must be a table"},
      {"[dials.D1]\nrotate = 3\n", 2, "rotate must be a string"},
      {"[dials.D1]\npush = \"a\"\n[dials.D2]\npush = \"b\"\nbogus = 1\n", 5,
       "unknown field \"bogus\" in dials.D2"},
      {"[dial.D1]\n", 1, "unknown table or field \"dial\""},
  };
  for (auto& c : cases) {
    auto result = DeckParseConfig(c.text, "/home/u/deck.toml");
    ASSERT_TRUE(std::holds_alternative<DeckConfigError>(result)) << c.text;
    auto& error = std::get<DeckConfigError>(result);
    EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.description();
    EXPECT_NE(error.reason.find(c.reason), std::string::npos) << c.text << " -> " << error.description();
  }
}

} // namespace
