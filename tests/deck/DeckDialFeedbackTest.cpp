#include "deck/DeckDialFeedback.hpp"

#include "support/TempDir.hpp"

#include <gtest/gtest.h>

namespace {

using namespace deck;
using nlohmann::json;

const std::string kPNG("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);

// What a feedback command prints and the dictionary it gives (or the reason it gives none).
TEST(DeckDialFeedbackTest, OutputIsAPlainValueOrAJSONObject) {
  testsupport::TempDir home;
  ASSERT_TRUE(testsupport::WriteFile(home.file("speaker.png"), kPNG));
  ASSERT_TRUE(testsupport::WriteFile(home.file("notes.txt"), "not a picture"));
  const std::string icon = "data:image/png;base64,iVBORw0KGgoAAAANSUhEUg==";
  const struct {
    std::string output;
    json feedback; // null when refused
    const char* reason = "";
  } cases[] = {
      {"42%\n", {{"value", "42%"}}},
      {"first\r\nsecond\n", {{"value", "first"}}},
      {"", {{"value", ""}}},
      {"  [1, 2]\n", {{"value", "  [1, 2]"}}}, // only an object is JSON here
      {R"({"title": "Volume", "value": "42%", "indicator": 42})",
       {{"title", "Volume"}, {"value", "42%"}, {"indicator", 42}}},
      {" \n{\"indicator\": 150}\n", {{"indicator", 100}}},
      {R"({"indicator": -3})", {{"indicator", 0}}},
      {R"({"indicator": 41.6})", {{"indicator", 42}}},
      {R"({"indicator": 1e300})", {{"indicator", 100}}},
      {R"({"indicator": 18446744073709551615})", {{"indicator", 100}}},
      {R"({"value": 7, "title": 2.5})", {{"value", "7"}, {"title", "2.5"}}},
      {R"({"icon": "~/speaker.png"})", {{"icon", icon}}},
      {R"({"icon": "speaker.png"})", {{"icon", icon}}},
      {R"({"icon": "data:image/svg+xml;base64,PHN2Zy8+"})", {{"icon", "data:image/svg+xml;base64,PHN2Zy8+"}}},
      {R"({"icon": ""})", {{"icon", ""}}},
      {R"({"bar": {"value": 3}, "custom": true})", {{"bar", {{"value", 3}}}, {"custom", true}}},
      {"{}", json::object()},
      {"{\"value\": \"x\"", nullptr, "not a JSON object"},
      {R"({"indicator": "42"})", nullptr, "indicator must be a number"},
      {R"({"title": ["a"]})", nullptr, "title must be a string"},
      {R"({"icon": 3})", nullptr, "icon must be a string"},
      {R"({"icon": "notes.txt"})", nullptr, "not a PNG, JPEG, GIF, SVG or WebP image"},
      {R"({"icon": "~/missing.png"})", nullptr, "missing.png"},
  };
  for (auto& c : cases) {
    auto result = DeckFeedbackFromOutput(c.output, home.path());
    if (c.feedback.is_null()) {
      ASSERT_TRUE(std::holds_alternative<std::string>(result)) << c.output;
      EXPECT_NE(std::get<std::string>(result).find(c.reason), std::string::npos)
          << c.output << " -> " << std::get<std::string>(result);
      continue;
    }
    auto* problem = std::get_if<std::string>(&result);
    ASSERT_EQ(problem, nullptr) << c.output << " -> " << *problem;
    EXPECT_EQ(std::get<json>(result), c.feedback) << c.output;
    // The indicator stays an integer: it goes out as a D-Bus i.
    if (c.feedback.contains("indicator")) {
      EXPECT_TRUE(std::get<json>(result)["indicator"].is_number_integer());
    }
  }
}

TEST(DeckDialFeedbackTest, OptionsGiveOnlyWhatIsSet) {
  testsupport::TempDir home;
  ASSERT_TRUE(testsupport::WriteFile(home.file("speaker.png"), kPNG));
  DeckFeedbackOptions options;
  options.title = "Volume";
  options.indicator = 100;
  options.icon = home.file("speaker.png");
  auto result = DeckFeedbackFromOptions(options);
  ASSERT_TRUE(std::holds_alternative<json>(result));
  EXPECT_EQ(std::get<json>(result), (json{{"title", "Volume"},
                                          {"indicator", 100},
                                          {"icon", "data:image/png;base64,iVBORw0KGgoAAAANSUhEUg=="}}));
  options.icon = home.file("missing.png");
  EXPECT_TRUE(std::holds_alternative<DeckImageError>(DeckFeedbackFromOptions(options)));
}

} // namespace
