#pragma once
// The MQTT bridge of `zorbel-deck run`: the deck's side of the D-Bus contract carried to a broker
// (docs/zorbel-deck.md, "MQTT"), on the engine's run loop and notification center.
//
// Out: key presses and releases (<prefix>/key/R<row>C<column>, "down"/"up", QoS 0) and dial
// events (<prefix>/dial/<ID>, the notification's fields as JSON); <prefix>/status "online"
// (retained) once connected, "offline" on a clean stop and as the connection's will; discovery
// messages for the configured keys and dials. Presses while disconnected are dropped and counted.
//
// In: <prefix>/key/<ID>/title|image|alert|ok/set and <prefix>/dial/<ID>/feedback|layout/set
// become Set Title, Set Image, Show Alert, Show OK, Set Feedback and Set Feedback Layout for that
// ID. Commands are coalesced until the loop's next turn, the latest one per key and kind winning,
// so a flood costs bounded memory and leaves the loop to the local keys; retained alerts and
// OKs are ignored. Payloads out of bounds are refused with one log line per burst.

#include "deck/DeckConfig.hpp"
#include "deck/DeckEngine.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {
class RunLoop;
class DistributedNotificationCenter;
} // namespace platform

namespace deck {

/// The largest title and image taken from the broker; a layout's name is bounded like a title.
inline constexpr std::size_t kMaxMqttTitleBytes = 64 * 1024;

struct DeckMqttBridgeSettings {
  DeckMqttConfig config;
  std::optional<std::string> password;
  std::string prefix; // resolved: the configured one or zorbel/<host name>
  bool operator==(const DeckMqttBridgeSettings&) const = default;
};

/// The settings for `config` read from the file at `configPath`: the password read (and refused
/// when others can read it), the client key file checked the same way, and the prefix resolved;
/// else the reason, one sentence.
std::variant<DeckMqttBridgeSettings, std::string>
DeckMqttPrepare(const DeckMqttConfig& config, const std::string& configPath, const std::string& home);

/// The machine's host name (for the default prefix).
std::string DeckMqttHostName();

class DeckMqttBridge {
public:
  DeckMqttBridge(platform::RunLoop& loop, std::shared_ptr<platform::DistributedNotificationCenter> center,
                 DeckLog log, DeckMqttBridgeSettings settings);
  /// A clean stop: "offline" published, the connection closed (waiting at most 2 s for both).
  ~DeckMqttBridge();
  DeckMqttBridge(const DeckMqttBridge&) = delete;
  DeckMqttBridge& operator=(const DeckMqttBridge&) = delete;

  /// Observes presses and dials and starts connecting; announces `keys` and `dials` when
  /// discovery is on. False when the presses cannot be observed.
  bool start(const std::vector<DeckKey>& keys, const std::vector<DeckDial>& dials);

  /// The configured keys and dials changed: discovery messages follow (those of keys and dials
  /// that left are withdrawn with an empty retained message).
  void setControls(const std::vector<DeckKey>& keys, const std::vector<DeckDial>& dials);

  const DeckMqttBridgeSettings& settings() const;

  struct Impl;

private:
  std::shared_ptr<Impl> _impl;
};

/// Gives `config` (read from config.path) its bridge: starts one, replaces it when the [mqtt]
/// settings changed, updates its keys and dials when they did not, stops it when the table is gone. When
/// the table cannot be used (a password or client key others can read, no bus), the reason, one sentence, and
/// `bridge` is left as it was.
std::optional<std::string>
DeckMqttApply(std::unique_ptr<DeckMqttBridge>& bridge, const DeckConfig& config, platform::RunLoop& loop,
              const std::shared_ptr<platform::DistributedNotificationCenter>& center, const DeckLog& log,
              const std::string& home);

} // namespace deck
