#include "deck/DeckMqttDiscovery.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace deck;
using nlohmann::json;

// A key with a position has two triggers and a title entity; one without a position only the
// title. Every message names the same device and the bridge's status as availability.
TEST(DeckMqttDiscoveryTest, KeysAnnounceTriggersAndTitles) {
  DeckKey placed, unplaced;
  placed.id = "Lights", placed.row = 3, placed.column = 5;
  unplaced.id = "a/b_c";
  auto messages = DeckMqttDiscoveryMessages("ha", "zorbel/desk", {placed, unplaced});
  const std::pair<const char*, json> expected[] = {
      {"ha/device_automation/zorbel_2fdesk_Lights_down/config",
       {{"automation_type", "trigger"},
        {"type", "button_short_press"},
        {"subtype", "Lights"},
        {"topic", "zorbel/desk/key/R3C5"},
        {"payload", "down"}}},
      {"ha/device_automation/zorbel_2fdesk_Lights_up/config",
       {{"type", "button_short_release"}, {"topic", "zorbel/desk/key/R3C5"}, {"payload", "up"}}},
      {"ha/text/zorbel_2fdesk_Lights_title/config",
       {{"command_topic", "zorbel/desk/key/Lights/title/set"}, {"unique_id", "zorbel_2fdesk_Lights_title"}}},
      {"ha/text/zorbel_2fdesk_a_2fb_5fc_title/config",
       {{"command_topic", "zorbel/desk/key/a%2Fb_c/title/set"}}},
  };
  ASSERT_EQ(messages.size(), std::size(expected));
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i].topic, expected[i].first);
    json payload = json::parse(messages[i].payload);
    for (auto& [field, value] : expected[i].second.items())
      EXPECT_EQ(payload[field], value) << messages[i].topic;
    EXPECT_EQ(payload["availability_topic"], "zorbel/desk/status");
    EXPECT_EQ(payload["device"]["identifiers"], json::array({"zorbel_deck_zorbel_2fdesk"}));
  }
  EXPECT_TRUE(DeckMqttDiscoveryMessages("ha", "p", {}).empty());
}

} // namespace
