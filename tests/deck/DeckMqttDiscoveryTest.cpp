#include "deck/DeckMqttDiscovery.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>

namespace {

using namespace deck;
using nlohmann::json;

// A key with a position has two triggers and a title entity; one without a position only the
// title. A dial has four triggers on its event topic, told apart by the JSON payload's "event",
// and a title entity. Every message names the same device and the bridge's status as
// availability.
TEST(DeckMqttDiscoveryTest, KeysAndDialsAnnounceTriggersAndTitles) {
  DeckKey placed, unplaced;
  placed.id = "Lights", placed.row = 3, placed.column = 5;
  unplaced.id = "a/b_c";
  DeckDial dial, unplacedDial;
  dial.id = "Lights", dial.column = 2;
  unplacedDial.id = "a+b";
  auto messages = DeckMqttDiscoveryMessages("ha", "zorbel/desk", {placed, unplaced}, {dial, unplacedDial});
  const json dialTrigger = {{"automation_type", "trigger"},
                            {"subtype", "Lights"},
                            {"topic", "zorbel/desk/dial/Lights"},
                            {"value_template", "{{ value_json.event }}"}};
  auto with = [](json base, const json& more) {
    base.update(more);
    return base;
  };
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
      {"ha/device_automation/zorbel_2fdesk_Lights_dial_rotate/config",
       with(dialTrigger, {{"type", "dial_rotate"}, {"payload", "rotate"}})},
      {"ha/device_automation/zorbel_2fdesk_Lights_dial_down/config",
       with(dialTrigger, {{"type", "button_short_press"}, {"payload", "down"}})},
      {"ha/device_automation/zorbel_2fdesk_Lights_dial_up/config",
       with(dialTrigger, {{"type", "button_short_release"}, {"payload", "up"}})},
      {"ha/device_automation/zorbel_2fdesk_Lights_dial_tap/config",
       with(dialTrigger, {{"type", "touch_tap"}, {"payload", "tap"}})},
      {"ha/text/zorbel_2fdesk_Lights_dial_title/config",
       {{"command_topic", "zorbel/desk/key/Lights/title/set"},
        {"unique_id", "zorbel_2fdesk_Lights_dial_title"}}},
      {"ha/device_automation/zorbel_2fdesk_a_2bb_dial_rotate/config",
       {{"subtype", "a+b"}, {"topic", "zorbel/desk/dial/a%2Bb"}, {"payload", "rotate"}}},
      {"ha/device_automation/zorbel_2fdesk_a_2bb_dial_down/config", {{"payload", "down"}}},
      {"ha/device_automation/zorbel_2fdesk_a_2bb_dial_up/config", {{"payload", "up"}}},
      {"ha/device_automation/zorbel_2fdesk_a_2bb_dial_tap/config", {{"payload", "tap"}}},
      {"ha/text/zorbel_2fdesk_a_2bb_dial_title/config",
       {{"command_topic", "zorbel/desk/key/a%2Bb/title/set"}}},
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
  EXPECT_TRUE(DeckMqttDiscoveryMessages("ha", "p", {}, {}).empty());
}

// Keys and dials never share a discovery object (nor a unique_id), whatever their IDs: not with
// the same ID, nor when a key's ID looks like a dial's object.
TEST(DeckMqttDiscoveryTest, KeysAndDialsNeverShareAnObject) {
  std::vector<DeckKey> keys;
  std::vector<DeckDial> dials;
  for (const char* id : {"X", "dial_X", "X_dial", "5fX", "X_5fdial", "dial", "_"}) {
    DeckKey key;
    key.id = id, key.row = 1, key.column = 1;
    keys.push_back(key);
    DeckDial dial;
    dial.id = id;
    dials.push_back(dial);
  }
  auto messages = DeckMqttDiscoveryMessages("ha", "p", keys, dials);
  std::set<std::string> topics, uniqueIDs;
  for (auto& message : messages) {
    EXPECT_TRUE(topics.insert(message.topic).second) << message.topic;
    json payload = json::parse(message.payload);
    if (payload.contains("unique_id")) {
      EXPECT_TRUE(uniqueIDs.insert(payload["unique_id"].get<std::string>()).second) << payload["unique_id"];
    }
  }
  EXPECT_EQ(topics.size(), keys.size() * 3 + dials.size() * 5);
}

} // namespace
