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
// - Key appearances: "Zorbel Stream Deck Key Appeared" (context, virtual row and column, button
//   ID) when a key appears, when the inspector changes its ID or position, and for every key
//   each time the bus (re)connects, so that an engine can show a key's state at once.
// - Dials (ZBStreamDeckPluginDials.cpp): a context whose willAppear says controller "Encoder"
//   is a dial, with the button ID zbID or "D<virtual column>". Its rotations, pushes and touches
//   become "Zorbel Stream Deck Dial"; the engine's Set Feedback and Set Feedback Layout become
//   setFeedback and setFeedbackLayout for the dials with that ID, kept in the dial's settings
//   ("feedback", "layout") and sent again when it reappears. Titles, images, alerts and OKs
//   address dials by ID as they address keys.
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
#include <set>
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
  void dialRotateForAction(const SDString& action, const SDString& context, const nlohmann::json* payload,
                           const SDString& device) override;
  void dialDownForAction(const SDString& action, const SDString& context, const nlohmann::json* payload,
                         const SDString& device) override;
  void dialUpForAction(const SDString& action, const SDString& context, const nlohmann::json* payload,
                       const SDString& device) override;
  void touchTapForAction(const SDString& action, const SDString& context, const nlohmann::json* payload,
                         const SDString& device) override;
  void deviceDidConnect(const SDString& device, const nlohmann::json* deviceInfo) override;
  void deviceDidDisconnect(const SDString& device) override;
  void launched() override;
  void terminating() override;

  // ---- Key identity and presses ----
  /// Creates the tables that do not exist yet.
  void setupIfNeeded();
  void sendZBKeyPressed(bool pressed, const SDString& context, const nlohmann::json* payload,
                        const SDString& device);

  // ---- Key appearances ----
  /// Posts Key Appeared for a key (not a dial) with its stored position, settings and ID; with
  /// `onlyWhenChanged`, only when that differs from what was last posted for it.
  void postKeyAppeared(const std::string& context, bool onlyWhenChanged);
  /// Key Appeared for every key, in table order: after the bus has (re)connected.
  void postAllKeysAppeared();

  // ---- Dials ----
  bool isDial(const std::string& context) const { return _dials.contains(context); }
  /// "rotate", "down", "up" or "tap" of a dial event: posts the Dial notification, or logs one
  /// line and posts nothing for a malformed event.
  void sendZBDial(const char* event, const SDString& context, const nlohmann::json* payload);
  void doSetFeedback(const platform::DistributedNotification& notification);
  void doSetFeedbackLayout(const platform::DistributedNotification& notification);

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
  /// The default button ID of a context: "D<virtual column>" for a dial, "R<row>C<column>" else.
  std::string defaultIDFor(const std::string& context, const nlohmann::json* settings,
                           const nlohmann::json* coordinates) const;
  /// A dial's stored layout, title, image and feedback sent again (willAppear).
  void restoreDial(const std::string& context, const nlohmann::json& settings, SDConnectionManager& manager);
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
  /// The contexts that are dials.
  std::set<std::string> _dials;
  /// The userInfo last posted in Key Appeared, per key.
  Table _postedAppearances;
};

// The functions the plug-in's rules are made of (exposed for tests).

/// The virtual row: the settings' zbRow when 1 to 999, else the coordinates' "row" + 1, else 999.
/// Either argument may be nullptr.
std::int32_t VirtualRow(const nlohmann::json* settings, const nlohmann::json* coordinates);
/// The same with zbColumn and "column".
std::int32_t VirtualColumn(const nlohmann::json* settings, const nlohmann::json* coordinates);
/// "R<virtual row>C<virtual column>".
std::string DefaultIDFromCoordinates(const nlohmann::json* settings, const nlohmann::json* coordinates);
/// "D<virtual column>": a dial's default button ID.
std::string DefaultDialIDFromCoordinates(const nlohmann::json* settings, const nlohmann::json* coordinates);
/// Whether a willAppear payload is a dial's (its "controller" is "Encoder").
bool IsEncoderPayload(const nlohmann::json* payload);
/// What a Set Feedback Layout's `layout` is sent as: a built-in name ("$" then letters and
/// digits) as it is, "NAME" or "layouts/NAME" as "layouts/NAME" for a file name NAME (no "/",
/// no "..", no control characters or backslash); nothing for anything else.
std::optional<std::string> FeedbackLayoutPath(const std::string& layout);
/// A Set Feedback's `feedback` as setFeedback carries it: "title" and "value" as text (a number
/// or boolean as its JSON text), "indicator" a number rounded and clamped to 0...100, "icon" a
/// string, any other entry as it is. Nothing, with the reason in `why`, when `feedback` is not an
/// object or one of those four has another type.
std::optional<nlohmann::json> NormalizedFeedback(const nlohmann::json& feedback, std::string& why);

/// What a title is sent as: a string as it is, a number or boolean as its JSON text ("42",
/// "true"); nothing for any other value.
std::optional<nlohmann::json> TitleText(const nlohmann::json& title);
/// Absent, null, or a string, array or object of length 0.
bool IsEmpty(const nlohmann::json* value);
/// `text` without white space and line breaks at either end (Unicode space separators, tab,
/// U+000A to U+000D, U+0085, U+2028, U+2029).
std::string TrimWhitespaceAndNewlines(const std::string& text);
