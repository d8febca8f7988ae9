#include "app/SDCommandLine.hpp"

#include <gtest/gtest.h>

namespace {

std::variant<SDCommandLine, std::string> Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "zorbel-streamdeck-plugin");
  std::vector<const char*> argv;
  for (auto& a : args) argv.push_back(a.c_str());
  return SDParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

std::string Error(const std::variant<SDCommandLine, std::string>& r) {
  return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : std::string();
}

// The pairs may come in any order; every value is read.
TEST(SDCommandLineTest, PairsInAnyOrder) {
  auto r = Parse({"-info", "{\"a\":1}", "-registerEvent", "reg", "-pluginUUID", "U", "-port", "28196"});
  ASSERT_TRUE(std::holds_alternative<SDCommandLine>(r));
  auto line = std::get<SDCommandLine>(r);
  EXPECT_EQ(line.port, 28196);
  EXPECT_EQ(line.pluginUUID, "U");
  EXPECT_EQ(line.registerEvent, "reg");
  EXPECT_EQ(line.info, "{\"a\":1}");
}

// Ports are read like intValue: "12ab" is 12, overflow clamps, leading blanks and signs are fine.
TEST(SDCommandLineTest, PortReading) {
  auto port = [](const std::string& text) {
    auto r = Parse({"-port", text, "-pluginUUID", "U", "-registerEvent", "E", "-info", "{}"});
    return std::holds_alternative<SDCommandLine>(r) ? std::get<SDCommandLine>(r).port : 0;
  };
  EXPECT_EQ(port("12ab"), 12);
  EXPECT_EQ(port("  +80"), 80);
  EXPECT_EQ(port("-5"), -5);
  EXPECT_EQ(port("99999999999"), INT32_MAX);
  EXPECT_EQ(port("-99999999999"), INT32_MIN);
}

// An unknown flag is ignored with its value; a repeated flag keeps the later value; a flag in a
// value position is never a flag.
TEST(SDCommandLineTest, UnknownRepeatedAndMisplacedFlags) {
  auto r = Parse({"-port", "1", "-pluginUUID", "first", "-pluginUUID", "second", "-registerEvent", "E"});
  ASSERT_TRUE(std::holds_alternative<SDCommandLine>(r));
  EXPECT_EQ(std::get<SDCommandLine>(r).pluginUUID, "second");
  EXPECT_FALSE(std::get<SDCommandLine>(r).info);
  auto unknown = Parse({"-port", "1", "-pluginUUID", "U", "-registerEvent", "E", "-other", "x"});
  ASSERT_TRUE(std::holds_alternative<SDCommandLine>(unknown));
  EXPECT_FALSE(std::get<SDCommandLine>(unknown).info);
  EXPECT_EQ(Error(Parse({"-x", "-port", "-port", "5", "-pluginUUID", "U", "-registerEvent", "E"})), "");
  EXPECT_EQ(Error(Parse({"-info", "-port", "1", "-pluginUUID", "-registerEvent", "E", "x", "y"})),
            "Invalid port number");
}

// Arguments that are not valid UTF-8 count as absent.
TEST(SDCommandLineTest, InvalidUtf8IsAbsent) {
  EXPECT_EQ(Error(Parse({"-port", "12\xff", "-pluginUUID", "U", "-registerEvent", "E", "-info", "{}"})),
            "Invalid port number");
  EXPECT_EQ(Error(Parse({"-port", "1", "-pluginUUID", "\xc3", "-registerEvent", "E", "-info", "{}"})),
            "Invalid plugin UUID");
  EXPECT_EQ(Error(Parse({"-port", "1", "-pluginUUID", "U", "-registerEvent\xff", "E", "-info", "{}"})),
            "Invalid registerEvent");
}

} // namespace
