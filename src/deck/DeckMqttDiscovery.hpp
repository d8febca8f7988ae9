#pragma once
// Home-automation discovery: the retained config messages that announce the deck's keys to a hub
// that follows the common MQTT discovery convention (<discovery prefix>/<component>/<object>/config).
// Per key:
//   <dp>/device_automation/<node>_<id>_down/config   trigger button_short_press, subtype <ID>
//   <dp>/device_automation/<node>_<id>_up/config     trigger button_short_release
//     (both only for keys with a position: presses are published by position)
//   <dp>/text/<node>_<id>_title/config               a text entity whose command topic is the title
// Per dial (its events are published by ID, as JSON whose "event" the triggers match):
//   <dp>/device_automation/<node>_<id>_dial_rotate/config   trigger dial_rotate, payload rotate
//   <dp>/device_automation/<node>_<id>_dial_down/config     trigger button_short_press, down
//   <dp>/device_automation/<node>_<id>_dial_up/config       trigger button_short_release, up
//   <dp>/device_automation/<node>_<id>_dial_tap/config      trigger touch_tap, tap
//   <dp>/text/<node>_<id>_dial_title/config                 a text entity on the ID's title topic
// each with the same device object and <prefix>/status as availability topic. <node> and <id>
// are the prefix and the ID as object IDs: letters, digits and '-' kept, every other byte _xx.
// An object ID never has a '_' that is not followed by two hex digits, so no key's <id> ends in
// "_dial": a key and a dial (of the same ID or any other) never share an object.
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

/// The discovery messages for `keys`, then for `dials`, in their order.
std::vector<DeckMqttMessage> DeckMqttDiscoveryMessages(const std::string& discoveryPrefix,
                                                       const std::string& prefix,
                                                       const std::vector<DeckKey>& keys,
                                                       const std::vector<DeckDial>& dials);

} // namespace deck
