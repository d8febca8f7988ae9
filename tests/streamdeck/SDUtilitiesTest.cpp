#include "streamdeck/SDUtilities.hpp"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

// The bundle is the nearest enclosing directory with the exact extension "sdPlugin".
TEST(SDUtilitiesTest, PluginPathFindsTheEnclosingBundle) {
  EXPECT_EQ(SDUtilities::pluginPathForExecutable("/A/Example.sdPlugin/Contents/MacOS/tool"),
            "/A/Example.sdPlugin");
  EXPECT_EQ(SDUtilities::pluginPathForExecutable("/A/Example.sdPlugin/tool"), "/A/Example.sdPlugin");
  EXPECT_EQ(SDUtilities::pluginPathForExecutable("/x/Outer.sdPlugin/In.sdPlugin/bin/tool"),
            "/x/Outer.sdPlugin/In.sdPlugin");
  EXPECT_FALSE(SDUtilities::pluginPathForExecutable("/usr/bin/tool"));
  EXPECT_FALSE(SDUtilities::pluginPathForExecutable("/A/Example.SDPLUGIN/bin/tool"));
  EXPECT_FALSE(SDUtilities::pluginPathForExecutable("/A/Example.sdPlugin/../bin/tool"));
  EXPECT_FALSE(SDUtilities::pluginPathForExecutable("tool"));
}

// The test executable lives in no bundle.
TEST(SDUtilitiesTest, PluginPathOfThisProcess) { EXPECT_FALSE(SDUtilities::pluginPath()); }

// Long "data:image" strings are cut to 29 characters and "..." at any dictionary depth.
TEST(SDUtilitiesTest, DebugDisplayCutsImagesInNestedDictionaries) {
  std::string image = "data:image/png;base64," + std::string(4978, 'A');
  json message = {{"payload", {{"settings", {{"image", image}, {"zbID", "K"}}}}}, {"n", 1}};
  auto display = DebugDisplayDictionary(&message);
  ASSERT_TRUE(display);
  EXPECT_EQ((*display)["payload"]["settings"]["image"], image.substr(0, 29) + "...");
  EXPECT_EQ((*display)["payload"]["settings"]["zbID"], "K");
  EXPECT_EQ((*display)["n"], 1);
  EXPECT_EQ(message["payload"]["settings"]["image"], image); // the argument is unchanged
}

// 30 characters stay whole, 31 become 32; arrays, other cases and other prefixes stay whole.
TEST(SDUtilitiesTest, DebugDisplayBoundaries) {
  std::string thirty = "data:image" + std::string(20, 'x');
  std::string thirtyOne = thirty + "y";
  std::string upper = "DATA:IMAGE" + std::string(40, 'x');
  std::string other = "image:data" + std::string(40, 'x');
  json value = {{"a", thirty}, {"b", thirtyOne}, {"c", json::array({thirtyOne})},
                {"d", upper},  {"e", other},     {"f", nullptr},
                {"g", true},   {"h", 2.5}};
  json display = *DebugDisplayDictionary(&value);
  EXPECT_EQ(display["a"], thirty);
  EXPECT_EQ(display["b"].get<std::string>().size(), 32u);
  EXPECT_EQ(display["b"], thirtyOne.substr(0, 29) + "...");
  EXPECT_EQ(display["c"], json::array({thirtyOne}));
  EXPECT_EQ(display["d"], upper);
  EXPECT_EQ(display["e"], other);
  EXPECT_EQ(display["f"], nullptr);
  EXPECT_EQ(display["g"], true);
  EXPECT_EQ(display["h"], 2.5);
  EXPECT_FALSE(DebugDisplayDictionary(nullptr));
}

// Characters are counted in UTF-16 units; a character is never split.
TEST(SDUtilitiesTest, DebugDisplayCountsUtf16Units) {
  std::string accents = "data:image";
  for (int i = 0; i < 25; ++i) accents += "\xC3\xA9"; // 35 units, 60 bytes
  json value = {{"a", accents}};
  EXPECT_EQ((*DebugDisplayDictionary(&value))["a"], accents.substr(0, 10 + 19 * 2) + "...");
  std::string shortWide = "data:image" + std::string(10, 'x') + "\xC3\xA9\xC3\xA9"; // 22 units, 24 bytes
  json small = {{"a", shortWide}};
  EXPECT_EQ((*DebugDisplayDictionary(&small))["a"], shortWide);
}

// The integer value of the types Stream Deck and the property inspector send.
TEST(SDUtilitiesTest, IntegerValue) {
  EXPECT_EQ(SDIntegerValue(json("  12abc")), 12);
  EXPECT_EQ(SDIntegerValue(json("-3")), -3);
  EXPECT_EQ(SDIntegerValue(json("+7")), 7);
  EXPECT_EQ(SDIntegerValue(json("abc")), 0);
  EXPECT_EQ(SDIntegerValue(json("")), 0);
  EXPECT_EQ(SDIntegerValue(json("99999999999999999999")), INT64_MAX);
  EXPECT_EQ(SDIntegerValue(json("-99999999999999999999")), INT64_MIN);
  EXPECT_EQ(SDIntegerValue(json(5)), 5);
  EXPECT_EQ(SDIntegerValue(json(5.9)), 5);
  EXPECT_EQ(SDIntegerValue(json(-5.9)), -5);
  EXPECT_EQ(SDIntegerValue(json(1e30)), INT64_MAX);
  EXPECT_EQ(SDIntegerValue(json(true)), 1);
  EXPECT_EQ(SDIntegerValue(json(false)), 0);
  EXPECT_EQ(SDIntegerValue(json(nullptr)), 0);
  EXPECT_EQ(SDIntegerValue(json(18446744073709551615ULL)), -1);
  EXPECT_THROW(SDIntegerValue(json::object()), SDTypeError);
  EXPECT_THROW(SDIntegerValue(json::array()), SDTypeError);
  EXPECT_EQ(SDLow32(4294967297LL), 1);
  EXPECT_EQ(SDLow32(-1), -1);
  EXPECT_EQ(SDLow32(INT64_MAX), -1);
}

// intValue-style reading clamps to the 32-bit range.
TEST(SDUtilitiesTest, IntValue) {
  EXPECT_EQ(SDIntValue("12ab"), 12);
  EXPECT_EQ(SDIntValue(" \t-42"), -42);
  EXPECT_EQ(SDIntValue("abc"), 0);
  EXPECT_EQ(SDIntValue("2147483648"), INT32_MAX);
  EXPECT_EQ(SDIntValue("-2147483649"), INT32_MIN);
  EXPECT_EQ(SDIntValue("99999999999999999999999"), INT32_MAX);
  EXPECT_EQ(SDIntValue("-"), 0);
}

} // namespace
