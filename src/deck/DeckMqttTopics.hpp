#pragma once
// The bridge's MQTT topics under a prefix (see docs/zorbel-deck.md, "MQTT"), and the broker URL.
// Pure: every rule here is testable without a broker.
//
//   <prefix>/status                      online / offline (retained)
//   <prefix>/key/R<row>C<column>         down / up, presses out
//   <prefix>/dial/<ID>                   a dial's notification as JSON, out
//   <prefix>/key/<ID>/<command>/set      title, image, alert, ok, in
//   <prefix>/dial/<ID>/<command>/set     feedback, layout, in
//
// A button ID is one topic level: the bytes %, /, +, # and control characters (below 0x20 and
// 0x7F) are written %XX (two upper-case hex digits) in topics and read back the same way, so an
// ID never splits a level nor becomes a wildcard.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace deck {

/// `id` as one topic level.
std::string DeckMqttEscape(std::string_view id);

/// The ID a topic level names; nullopt for a malformed level (a % not followed by two hex
/// digits, an escape of a byte that needs none is accepted).
std::optional<std::string> DeckMqttUnescape(std::string_view level);

std::string DeckMqttStatusTopic(const std::string& prefix);
std::string DeckMqttPressTopic(const std::string& prefix, int row, int column);
std::string DeckMqttDialTopic(const std::string& prefix, std::string_view id);

enum class DeckMqttCommandKind { Title, Image, Alert, OK, Feedback, Layout };

struct DeckMqttCommand {
  DeckMqttCommandKind kind = DeckMqttCommandKind::Title;
  std::string id;
  bool operator==(const DeckMqttCommand&) const = default;
};

/// <prefix>/key|dial/<escaped ID>/<command>/set.
std::string DeckMqttCommandTopic(const std::string& prefix, DeckMqttCommandKind kind, std::string_view id);

/// The command a topic received under `prefix` carries; nullopt for any other topic.
std::optional<DeckMqttCommand> DeckMqttParseCommandTopic(const std::string& prefix, std::string_view topic);

/// The subscriptions that receive every command under `prefix`.
std::vector<std::string> DeckMqttCommandSubscriptions(const std::string& prefix);

/// The ID of a press or dial topic (`<prefix>/key/<level>` or `<prefix>/dial/<level>`), with
/// whether it is a dial; for `zorbel-deck watch` over MQTT.
std::optional<std::pair<bool, std::string>> DeckMqttParseEventTopic(const std::string& prefix,
                                                                    std::string_view topic);

/// A prefix the configuration may give: non-empty, without wildcards, empty levels, NUL or a
/// leading '$'; else the reason.
std::optional<std::string> DeckMqttPrefixProblem(const std::string& prefix);

/// zorbel/<host name>, the host name escaped as an ID.
std::string DeckMqttDefaultPrefix(const std::string& hostName);

struct DeckMqttBroker {
  bool tls = false;
  std::string host;
  int port = 1883;
  bool operator==(const DeckMqttBroker&) const = default;
};

/// mqtt://host[:port] (1883) or mqtts://host[:port] (8883); an IPv6 address in brackets. Else
/// the reason.
std::variant<DeckMqttBroker, std::string> DeckMqttParseBroker(const std::string& url);

} // namespace deck
