#include "deck/DeckMqttDiscovery.hpp"

#include "deck/DeckMqttTopics.hpp"

#include <nlohmann/json.hpp>

namespace deck {

namespace {

using nlohmann::json;

std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

} // namespace

std::string DeckMqttObjectID(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-') {
      out += c;
    } else {
      out += '_';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

std::vector<DeckMqttMessage> DeckMqttDiscoveryMessages(const std::string& discoveryPrefix,
                                                       const std::string& prefix,
                                                       const std::vector<DeckKey>& keys,
                                                       const std::vector<DeckDial>& dials) {
  const std::string node = DeckMqttObjectID(prefix);
  const json device = {{"identifiers", json::array({"zorbel_deck_" + node})},
                       {"name", "Zorbel deck " + prefix},
                       {"manufacturer", "Zorbel"},
                       {"model", "zorbel-deck"}};
  const std::string availability = DeckMqttStatusTopic(prefix);
  std::vector<DeckMqttMessage> messages;
  for (const DeckKey& key : keys) {
    const std::string object = node + "_" + DeckMqttObjectID(key.id);
    if (key.row != 0) {
      for (bool down : {true, false}) {
        json trigger = {{"automation_type", "trigger"},
                        {"type", down ? "button_short_press" : "button_short_release"},
                        {"subtype", key.id},
                        {"topic", DeckMqttPressTopic(prefix, key.row, key.column)},
                        {"payload", down ? "down" : "up"},
                        {"availability_topic", availability},
                        {"device", device}};
        messages.push_back(
            {discoveryPrefix + "/device_automation/" + object + (down ? "_down" : "_up") + "/config",
             Dump(trigger)});
      }
    }
    json text = {{"name", key.id + " title"},
                 {"unique_id", object + "_title"},
                 {"command_topic", DeckMqttCommandTopic(prefix, DeckMqttCommandKind::Title, key.id)},
                 {"availability_topic", availability},
                 {"device", device}};
    messages.push_back({discoveryPrefix + "/text/" + object + "_title/config", Dump(text)});
  }
  // A dial's events share one topic; the triggers tell them apart by the payload's "event".
  static constexpr std::pair<const char*, const char*> kDialTriggers[] = {
      {"rotate", "dial_rotate"},
      {"down", "button_short_press"},
      {"up", "button_short_release"},
      {"tap", "touch_tap"},
  };
  for (const DeckDial& dial : dials) {
    const std::string object = node + "_" + DeckMqttObjectID(dial.id) + "_dial";
    for (auto [event, type] : kDialTriggers) {
      json trigger = {{"automation_type", "trigger"},
                      {"type", type},
                      {"subtype", dial.id},
                      {"topic", DeckMqttDialTopic(prefix, dial.id)},
                      {"value_template", "{{ value_json.event }}"},
                      {"payload", event},
                      {"availability_topic", availability},
                      {"device", device}};
      messages.push_back(
          {discoveryPrefix + "/device_automation/" + object + "_" + event + "/config", Dump(trigger)});
    }
    // Titles address dials and keys alike, by ID, on the key's title topic.
    json text = {{"name", dial.id + " dial title"},
                 {"unique_id", object + "_title"},
                 {"command_topic", DeckMqttCommandTopic(prefix, DeckMqttCommandKind::Title, dial.id)},
                 {"availability_topic", availability},
                 {"device", device}};
    messages.push_back({discoveryPrefix + "/text/" + object + "_title/config", Dump(text)});
  }
  return messages;
}

} // namespace deck
