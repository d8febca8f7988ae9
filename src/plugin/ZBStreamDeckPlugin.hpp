#pragma once
// The plug-in proper: links the Stream Deck keys that carry the plug-in's action to the Zorbel
// macro engine.
//
// - Key identity: every key (named by its Stream Deck context) gets a button ID, the user's
//   zbID or "R<row>C<column>" of its virtual row and column, recorded when the key appears.
// - Key presses and releases become the distributed notification "Zorbel Stream Deck Key"
//   (context, virtual row and column, pressed).
// - The engine's notifications (Show Alert, Show OK, Set Title, Set Image) select every key with
//   the notification's button ID and become Stream Deck commands; titles and images are also
//   written into the key's settings, which Stream Deck keeps and returns on every appearance.
// - Property-inspector messages change a key's zbID, zbRow or zbColumn.
//
// Threading: main thread only. Stream Deck events arrive on the main queue, engine notifications
// through the main loop, so the tables need no lock. The plug-in stores nothing itself: the
// tables are rebuilt from Stream Deck's willAppear payloads after every start.
//
// Lifetime: one instance, owned by the entry point in a shared_ptr (the notification observers
// hold it weakly); it holds the connection manager weakly.

#include "contract/ZBContract.hpp"
#include "notifications/DistributedNotificationCenter.hpp"
#include "streamdeck/SDEventsProtocol.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class ZBStreamDeckPlugin final : public SDEventsProtocol,
                                 public std::enable_shared_from_this<ZBStreamDeckPlugin> {
public:
  /// context → value
  using Table = std::map<std::string, nlohmann::json>;

  /// Sets nothing up: the tables appear with the first willAppear, the observers in launched.
  ZBStreamDeckPlugin() = default;

  /// The center used for posting and observing (default: the session bus center, fetched in
  /// launched). Set it before launched.
  void setNotificationCenterForTesting(std::shared_ptr<platform::DistributedNotificationCenter> center) {
    _notificationCenter = std::move(center);
  }

  // ---- SDEventsProtocol ----
  void setConnectionManager(std::weak_ptr<SDConnectionManager> connectionManager) override;
  void keyDownForAction(const SDString& action, const SDString& context, const nlohmann::json* payload,
                        const SDString& device) override;
  void keyUpForAction(const SDString& action, const SDString& context, const nlohmann::json* payload,
                      const SDString& device) override;
  void willAppearForAction(const SDString& action, const SDString& context, const nlohmann::json* payload,
                           const SDString& device) override;
  void willDisappearForAction(const SDString& action, const SDString& context, const nlohmann::json* payload,
                              const SDString& device) override;
  void didReceiveSettingsForAction(const SDString& action, const SDString& context,
                                   const nlohmann::json* payload, const SDString& device) override;
  void didReceiveFromPluginForAction(const SDString& action, const SDString& context,
                                     const nlohmann::json* payload, const SDString& device) override;
  void deviceDidConnect(const SDString& device, const nlohmann::json* deviceInfo) override;
  void deviceDidDisconnect(const SDString& device) override;
  void launched() override;
  void terminating() override;

  // ---- Key identity and presses ----
  /// Creates the tables that do not exist yet.
  void setupIfNeeded();
  void sendZBKeyPressed(bool pressed, const SDString& context, const nlohmann::json* payload,
                        const SDString& device);

  // ---- Engine commands ----
  /// The contexts whose button ID equals the notification's zbID (a string), in table order.
  std::vector<std::string> contextsForNotification(const platform::DistributedNotification& notification);
  void showAlert(const platform::DistributedNotification& notification);
  void showOK(const platform::DistributedNotification& notification);
  void doSetTitle(const platform::DistributedNotification& notification);
  void doSetImage(const platform::DistributedNotification& notification);

  // ---- Property inspector ----
  /// `newID`: a JSON string, or nullptr for none.
  void updateZBID(const nlohmann::json* newID, const std::string& context, const nlohmann::json* payload);
  /// `key`: "zbRow" or "zbColumn"; `value`: a string or a number.
  void updateRowOrColumn(const std::string& key, const nlohmann::json& value, const std::string& context,
                         const nlohmann::json* payload);

  // ---- Properties (nullptr before the first willAppear) ----
  std::shared_ptr<SDConnectionManager> connectionManager() const { return _connectionManager.lock(); }
  const Table* knownSettings() const { return _knownSettings ? &*_knownSettings : nullptr; }
  const Table* knownIDs() const { return _knownIDs ? &*_knownIDs : nullptr; }
  const Table* knownCoordinates() const { return _knownCoordinates ? &*_knownCoordinates : nullptr; }

private:
  nlohmann::json* settingsFor(const std::string& context);
  /// For every key the notification selects: `command` (false when refused), then settings[key]
  /// = `value` (removed for nullptr) sent with setSettings. Nothing changes for a key when either
  /// message would be over Stream Deck's size bound.
  void applyToSettings(const char* key, const nlohmann::json* value,
                       const platform::DistributedNotification& notification,
                       const std::function<bool(SDConnectionManager&, const std::string&)>& command);

  std::weak_ptr<SDConnectionManager> _connectionManager;
  std::optional<Table> _knownSettings;
  std::optional<Table> _knownIDs;
  std::optional<Table> _knownCoordinates;
  std::shared_ptr<platform::DistributedNotificationCenter> _notificationCenter;
};

// The functions the plug-in's rules are made of (exposed for tests).

/// The virtual row: the settings' zbRow when 1 to 999, else the coordinates' "row" + 1, else 999.
/// Either argument may be nullptr.
std::int32_t VirtualRow(const nlohmann::json* settings, const nlohmann::json* coordinates);
/// The same with zbColumn and "column".
std::int32_t VirtualColumn(const nlohmann::json* settings, const nlohmann::json* coordinates);
/// "R<virtual row>C<virtual column>".
std::string DefaultIDFromCoordinates(const nlohmann::json* settings, const nlohmann::json* coordinates);
/// What a title is sent as: a string as it is, a number or boolean as its JSON text ("42",
/// "true"); nothing for any other value.
std::optional<nlohmann::json> TitleText(const nlohmann::json& title);
/// Absent, null, or a string, array or object of length 0.
bool IsEmpty(const nlohmann::json* value);
/// `text` without white space and line breaks at either end (Unicode space separators, tab,
/// U+000A to U+000D, U+0085, U+2028, U+2029).
std::string TrimWhitespaceAndNewlines(const std::string& text);
