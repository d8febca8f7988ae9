#include "deck/DeckConfigScan.hpp"

#include <gtest/gtest.h>

namespace {

using deck::DeckScanConfigText;

std::string Repeated(const std::string& part, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += part;
  return text;
}

// Only real keys, table names and open values count: dots, brackets and braces inside strings
// and comments do not, nor do closed siblings. Each refusal names the place where the bound is
// passed.
TEST(DeckConfigScanTest, CountsTheDepthTheParserWouldBuild) {
  const std::string parts32 = Repeated("a.", 31) + "a";
  const struct {
    std::string text;
    int line = 0; // 0: within the bounds
    int column = 0;
  } cases[] = {
      {"[keys.R1C1]\ntitle = \"a.b.c.d\"\n"},
      {parts32 + " = 1\n"},
      {parts32 + ".a = 1\n", 1, 64},
      {"[" + parts32 + "]\n"},
      {"\n[[" + parts32 + ".a]]\n", 2, 66},
      {"a . b . c = 1\n" + parts32 + " = 2\n"},
      {"x = " + Repeated("[", 32) + Repeated("]", 32) + "\n"},
      {"x = " + Repeated("[", 33) + Repeated("]", 33) + "\n", 1, 37},
      {"x = [" + Repeated("{}, ", 100) + "]\n" + "y = [" + Repeated("{a = 1,}, ", 100) + "]\n"},
      {"x = [\n" + Repeated("  [1, 2],\n", 100) + "]\n"},
      {"x = {" + parts32 + " = 1}\n"},
      {"x = {b = 1, " + parts32 + ".a = 1}\n", 1, 76},
      {"x = \"" + Repeated("a.[{", 100) + "\"\n"},
      {"x = '" + Repeated("a.[{\\", 100) + "'\n"},
      {"x = \"\\\"" + Repeated("[", 40) + "\"\n"},
      {"x = \"\"\"\n" + Repeated("[{a.", 100) + "\n\"\"\"\n"},
      {"x = '''" + Repeated("[", 40) + "''''\n"},
      {"# " + Repeated("[a.", 100) + "\n"},
      {"x = 1.5\ny = 1979-05-27T07:32:00.999Z\n" + parts32 + " = 3.25\n"},
      {"'" + Repeated("a.", 40) + "' = 1\n"},
      {"x = \"\"\"\\\n\n\"\"\"\n" + parts32 + ".a = 1\n", 4, 64}, // lines go on counting in strings
  };
  for (auto& c : cases) {
    auto problem = DeckScanConfigText(c.text);
    if (c.line == 0) {
      EXPECT_EQ(problem, std::nullopt) << c.text << " -> " << problem->reason;
      continue;
    }
    ASSERT_TRUE(problem) << c.text;
    EXPECT_EQ(problem->line, c.line) << c.text;
    EXPECT_EQ(problem->column, c.column) << c.text;
  }
}

} // namespace
