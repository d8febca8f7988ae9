#include "platform/LogFormat.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

std::string F(const char* format, std::initializer_list<XLogArgument> args) {
  return XLogFormatList(format, args);
}

struct Described {
  std::string description() const { return "<described>"; }
};

// "%@" shows each kind of object by its own text.
TEST(LogFormatTest, ObjectPlaceholderShowsEachKindsText) {
  nlohmann::json object = {{"event", "keyDown"}, {"n", 1}};
  nlohmann::json text = "plain";
  EXPECT_EQ(F("%@", {std::string("string")}), "string");
  EXPECT_EQ(F("%@", {std::string_view("view")}), "view");
  EXPECT_EQ(F("%@", {"literal"}), "literal");
  EXPECT_EQ(F("%@ %@", {42, -7}), "42 -7");
  EXPECT_EQ(F("%@", {2.5}), "2.5");
  EXPECT_EQ(F("%@", {object}), R"({"event":"keyDown","n":1})");
  EXPECT_EQ(F("%@", {text}), "plain");
  EXPECT_EQ(F("%@", {Described{}}), "<described>");
  EXPECT_EQ(F("%@", {true}), "1");
}

// printf conversions keep their flags, widths and precisions, whatever the argument's width.
TEST(LogFormatTest, PrintfConversionsKeepFlagsWidthAndPrecision) {
  EXPECT_EQ(F("%d|%5d|%-5d|%05d", {1, 2, 3, 4}), "1|    2|3    |00004");
  EXPECT_EQ(F("%ld %lld %u %lu", {-5L, 6LL, 7u, 8UL}), "-5 6 7 8");
  EXPECT_EQ(F("%x %X %#o", {255, 255, 8}), "ff FF 010");
  EXPECT_EQ(F("%.2f %e %g", {3.14159, 1000.0, 0.5}), "3.14 1.000000e+03 0.5");
  EXPECT_EQ(F("%s|%.3s|%6s|%-6s|", {"abc", "abcdef", "ab", "ab"}), "abc|abc|    ab|ab    |");
  EXPECT_EQ(F("%*d|%-*d|%.*s", {4, 1, 3, 2, 2, "xyz"}), "   1|2  |xy");
  EXPECT_EQ(F("%c%c", {'o', 'k'}), "ok");
  EXPECT_EQ(F("100%% sure", {}), "100% sure");
  EXPECT_EQ(F("Assertion Failed: %s, %s file: %s:%ld, value: %ld", {"x", "", "f.cpp", 12L, 0L}),
            "Assertion Failed: x,  file: f.cpp:12, value: 0");
}

// Bad input never crashes: missing arguments, null strings, wrong kinds, unknown or cut-off
// conversions and absurd widths.
TEST(LogFormatTest, BadInputIsShownNotCrashedOn) {
  EXPECT_EQ(F("%d and %@", {}), "(null) and (null)");
  EXPECT_EQ(F("%s", {static_cast<const char*>(nullptr)}), "(null)");
  EXPECT_EQ(F("%d", {"text"}), "text");
  EXPECT_EQ(F("%s", {12}), "12");
  EXPECT_EQ(F("%f", {3}), "3.000000");
  EXPECT_EQ(F("%k %d", {5}), "%k 5");
  EXPECT_EQ(F("ends with %", {}), "ends with %");
  EXPECT_EQ(F("ends with %-5", {}), "ends with %-5");
  EXPECT_EQ(F("%99999999999d", {1}).size(), 4096u);
  EXPECT_EQ(F(nullptr, {1}), "");
  EXPECT_EQ(F("extra %d", {1, 2, 3}), "extra 1");
  nlohmann::json invalid = std::string("bad \xFF byte");
  nlohmann::json holder = {{"k", invalid}};
  EXPECT_EQ(F("%@", {holder}), "{\"k\":\"bad \xEF\xBF\xBD byte\"}");
}

// Control characters in arguments are escaped as JSON escapes them; the format is kept as
// written, and text an argument already carries as JSON is not escaped twice.
TEST(LogFormatTest, ArgumentControlCharactersAreEscaped) {
  nlohmann::json text = "x\ny";
  nlohmann::json object = {{"k", "a\nb\x1b"}};
  const struct {
    const char* format;
    std::string argument;
    std::string expected;
  } cases[] = {
      {"%@", "ctx\n2026-01-01 00:00:00 forged", "ctx\\n2026-01-01 00:00:00 forged"},
      {"%s", "\r\t\b\f", "\\r\\t\\b\\f"},
      {"%@", "\x1b[31mred", "\\u001b[31mred"},
      {"%@", std::string("nul\0del\x7f", 8), "nul\\u0000del\\u007f"},
      {"%@", "csi\xC2\x9B nbsp\xC2\xA0 caf\xC3\xA9", "csi\\u009b nbsp\xC2\xA0 caf\xC3\xA9"},
      {"%@", "back\\slash \\n", "back\\slash \\n"},
      {"%.2s|%4s", "\n\n\n", "\\n\\n|(null)"},
      {"line\n%@", "tail\n", "line\ntail\\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format + (" " + c.argument));
    EXPECT_EQ(F(c.format, {c.argument}), c.expected);
  }
  EXPECT_EQ(F("%c", {'\n'}), "\\n");
  EXPECT_EQ(F("%@", {text}), "x\\ny");
  EXPECT_EQ(F("%@", {object}), R"({"k":"a\nb\u001b"})");
}

} // namespace
