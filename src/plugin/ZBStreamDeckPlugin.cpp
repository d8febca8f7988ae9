#include "plugin/ZBStreamDeckPlugin.hpp"

#include "diagnostics/XErrorHandler.hpp"
#include "streamdeck/SDConnectionManager.hpp"
#include "streamdeck/SDUtilities.hpp"

#include <string_view>

using nlohmann::json;
using platform::DistributedNotification;

namespace {

const json* Entry(const json* dictionary, const char* key) {
  if (!dictionary || !dictionary->is_object()) return nullptr;
  auto it = dictionary->find(key);
  return it == dictionary->end() ? nullptr : &*it;
}

// payload → "coordinates": absent when missing; a present non-object fails the message.
const json* CoordinatesOf(const json* payload) {
  const json* coordinates = Entry(payload, "coordinates");
  if (coordinates && !coordinates->is_object()) throw SDTypeError("\"coordinates\" is not an object");
  return coordinates;
}

std::int32_t VirtualCoordinate(const json* settings, const char* settingsKey, const json* coordinates,
                               const char* coordinatesKey) {
  std::int32_t v = 0;
  if (const json* user = Entry(settings, settingsKey)) v = SDLow32(SDIntegerValue(*user));
  if (v >= 1 && v <= 999) return v;
  if (const json* position = Entry(coordinates, coordinatesKey)) {
    // Stream Deck counts from 0, the virtual row and column from 1; 32-bit arithmetic, no bound.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(SDLow32(SDIntegerValue(*position))) + 1u);
  }
  return 999;
}

json TableForLog(const std::optional<ZBStreamDeckPlugin::Table>& table) {
  if (!table) return nullptr;
  json object = json::object();
  for (const auto& [context, value] : *table) object[context] = value;
  return object;
}

std::string NotificationForLog(const DistributedNotification& notification) {
  json userInfo = *DebugDisplayDictionary(&notification.userInfo);
  return "{name = " + notification.name + "; object = " + notification.object +
         "; userInfo = " + userInfo.dump(-1, ' ', false, json::error_handler_t::replace) + "}";
}

// Decodes one UTF-8 code point at `i` (assumes valid UTF-8); returns its length.
std::size_t DecodeAt(const std::string& s, std::size_t i, char32_t& cp) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  if (i + n > s.size()) n = 1;
  cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
  for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return n;
}

bool IsWhitespaceOrNewline(char32_t c) {
  return c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Sets settings[key] to `value` (removes it for nullptr) and returns what was there before.
std::optional<json> Replace(json& settings, const char* key, const json* value) {
  std::optional<json> previous;
  if (auto it = settings.find(key); it != settings.end()) previous = std::move(*it);
  if (value)
    settings[key] = *value;
  else
    settings.erase(key);
  return previous;
}

void Restore(json& settings, const char* key, std::optional<json> previous) {
  if (previous)
    settings[key] = std::move(*previous);
  else
    settings.erase(key);
}

} // namespace

std::optional<json> TitleText(const json& title) {
  if (title.is_string()) return title;
  if (title.is_number() || title.is_boolean()) return json(title.dump());
  return std::nullopt;
}

// ---- The rules ---------------------------------------------------------------------------------------

std::int32_t VirtualRow(const json* settings, const json* coordinates) {
  return VirtualCoordinate(settings, "zbRow", coordinates, "row");
}

std::int32_t VirtualColumn(const json* settings, const json* coordinates) {
  return VirtualCoordinate(settings, "zbColumn", coordinates, "column");
}

std::string DefaultIDFromCoordinates(const json* settings, const json* coordinates) {
  std::string id = "R";
  id += std::to_string(VirtualRow(settings, coordinates));
  id += 'C';
  id += std::to_string(VirtualColumn(settings, coordinates));
  return id;
}

bool IsEmpty(const json* value) {
  if (!value || value->is_null()) return true;
  if (value->is_string()) return value->get_ref<const std::string&>().empty();
  if (value->is_binary()) return value->get_binary().empty();
  if (value->is_structured()) return value->empty();
  return false;
}

std::string TrimWhitespaceAndNewlines(const std::string& text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    char32_t cp;
    std::size_t n = DecodeAt(text, begin, cp);
    if (!IsWhitespaceOrNewline(cp)) break;
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    char32_t cp;
    DecodeAt(text, start, cp);
    if (!IsWhitespaceOrNewline(cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

// ---- Start and end -----------------------------------------------------------------------------------

void ZBStreamDeckPlugin::setConnectionManager(std::weak_ptr<SDConnectionManager> connectionManager) {
  _connectionManager = std::move(connectionManager);
}

void ZBStreamDeckPlugin::launched() {
  XLOG("display", "Stream Deck Plug In Launched");
  if (!_notificationCenter) _notificationCenter = platform::DistributedNotificationCenter::defaultCenter();
  std::weak_ptr<ZBStreamDeckPlugin> weak = weak_from_this();
  auto observe = [&](const char* name, void (ZBStreamDeckPlugin::*handler)(const DistributedNotification&)) {
    _notificationCenter->addObserver(name, kZBEngineNotificationObject,
                                     [weak, handler](const DistributedNotification& notification) {
                                       if (auto self = weak.lock()) ((*self).*handler)(notification);
                                     });
  };
  observe(kZBShowAlertNotification, &ZBStreamDeckPlugin::showAlert);
  observe(kZBShowOKNotification, &ZBStreamDeckPlugin::showOK);
  observe(kZBSetTitleNotification, &ZBStreamDeckPlugin::doSetTitle);
  observe(kZBSetImageNotification, &ZBStreamDeckPlugin::doSetImage);
  observe(kZBSetFeedbackNotification, &ZBStreamDeckPlugin::doSetFeedback);
  observe(kZBSetFeedbackLayoutNotification, &ZBStreamDeckPlugin::doSetFeedbackLayout);
  // Whatever an engine posted while the bus was away went to nobody: every key appears again.
  _notificationCenter->setConnectedHandler([weak] {
    if (auto self = weak.lock()) self->postAllKeysAppeared();
  });
}

void ZBStreamDeckPlugin::terminating() { XLOG("display", "Stream Deck Plug In Quitting"); }

// ---- Key identity and presses ------------------------------------------------------------------------

void ZBStreamDeckPlugin::setupIfNeeded() {
  if (!_knownCoordinates) _knownCoordinates.emplace();
  if (!_knownSettings) _knownSettings.emplace();
  if (!_knownIDs) _knownIDs.emplace();
}

json* ZBStreamDeckPlugin::settingsFor(const std::string& context) {
  if (!_knownSettings) return nullptr;
  auto it = _knownSettings->find(context);
  return it == _knownSettings->end() ? nullptr : &it->second;
}

void ZBStreamDeckPlugin::willAppearForAction(const SDString&, const SDString& context, const json* payload,
                                             const SDString&) {
  setupIfNeeded();
  if (!context) throw SDTypeError("willAppear without a context");
  const std::string& key = *context;

  const json* coordinates = CoordinatesOf(payload);
  json& storedCoordinates = (*_knownCoordinates)[key] =
      coordinates ? *coordinates : json{{"row", 777}, {"column", 777}};

  const json* payloadSettings = Entry(payload, "settings");
  if (payloadSettings && !payloadSettings->is_object()) throw SDTypeError("\"settings\" is not an object");
  std::optional<json> settings;
  if (payloadSettings) settings = *payloadSettings;

  if (IsEncoderPayload(payload))
    _dials.insert(key);
  else
    _dials.erase(key);
  const json* zbID = settings ? Entry(&*settings, "zbID") : nullptr;
  json id =
      IsEmpty(zbID) ? json(defaultIDFor(key, settings ? &*settings : nullptr, &storedCoordinates)) : *zbID;
  (*_knownIDs)[key] = id;
  // Without settings the key keeps its coordinates and default ID, and the message fails here.
  if (!settings) throw SDTypeError("willAppear without settings");
  json& stored = (*_knownSettings)[key] = std::move(*settings);

  XLOG("Verbose", "Set Display ID for context %@ to %@", key, id);
  XLOG("Verbose", "Display IDs are %@", TableForLog(_knownIDs));

  auto manager = _connectionManager.lock();
  if (manager && isDial(key)) {
    restoreDial(key, stored, *manager);
    return;
  }
  if (manager) {
    if (const json* image = Entry(&stored, "image")) manager->setImage(image, key, 0);
    if (const json* title = Entry(&stored, "title")) {
      if (auto text = TitleText(*title))
        manager->setTitle(&*text, key, 0);
      else
        XLOG("display", "The stored title of context %@ is not text but %@: not shown", key,
             title->type_name());
    }
  }
  if (!isDial(key)) postKeyAppeared(key, false);
}

void ZBStreamDeckPlugin::willDisappearForAction(const SDString&, const SDString& context, const json*,
                                                const SDString&) {
  if (!context) throw SDTypeError("willDisappear without a context");
  if (_knownCoordinates) _knownCoordinates->erase(*context);
  if (_knownIDs) _knownIDs->erase(*context);
  if (_knownSettings) _knownSettings->erase(*context);
  _dials.erase(*context);
  _postedAppearances.erase(*context);
}

void ZBStreamDeckPlugin::keyDownForAction(const SDString&, const SDString& context, const json* payload,
                                          const SDString& device) {
  sendZBKeyPressed(true, context, payload, device);
}

void ZBStreamDeckPlugin::keyUpForAction(const SDString&, const SDString& context, const json* payload,
                                        const SDString& device) {
  sendZBKeyPressed(false, context, payload, device);
}

void ZBStreamDeckPlugin::sendZBKeyPressed(bool pressed, const SDString& context, const json* payload,
                                          const SDString&) {
  const json* settings = context ? settingsFor(*context) : nullptr;
  // The event's own coordinates, not the stored ones: the key may have moved.
  const json* coordinates = CoordinatesOf(payload);
  std::int32_t row = VirtualRow(settings, coordinates);
  std::int32_t column = VirtualColumn(settings, coordinates);
  XLOG("Verbose", "sendZBKeyPressed %d,%d", row, column);
  if (!_notificationCenter) return;
  json userInfo = {{"context", context ? *context : std::string("UNKNOWN")},
                   {"row", row},
                   {"column", column},
                   {"pressed", pressed}};
  _notificationCenter->postNotificationName(kZBKeyNotification, kZBEngineNotificationObject, userInfo);
}

// ---- Key appearances ---------------------------------------------------------------------------------

std::string ZBStreamDeckPlugin::defaultIDFor(const std::string& context, const json* settings,
                                             const json* coordinates) const {
  return isDial(context) ? DefaultDialIDFromCoordinates(settings, coordinates)
                         : DefaultIDFromCoordinates(settings, coordinates);
}

void ZBStreamDeckPlugin::postKeyAppeared(const std::string& context, bool onlyWhenChanged) {
  if (isDial(context) || !_knownIDs || !_knownCoordinates) return;
  const json* settings = settingsFor(context);
  auto id = _knownIDs->find(context);
  auto coordinates = _knownCoordinates->find(context);
  // Only a key whose willAppear succeeded (it has settings) can be given a title or an image.
  if (!settings || id == _knownIDs->end() || coordinates == _knownCoordinates->end()) return;
  json userInfo;
  try {
    userInfo = {{"context", context},
                {"row", VirtualRow(settings, &coordinates->second)},
                {"column", VirtualColumn(settings, &coordinates->second)},
                {"zbID", id->second.is_string() ? id->second : json(id->second.dump())}};
  } catch (const std::exception&) {
    // A zbRow or zbColumn without an integer value: the key has no position to tell (its presses
    // fail the same way), and its appearance, which did not need one, still stands.
    XLOG("Verbose", "No Key Appeared for context %@: its row or column has no integer value", context);
    return;
  }
  auto& posted = _postedAppearances[context];
  if (onlyWhenChanged && posted == userInfo) return;
  posted = userInfo;
  if (_notificationCenter)
    _notificationCenter->postNotificationName(kZBKeyAppearedNotification, kZBEngineNotificationObject,
                                              userInfo);
}

void ZBStreamDeckPlugin::postAllKeysAppeared() {
  if (!_knownIDs) return;
  std::vector<std::string> contexts;
  for (const auto& [context, id] : *_knownIDs) contexts.push_back(context);
  for (const auto& context : contexts) postKeyAppeared(context, false);
}

// ---- Engine commands ---------------------------------------------------------------------------------

std::vector<std::string>
ZBStreamDeckPlugin::contextsForNotification(const DistributedNotification& notification) {
  std::vector<std::string> contexts;
  const json* zbID = Entry(&notification.userInfo, "zbID");
  XASSERT(zbID);
  if (IsEmpty(zbID)) return contexts;
  // Button IDs are compared as strings; a zbID of another type addresses no key.
  if (!zbID->is_string() || !_knownIDs) return contexts;
  for (const auto& [context, id] : *_knownIDs)
    if (id.is_string() && id == *zbID) contexts.push_back(context);
  return contexts;
}

void ZBStreamDeckPlugin::showAlert(const DistributedNotification& notification) {
  XLOG("Events", "showAlert %@", NotificationForLog(notification));
  auto manager = _connectionManager.lock();
  for (const auto& context : contextsForNotification(notification))
    if (manager) manager->showAlertForContext(context);
}

void ZBStreamDeckPlugin::showOK(const DistributedNotification& notification) {
  XLOG("Events", "showOK %@", NotificationForLog(notification));
  auto manager = _connectionManager.lock();
  for (const auto& context : contextsForNotification(notification))
    if (manager) manager->showOKForContext(context);
}

void ZBStreamDeckPlugin::doSetTitle(const DistributedNotification& notification) {
  XLOG("Events", "doSetTitle %@", NotificationForLog(notification));
  XLOG("Verbose", "doSetTitle %@ knownIDs %@", NotificationForLog(notification), TableForLog(_knownIDs));
  const json* entry = Entry(&notification.userInfo, "title");
  // Stream Deck hosts show text only (OpenDeck drops any other title): a number or a boolean
  // becomes its text, anything else changes nothing.
  const std::optional<json> title = entry ? TitleText(*entry) : json("UNKNOWN");
  if (!title) {
    XLOG("display", "Refusing a title that is not text but %@", entry->type_name());
    return;
  }
  applyToSettings("title", IsEmpty(&*title) ? nullptr : &*title, notification,
                  [&](SDConnectionManager& manager, const std::string& context) {
                    return manager.setTitle(&*title, context, 0);
                  });
}

void ZBStreamDeckPlugin::doSetImage(const DistributedNotification& notification) {
  XLOG("Events", "doSetImage %@", NotificationForLog(notification));
  XLOG("Verbose", "doSetImage %@ knownIDs %@", NotificationForLog(notification), TableForLog(_knownIDs));
  const json* image = Entry(&notification.userInfo, "image");
  if (IsEmpty(image)) image = nullptr;
  applyToSettings("image", image, notification,
                  [&](SDConnectionManager& manager, const std::string& context) {
                    return manager.setImage(image, context, 0);
                  });
}

void ZBStreamDeckPlugin::applyToSettings(
    const char* key, const json* value, const DistributedNotification& notification,
    const std::function<bool(SDConnectionManager&, const std::string&)>& command) {
  auto manager = _connectionManager.lock();
  for (const auto& context : contextsForNotification(notification)) {
    if (std::string_view(key) == "title") XLOG("Verbose", "context %@", context);
    // The change is made to the settings first and undone when either message would be too large
    // for Stream Deck: a refused title or image changes nothing, on the key or in its settings.
    json* settings = settingsFor(context);
    std::optional<json> previous;
    if (settings) {
      previous = Replace(*settings, key, value);
      if (!SDConnectionManager::settingsFit(*settings, context)) {
        Restore(*settings, key, std::move(previous));
        XLOG("display", "Refusing the %@ for context %@: its settings would be over 16 MiB", key, context);
        continue;
      }
    }
    if (manager && !command(*manager, context)) {
      if (settings) Restore(*settings, key, std::move(previous));
      continue;
    }
    XASSERT(settings);
    if (!settings) continue; // shown, but there are no settings to keep it in
    if (manager) manager->setSettings(*settings, context);
  }
}

// ---- Property inspector ------------------------------------------------------------------------------

void ZBStreamDeckPlugin::didReceiveSettingsForAction(const SDString&, const SDString&, const json*,
                                                     const SDString&) {
  // The plug-in never asks Stream Deck for settings, so this event is unexpected.
  XASSERT(false);
}

void ZBStreamDeckPlugin::deviceDidConnect(const SDString&, const json*) {}
void ZBStreamDeckPlugin::deviceDidDisconnect(const SDString&) {}

void ZBStreamDeckPlugin::didReceiveFromPluginForAction(const SDString&, const SDString& context,
                                                       const json* payload, const SDString&) {
  const json* zbID = Entry(payload, "zbID");
  const json* zbRow = Entry(payload, "zbRow");
  const json* zbColumn = Entry(payload, "zbColumn");
  if (!zbID && !zbRow && !zbColumn) {
    XASSERT(false);
    return;
  }
  if (!context) throw SDTypeError("sendToPlugin without a context");
  if (zbID) {
    if (!zbID->is_string()) throw SDTypeError("\"zbID\" is not a string");
    updateZBID(zbID, *context, payload);
    return;
  }
  const char* key = zbRow ? "zbRow" : "zbColumn";
  const json* value = zbRow ? zbRow : zbColumn;
  if (!value->is_string() && !value->is_number() && !value->is_boolean())
    throw SDTypeError(std::string("\"") + key + "\" is neither a string nor a number");
  updateRowOrColumn(key, *value, *context, payload);
}

void ZBStreamDeckPlugin::updateZBID(const json* newID, const std::string& context, const json*) {
  json* settings = settingsFor(context);
  XASSERT(settings);
  std::optional<std::string> trimmed;
  if (newID && newID->is_string()) trimmed = TrimWhitespaceAndNewlines(newID->get<std::string>());
  const bool empty = !trimmed || trimmed->empty();
  if (settings) {
    if (empty)
      settings->erase("zbID");
    else
      (*settings)["zbID"] = *trimmed;
  }
  const json* coordinates = nullptr;
  if (_knownCoordinates) {
    auto it = _knownCoordinates->find(context);
    if (it != _knownCoordinates->end()) coordinates = &it->second;
  }
  // The default reflects any zbRow and zbColumn in the settings.
  json id = empty ? json(defaultIDFor(context, settings, coordinates)) : json(*trimmed);
  if (_knownIDs) (*_knownIDs)[context] = id;
  if (!settings) throw SDTypeError("no settings for the context " + context);
  if (auto manager = _connectionManager.lock()) manager->setSettings(*settings, context);
  XLOG("display", "Set Button ID for context %@ to %@", context, id);
  XLOG("Verbose", "Display IDs are %@", TableForLog(_knownIDs));
  postKeyAppeared(context, true);
}

void ZBStreamDeckPlugin::updateRowOrColumn(const std::string& key, const json& value,
                                           const std::string& context, const json* payload) {
  json* settings = settingsFor(context);
  XLOG("Verbose", "updateRowOrColumn %@ context %@ settings were %@", key, context,
       settings ? *DebugDisplayDictionary(settings) : json(nullptr));
  XASSERT(settings);
  const std::int32_t v = SDLow32(SDIntegerValue(value));
  if (v >= 1 && v <= 999) {
    if (settings) (*settings)[key] = std::to_string(v);
  } else {
    if (settings) settings->erase(key);
    XLOG("display", "updateRowOrColumn %@ context %@ out of range %d", key, context, v);
  }
  if (settings && settings->contains("zbID")) {
    if (auto manager = _connectionManager.lock()) manager->setSettings(*settings, context);
    postKeyAppeared(context, true);
    return;
  }
  // No user ID: the default ID follows the new row or column (and sends the settings).
  updateZBID(nullptr, context, payload);
}
