// The plug-in's dials: the events of an encoder's dial and touch strip become the Dial
// notification, the engine's feedback and layouts become the strip's setFeedback and
// setFeedbackLayout. Keys never pass through here.
#include "plugin/ZBStreamDeckPlugin.hpp"

#include "diagnostics/XErrorHandler.hpp"
#include "streamdeck/SDConnectionManager.hpp"
#include "streamdeck/SDUtilities.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

using nlohmann::json;
using platform::DistributedNotification;

namespace {

/// The most ticks one rotation event may carry. A fast spin on real hardware reports a few dozen
/// at most; anything beyond this is a broken host, not a hand.
constexpr std::int64_t kMaximumTicks = 10000;
/// The largest touch coordinate taken: far beyond any strip (the Stream Deck+'s is 800 × 100).
constexpr double kMaximumTouchCoordinate = 100000;

const json* Entry(const json* dictionary, const char* key) {
  if (!dictionary || !dictionary->is_object()) return nullptr;
  auto it = dictionary->find(key);
  return it == dictionary->end() ? nullptr : &*it;
}

std::string NotificationForLog(const DistributedNotification& notification) {
  json userInfo = *DebugDisplayDictionary(&notification.userInfo);
  return "{name = " + notification.name + "; object = " + notification.object +
         "; userInfo = " + userInfo.dump(-1, ' ', false, json::error_handler_t::replace) + "}";
}

/// An integer JSON value within ±bound, else nothing.
std::optional<std::int64_t> BoundedInteger(const json& value, std::int64_t bound) {
  if (value.is_number_integer()) {
    const auto v = value.get<std::int64_t>();
    if (v >= -bound && v <= bound) return v;
    return std::nullopt;
  }
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v <= static_cast<std::uint64_t>(bound)) return static_cast<std::int64_t>(v);
  }
  return std::nullopt;
}

/// A finite number within ±bound, rounded to the nearest integer, else nothing.
std::optional<std::int32_t> RoundedCoordinate(const json& value) {
  if (!value.is_number()) return std::nullopt;
  const double v = value.get<double>();
  if (!std::isfinite(v) || std::fabs(v) > kMaximumTouchCoordinate) return std::nullopt;
  return static_cast<std::int32_t>(std::lround(v));
}

/// An optional boolean entry: absent is false; anything but a boolean is nothing.
std::optional<bool> Flag(const json* payload, const char* key) {
  const json* value = Entry(payload, key);
  if (!value) return false;
  if (!value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

bool IsLayoutNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

} // namespace

// ---- The rules ---------------------------------------------------------------------------------------

std::string DefaultDialIDFromCoordinates(const json* settings, const json* coordinates) {
  return "D" + std::to_string(VirtualColumn(settings, coordinates));
}

bool IsEncoderPayload(const json* payload) {
  const json* controller = Entry(payload, "controller");
  return controller && controller->is_string() && controller->get_ref<const std::string&>() == "Encoder";
}

std::optional<std::string> FeedbackLayoutPath(const std::string& layout) {
  if (layout.size() >= 2 && layout[0] == '$') {
    for (std::size_t i = 1; i < layout.size(); ++i)
      if (!IsLayoutNameCharacter(layout[i])) return std::nullopt;
    return layout;
  }
  constexpr std::string_view kFolder = "layouts/";
  std::string_view name = layout;
  if (name.starts_with(kFolder)) name.remove_prefix(kFolder.size());
  if (name.empty() || name.size() > 255 || name == "." || name.find("..") != std::string_view::npos ||
      name.front() == '$')
    return std::nullopt;
  for (char c : name)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
  return std::string(kFolder) + std::string(name);
}

std::optional<json> NormalizedFeedback(const json& feedback, std::string& why) {
  if (!feedback.is_object()) {
    why = std::string("the feedback is not a dictionary but ") + feedback.type_name();
    return std::nullopt;
  }
  json out = json::object();
  for (const auto& [key, value] : feedback.items()) {
    if (key == "title" || key == "value") {
      auto text = TitleText(value);
      if (!text) {
        why = "its " + key + " is not text but " + value.type_name();
        return std::nullopt;
      }
      out[key] = std::move(*text);
    } else if (key == "indicator") {
      if (!value.is_number() || !std::isfinite(value.get<double>())) {
        why = std::string("its indicator is not a number but ") + value.type_name();
        return std::nullopt;
      }
      // The strip's bar is 0 to 100: beyond either end is the end.
      const double v = std::clamp(value.get<double>(), 0.0, 100.0);
      out[key] = static_cast<std::int32_t>(std::lround(v));
    } else if (key == "icon") {
      if (!value.is_string()) {
        why = std::string("its icon is not text but ") + value.type_name();
        return std::nullopt;
      }
      out[key] = value;
    } else {
      out[key] = value; // for the items of a custom layout
    }
  }
  return out;
}

// ---- Dial events -------------------------------------------------------------------------------------

void ZBStreamDeckPlugin::dialRotateForAction(const SDString&, const SDString& context, const json* payload,
                                             const SDString&) {
  sendZBDial("rotate", context, payload);
}

void ZBStreamDeckPlugin::dialDownForAction(const SDString&, const SDString& context, const json* payload,
                                           const SDString&) {
  sendZBDial("down", context, payload);
}

void ZBStreamDeckPlugin::dialUpForAction(const SDString&, const SDString& context, const json* payload,
                                         const SDString&) {
  sendZBDial("up", context, payload);
}

void ZBStreamDeckPlugin::touchTapForAction(const SDString&, const SDString& context, const json* payload,
                                           const SDString&) {
  sendZBDial("tap", context, payload);
}

void ZBStreamDeckPlugin::sendZBDial(const char* event, const SDString& context, const json* payload) {
  auto refuse = [&](const std::string& why) {
    XLOG("display", "Ignoring the dial %@ of context %@: %@", event,
         context ? *context : std::string("(null)"), why);
  };
  if (!context) return refuse("it has no context");
  const json* coordinates = Entry(payload, "coordinates");
  const json* position = Entry(coordinates, "column");
  if (!position || !position->is_number()) return refuse("it has no coordinates");

  const json* settings = settingsFor(*context);
  json userInfo = {{"context", *context}, {"column", VirtualColumn(settings, coordinates)}};
  json zbID;
  if (_knownIDs)
    if (auto it = _knownIDs->find(*context);
        it != _knownIDs->end() && it->second.is_string() && isDial(*context))
      zbID = it->second;
  // A dial the plug-in did not see appear (or a context it knows as a key) has a dial's default ID.
  userInfo["zbID"] = zbID.is_string() ? zbID : json(DefaultDialIDFromCoordinates(settings, coordinates));
  userInfo["event"] = event;

  const std::string_view kind = event;
  if (kind == "rotate") {
    const json* ticks = Entry(payload, "ticks");
    auto count = ticks ? BoundedInteger(*ticks, kMaximumTicks) : std::nullopt;
    if (!count) return refuse("its ticks are not an integer of at most 10000");
    auto pressed = Flag(payload, "pressed");
    if (!pressed) return refuse("its pressed is not a boolean");
    userInfo["ticks"] = static_cast<std::int32_t>(*count);
    userInfo["pressed"] = *pressed;
  } else if (kind == "tap") {
    const json* where = Entry(payload, "tapPos");
    std::optional<std::int32_t> x, y;
    if (where && where->is_array() && where->size() == 2) {
      x = RoundedCoordinate((*where)[0]);
      y = RoundedCoordinate((*where)[1]);
    }
    if (!x || !y) return refuse("its tapPos is not two numbers");
    auto hold = Flag(payload, "hold");
    if (!hold) return refuse("its hold is not a boolean");
    userInfo["x"] = *x;
    userInfo["y"] = *y;
    userInfo["hold"] = *hold;
  }
  XLOG("Verbose", "sendZBDial %@", userInfo);
  if (_notificationCenter)
    _notificationCenter->postNotificationName(kZBDialNotification, kZBEngineNotificationObject, userInfo);
}

// ---- Strip feedback and layouts ----------------------------------------------------------------------

void ZBStreamDeckPlugin::doSetFeedback(const DistributedNotification& notification) {
  XLOG("Events", "doSetFeedback %@", NotificationForLog(notification));
  const json* entry = Entry(&notification.userInfo, "feedback");
  std::string why = "it has no feedback";
  std::optional<json> feedback = entry ? NormalizedFeedback(*entry, why) : std::nullopt;
  if (!feedback) {
    XLOG("display", "Refusing a feedback: %@", why);
    return;
  }
  if (feedback->empty()) return;
  auto manager = _connectionManager.lock();
  for (const auto& context : contextsForNotification(notification)) {
    if (!isDial(context)) continue;
    json* settings = settingsFor(context);
    if (!settings) continue;
    // The strip shows the merge of every feedback so far, and so do the settings.
    std::optional<json> previous;
    if (auto it = settings->find("feedback"); it != settings->end()) previous = *it;
    json merged = previous && previous->is_object() ? *previous : json::object();
    for (const auto& [key, value] : feedback->items()) merged[key] = value;
    (*settings)["feedback"] = std::move(merged);
    if (!SDConnectionManager::settingsFit(*settings, context) ||
        (manager && !manager->setFeedback(*feedback, context))) {
      // Refused for its size: nothing changes, on the strip or in the settings.
      if (previous)
        (*settings)["feedback"] = std::move(*previous);
      else
        settings->erase("feedback");
      XLOG("display", "Refusing the feedback for context %@: it is too large for Stream Deck", context);
      continue;
    }
    if (manager) manager->setSettings(*settings, context);
  }
}

void ZBStreamDeckPlugin::doSetFeedbackLayout(const DistributedNotification& notification) {
  XLOG("Events", "doSetFeedbackLayout %@", NotificationForLog(notification));
  const json* entry = Entry(&notification.userInfo, "layout");
  std::optional<std::string> layout;
  if (entry && entry->is_string()) layout = FeedbackLayoutPath(entry->get<std::string>());
  if (!layout) {
    XLOG("display",
         "Refusing the feedback layout %@: neither a built-in layout ($ and letters or digits) nor a file "
         "of the plug-in's layouts folder",
         entry ? *entry : json(nullptr));
    return;
  }
  auto manager = _connectionManager.lock();
  for (const auto& context : contextsForNotification(notification)) {
    if (!isDial(context)) continue;
    json* settings = settingsFor(context);
    if (!settings) continue;
    (*settings)["layout"] = *layout;
    if (manager) {
      manager->setFeedbackLayout(*layout, context);
      manager->setSettings(*settings, context);
    }
  }
}

void ZBStreamDeckPlugin::restoreDial(const std::string& context, const json& settings,
                                     SDConnectionManager& manager) {
  // The layout first: the feedback's items belong to it.
  if (const json* layout = Entry(&settings, "layout"); layout && layout->is_string()) {
    if (auto path = FeedbackLayoutPath(layout->get<std::string>())) manager.setFeedbackLayout(*path, context);
  }
  if (const json* image = Entry(&settings, "image")) manager.setImage(image, context, 0);
  if (const json* title = Entry(&settings, "title"))
    if (auto text = TitleText(*title)) manager.setTitle(&*text, context, 0);
  if (const json* stored = Entry(&settings, "feedback")) {
    std::string why;
    if (auto feedback = NormalizedFeedback(*stored, why); feedback && !feedback->empty())
      manager.setFeedback(*feedback, context);
    else if (!feedback)
      XLOG("display", "The stored feedback of context %@ is not shown: %@", context, why);
  }
}
