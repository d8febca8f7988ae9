#pragma once
// Home-automation discovery: the retained config messages that announce the deck's keys to a hub
// that follows the common MQTT discovery convention (<discovery prefix>/<component>/<object>/config).
// Per key:
//   <dp>/device_automation/<node>_<id>_down/config   trigger button_short_press, subtype <ID>
//   <dp>/device_automation/<node>_<id>_up/config     trigger button_short_release
//     (both only for keys with a position: presses are published by position)
//   <dp>/text/<node>_<id>_title/config               a text entity whose command topic is the title
// each with the same device object and <prefix>/status as availability topic. <node> and <id>
// are the prefix and the ID as object IDs: letters, digits and '-' kept, every other byte _xx.
// Pure: JSON builders only.

#include "deck/DeckConfig.hpp"

#include <string>
#include <vector>

namespace deck {

struct DeckMqttMessage {
  std::string topic;
  std::string payload;
  bool operator==(const DeckMqttMessage&) const = default;
};

/// `text` as a discovery object ID.
std::string DeckMqttObjectID(std::string_view text);

/// The discovery messages for `keys`, in their order.
std::vector<DeckMqttMessage> DeckMqttDiscoveryMessages(const std::string& discoveryPrefix,
                                                       const std::string& prefix,
                                                       const std::vector<DeckKey>& keys);

} // namespace deck
