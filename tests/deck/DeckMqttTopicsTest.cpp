#include "deck/DeckMqttTopics.hpp"

#include <gtest/gtest.h>

namespace {

using namespace deck;

// IDs go into one topic level and come back the same; nothing in an ID becomes a level or a
// wildcard.
TEST(DeckMqttTopicsTest, IDsAreEscapedBothWays) {
  const std::pair<std::string, std::string> cases[] = {
      {"R1C1", "R1C1"},
      {"Lights", "Lights"},
      {"a/b", "a%2Fb"},
      {"50%", "50%25"},
      {"+#", "%2B%23"},
      {std::string("tab\tnl\n\x7F", 8), "tab%09nl%0A%7F"},
      {std::string("nul\0", 4), "nul%00"},
      {"é ü", "é ü"}, // UTF-8 and spaces are plain level bytes
  };
  for (auto& [id, level] : cases) {
    EXPECT_EQ(DeckMqttEscape(id), level) << id;
    EXPECT_EQ(DeckMqttUnescape(level), id) << level;
    EXPECT_EQ(level.find_first_of("/+#"), std::string::npos) << level;
  }
  EXPECT_EQ(DeckMqttUnescape("%41%2f"), "A/"); // any escape, lower case too, is read
  for (const char* bad : {"%", "%4", "%G1", "a%2"}) EXPECT_EQ(DeckMqttUnescape(bad), std::nullopt) << bad;
}

// Command topics name their kind and ID; everything else under the prefix is not a command.
TEST(DeckMqttTopicsTest, CommandTopicsAreParsedAndBuilt) {
  using K = DeckMqttCommandKind;
  const std::string p = "zorbel/desk";
  const std::pair<const char*, std::optional<DeckMqttCommand>> cases[] = {
      {"zorbel/desk/key/R1C1/title/set", DeckMqttCommand{K::Title, "R1C1"}},
      {"zorbel/desk/key/a%2Fb/image/set", DeckMqttCommand{K::Image, "a/b"}},
      {"zorbel/desk/key/x/alert/set", DeckMqttCommand{K::Alert, "x"}},
      {"zorbel/desk/key/x/ok/set", DeckMqttCommand{K::OK, "x"}},
      {"zorbel/desk/dial/D1/feedback/set", DeckMqttCommand{K::Feedback, "D1"}},
      {"zorbel/desk/dial/D1/layout/set", DeckMqttCommand{K::Layout, "D1"}},
      {"zorbel/desk/dial/D1/title/set", std::nullopt}, // a key's command on a dial
      {"zorbel/desk/key/D1/layout/set", std::nullopt},
      {"zorbel/desk/key//title/set", std::nullopt},
      {"zorbel/desk/key/%zz/title/set", std::nullopt},
      {"zorbel/desk/key/R1C1/title", std::nullopt},
      {"zorbel/desk/key/R1C1/title/set/x", std::nullopt},
      {"zorbel/desktop/key/R1C1/title/set", std::nullopt},
      {"zorbel/desk/status", std::nullopt},
      {"zorbel/desk", std::nullopt},
  };
  for (auto& [topic, expected] : cases) {
    EXPECT_EQ(DeckMqttParseCommandTopic(p, topic), expected) << topic;
    if (expected) {
      EXPECT_EQ(DeckMqttCommandTopic(p, expected->kind, expected->id), topic);
    }
  }
  EXPECT_EQ(DeckMqttPressTopic(p, 2, 13), "zorbel/desk/key/R2C13");
  EXPECT_EQ(DeckMqttDialTopic(p, "a+b"), "zorbel/desk/dial/a%2Bb");
  EXPECT_EQ(DeckMqttParseEventTopic(p, "zorbel/desk/dial/a%2Bb"), std::pair(true, std::string("a+b")));
  EXPECT_EQ(DeckMqttParseEventTopic(p, "zorbel/desk/key/R1C1/title/set"), std::nullopt);
  EXPECT_EQ(DeckMqttDefaultPrefix("my/host"), "zorbel/my%2Fhost");
}

TEST(DeckMqttTopicsTest, BrokerURLsAndPrefixes) {
  using B = DeckMqttBroker;
  const std::pair<const char*, std::optional<B>> urls[] = {
      {"mqtt://hub.lan", B{false, "hub.lan", 1883}},
      {"mqtts://hub.lan", B{true, "hub.lan", 8883}},
      {"mqtt://127.0.0.1:1884/", B{false, "127.0.0.1", 1884}},
      {"mqtts://[::1]:8884", B{true, "::1", 8884}},
      {"http://hub", std::nullopt},
      {"mqtt://", std::nullopt},
      {"mqtt://hub:", std::nullopt},
      {"mqtt://hub:0", std::nullopt},
      {"mqtt://hub:65536", std::nullopt},
      {"mqtt://hub:1x", std::nullopt},
      {"mqtt://user@hub", std::nullopt},
      {"mqtt://hub/path", std::nullopt},
      {"mqtts://[::1", std::nullopt},
  };
  for (auto& [url, expected] : urls) {
    auto parsed = DeckMqttParseBroker(url);
    if (expected)
      EXPECT_EQ(std::get<B>(parsed), *expected) << url;
    else
      EXPECT_TRUE(std::holds_alternative<std::string>(parsed)) << url;
  }
  for (const char* good : {"zorbel/desk", "a", "home/office/deck-1"})
    EXPECT_EQ(DeckMqttPrefixProblem(good), std::nullopt) << good;
  for (const char* bad : {"", "a/+", "#", "$SYS/x", "/a", "a/", "a//b"})
    EXPECT_NE(DeckMqttPrefixProblem(bad), std::nullopt) << bad;
}

} // namespace
