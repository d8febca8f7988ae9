#include "deck/DeckCommandLog.hpp"

#include <gtest/gtest.h>

namespace {

using namespace deck;

TEST(DeckCommandLogTest, LinesAreSanitisedAndCut) {
  const std::string longLine(kMaxLoggedLineBytes - 1, 'a');
  const struct {
    std::string line;
    std::string logged;
  } cases[] = {
      {"plain café", "plain café"},
      {"caf\xE9!", "caf\xEF\xBF\xBD!"},                         // a stray Latin-1 byte
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate: one U+FFFD a byte
      {"esc\x1b[31m red\ttab\r", "esc\\u001b[31m red\\ttab\\r"},
      {"del\x7F c1\xC2\x85", "del\\u007f c1\\u0085"},
      {longLine + "é and more", longLine + "…"}, // cut before the character, not inside it
  };
  for (auto& c : cases) EXPECT_EQ(DeckLoggableLine(c.line), c.logged) << c.line;
  EXPECT_EQ(DeckReplaceInvalidUTF8("a\xC3(b\xF0\x9F\x98\x80"), "a\xEF\xBF\xBD(b\xF0\x9F\x98\x80");
}

// The same line on every run is logged once and counted; the count comes when something else
// does, or a run that says nothing.
TEST(DeckCommandLogTest, RepeatedLinesAreCounted) {
  std::vector<std::string> lines;
  DeckErrorLog log([&](const std::string& line) { lines.push_back(line); });
  const struct {
    const char* prefix;
    std::string errors;
    std::vector<std::string> logged;
  } steps[] = {
      {"R1C1 title", "no network\n", {"R1C1 title: no network"}},
      {"R1C1 title", "no network\n", {}},
      {"R1C2 press", "no network\r\n\n", {"R1C2 press: no network"}}, // another prefix, its own
      {"R1C1 title", "no network\nno network\n", {}},
      {"R1C1 title", "back\n", {"R1C1 title: no network (repeated 3 times)", "R1C1 title: back"}},
      {"R1C1 title", "back", {}},
      {"R1C1 title", "", {"R1C1 title: back (repeated 1 time)"}},
      {"R1C1 title", "back\n", {"R1C1 title: back"}},
      {"R1C1 title", "", {}},
  };
  for (auto& step : steps) {
    lines.clear();
    log.add(step.prefix, step.errors);
    EXPECT_EQ(lines, step.logged) << step.errors;
  }
  // A flood is cut after kMaxLoggedLinesPerRun lines.
  std::string flood;
  for (int i = 0; i < 100; ++i) flood += "line " + std::to_string(i) + "\n";
  lines.clear();
  log.add("R2C2 release", flood);
  ASSERT_EQ(lines.size(), kMaxLoggedLinesPerRun + 1);
  EXPECT_EQ(lines.back(), "R2C2 release: (80 more lines not logged)");
}

} // namespace
