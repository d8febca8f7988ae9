#include "streamdeck/SDConnectionManager.hpp"

#include "diagnostics/XErrorHandler.hpp"
#include "platform/Memory.hpp"
#include "streamdeck/SDJSON.hpp"
#include "streamdeck/SDUtilities.hpp"
#include "websocket/WSURLRequest.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <variant>

using nlohmann::json;

namespace {

std::mutex gExitLock;
SDConnectionManager::ExitHandler gExitHandler;

void ExitProcess(int status) {
  SDConnectionManager::ExitHandler handler;
  {
    std::lock_guard<std::mutex> lock(gExitLock);
    handler = gExitHandler;
  }
  if (handler) {
    handler(status);
    return;
  }
  // The close report runs inside a task of the main loop, with the plug-in, this object and the
  // loop itself on the stack and other threads still running: destroying static objects now
  // could only crash. The log is already on disk (Quitting); flush the standard streams and go.
  std::fflush(nullptr);
  std::_Exit(status);
}

// A received message as the failure line shows it: the text, cut so that a 20 MB message
// does not become a 20 MB log line.
constexpr std::size_t kLoggedMessageLimit = 4096;

std::string ReceivedForLog(std::string_view bytes) {
  if (bytes.size() <= kLoggedMessageLimit) return std::string(bytes);
  return std::string(bytes.substr(0, kLoggedMessageLimit)) + "... (" + std::to_string(bytes.size()) +
         " bytes)";
}

const json* Field(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// The string fields of a message: absent when missing; any other type fails the message.
SDString StringField(const json& object, const char* key) {
  const json* value = Field(object, key);
  if (!value) return std::nullopt;
  if (!value->is_string()) throw SDTypeError(std::string("\"") + key + "\" is not a string");
  return value->get<std::string>();
}

const json* ObjectField(const json& object, const char* key) {
  const json* value = Field(object, key);
  if (value && !value->is_object()) throw SDTypeError(std::string("\"") + key + "\" is not an object");
  return value;
}

// payload → coordinates → row/column for the "Events" line only: 0 when missing or unreadable.
long CoordinateForLog(const json* payload, const char* key) {
  if (!payload) return 0;
  auto coordinates = payload->find("coordinates");
  if (coordinates == payload->end() || !coordinates->is_object()) return 0;
  auto value = coordinates->find(key);
  if (value == coordinates->end() || value->is_structured()) return 0;
  return static_cast<long>(SDIntegerValue(*value));
}

std::string TextOrNull(const SDString& text) { return text ? *text : "(null)"; }

// An upper bound of the compact JSON size of `value`, found without writing it: a string's
// escaping makes at most six bytes of one, a number is at most 24 characters.
std::size_t CompactSizeBound(const json& value) {
  switch (value.type()) {
  case json::value_t::string:
    return 6 * value.get_ref<const std::string&>().size() + 2;
  case json::value_t::object: {
    std::size_t size = 2;
    for (const auto& [key, member] : value.items()) size += 6 * key.size() + 4 + CompactSizeBound(member);
    return size;
  }
  case json::value_t::array: {
    std::size_t size = 2;
    for (const auto& member : value) size += 1 + CompactSizeBound(member);
    return size;
  }
  case json::value_t::binary:
    return 8 * value.get_binary().size() + 64;
  default:
    return 32;
  }
}

json SettingsMessage(const json& settings, const std::string& context) {
  return {{"event", "setSettings"}, {"context", context}, {"payload", settings}};
}

} // namespace

SDConnectionManager::ExitHandler SDConnectionManager::setExitHandlerForTesting(ExitHandler handler) {
  std::lock_guard<std::mutex> lock(gExitLock);
  std::swap(handler, gExitHandler);
  return handler;
}

std::shared_ptr<SDConnectionManager>
SDConnectionManager::initWithPort(std::int32_t port, std::string pluginUUID, std::string registerEvent,
                                  std::optional<std::string> info, std::weak_ptr<SDEventsProtocol> delegate,
                                  const WebSocketFactory& webSocketFactory) {
  std::shared_ptr<SDConnectionManager> self(new SDConnectionManager());
  self->_port = port;
  self->_pluginUUID = std::move(pluginUUID);
  self->_registerEvent = std::move(registerEvent);
  self->_delegate = delegate;
  if (auto d = delegate.lock()) d->setConnectionManager(self);

  std::optional<json> information;
  if (info) information = SDJSONParse(*info);
  if (information && information->is_object()) {
    if (const json* application = Field(*information, "application");
        application && application->is_object()) {
      auto text = [&](const char* key) -> std::optional<std::string> {
        const json* value = Field(*application, key);
        if (value && value->is_string()) return value->get<std::string>();
        return std::nullopt;
      };
      self->_applicationVersion = text("version");
      self->_applicationPlatform = text("platform");
      self->_applicationLanguage = text("language");
    }
  }

  if (auto d = delegate.lock()) d->launched();

  if (information && information->is_object()) {
    if (const json* devices = Field(*information, "devices"); devices && devices->is_array())
      self->_devicesInfo = *devices;
  }

  WSURLRequest request("ws://localhost:" + std::to_string(port));
  if (webSocketFactory) self->_socket = webSocketFactory(request);
  if (self->_socket) {
    self->_socket->setDelegate(self);
    self->_socket->open();
  }
  return self;
}

// ---- Sending ---------------------------------------------------------------------------------------

bool SDConnectionManager::settingsFit(const json& settings, const std::string& context) {
  // Writing the settings out is left for the rare ones that might not fit.
  if (CompactSizeBound(settings) + 6 * context.size() + 64 <= kMaximumMessageSize) return true;
  auto text = SDJSONSerialize(SettingsMessage(settings, context), false);
  return !text || text->size() <= kMaximumMessageSize;
}

bool SDConnectionManager::send(const json& message, bool pretty, const char* failureFormat) {
  auto text = SDJSONSerialize(message, pretty);
  if (!text) return true; // a value that cannot be written as JSON: nothing to send
  if (text->size() > kMaximumMessageSize) {
    XLOG("display", "Refusing to send a %@ message of %lu bytes: Stream Deck takes at most 16 MiB",
         message.value("event", std::string()), text->size());
    return false;
  }
  if (_socket && _socket->readyState() == WS_OPEN &&
      (!_backlog.empty() || _socket->bufferedAmount() >= kOutputHighWater)) {
    // The host is not reading fast enough: the message waits, in place of an older one of its kind.
    std::string key;
    const std::string event = message.value("event", std::string());
    if (event == "setTitle" || event == "setImage" || event == "setSettings" || event == "setFeedbackLayout")
      key = event + '\n' + message.value("context", std::string());
    hold(std::move(key), std::move(*text), failureFormat);
    return true;
  }
  sendNow(*text, failureFormat);
  return true;
}

void SDConnectionManager::sendNow(const std::string& text, const char* failureFormat) {
  WSError error;
  bool sent = false;
  if (_socket)
    sent = _socket->sendString(text, &error);
  else
    error = WSErrorWithCodeDescription(WSErrorCode::InvalidState, "Invalid State: there is no connection.");
  if (!sent) XLOG("display", failureFormat, error);
}

void SDConnectionManager::hold(std::string key, std::string text, const char* failureFormat) {
  if (!key.empty()) {
    if (auto it = _backlogPositions.find(key); it != _backlogPositions.end()) {
      Waiting& waiting = _backlog[static_cast<std::size_t>(it->second - _backlogFront)];
      _backlogBytes = _backlogBytes - waiting.text.size() + text.size();
      waiting.text = std::move(text);
      _backlogPeak = std::max(_backlogPeak, _backlogBytes);
      return;
    }
  }
  // The latest state of a key is never dropped: the host keeps it (setSettings) or shows it, and
  // there is one waiting message per key and kind at most, so the keys bound that part. Beyond the
  // bound only the others (alerts, OKs, states, log messages) are dropped.
  if (key.empty() && _backlogBytes + text.size() > kBacklogLimit) {
    ++_dropped;
    return;
  }
  if (_backlog.empty()) _socket->reportWhenOutputDrains();
  if (!key.empty()) _backlogPositions.emplace(key, _backlogFront + _backlog.size());
  _backlogBytes += text.size();
  _backlogPeak = std::max(_backlogPeak, _backlogBytes);
  _backlog.push_back({std::move(key), std::move(text), failureFormat});
}

void SDConnectionManager::webSocketDidDrainOutput(WSWebSocket&) {
  while (!_backlog.empty() && _socket->bufferedAmount() < kOutputHighWater) {
    Waiting waiting = std::move(_backlog.front());
    _backlog.pop_front();
    ++_backlogFront;
    if (!waiting.key.empty()) _backlogPositions.erase(waiting.key);
    _backlogBytes -= waiting.text.size();
    sendNow(waiting.text, waiting.failureFormat);
  }
  if (!_backlog.empty()) {
    _socket->reportWhenOutputDrains();
    return;
  }
  if (_dropped > 0) {
    XLOG("display", "Stream Deck did not read its messages: %lu of them were dropped", _dropped);
    _dropped = 0;
  }
  if (_backlogPeak >= kOutputHighWater) {
    // The burst is over: its memory goes back to the system.
    _backlog = {};
    _backlogPositions = {};
    platform::ReleaseFreedMemory();
  }
  _backlogPeak = 0;
}

bool SDConnectionManager::setTitle(const json* title, const std::string& context, std::int32_t target) {
  json payload = {{"target", target}};
  if (title) payload["title"] = *title;
  json message = {{"event", "setTitle"}, {"context", context}, {"payload", std::move(payload)}};
  XLOG("Verbose", "setTitle send %@", *DebugDisplayDictionary(&message));
  return send(message, true, "Failed to change the title due to error %@");
}

bool SDConnectionManager::setImage(const json* image, const std::string& context, std::int32_t target) {
  json payload = {{"target", target}};
  if (image) payload["image"] = *image;
  json message = {{"event", "setImage"}, {"context", context}, {"payload", std::move(payload)}};
  XLOG("Verbose", "setImage send %@", *DebugDisplayDictionary(&message));
  return send(message, true, "Failed to change the image due to error %@");
}

bool SDConnectionManager::setFeedback(const json& feedback, const std::string& context) {
  json message = {{"event", "setFeedback"}, {"context", context}, {"payload", feedback}};
  XLOG("Verbose", "setFeedback send %@", *DebugDisplayDictionary(&message));
  return send(message, true, "Failed to change the feedback due to error %@");
}

bool SDConnectionManager::setFeedbackLayout(const std::string& layout, const std::string& context) {
  json message = {{"event", "setFeedbackLayout"}, {"context", context}, {"payload", {{"layout", layout}}}};
  XLOG("Verbose", "setFeedbackLayout send %@", message);
  return send(message, true, "Failed to change the feedback layout due to error %@");
}

void SDConnectionManager::showAlertForContext(const std::string& context) {
  json message = {{"event", "showAlert"}, {"context", context}};
  XLOG("Verbose", "showAlertForContext send %@", message);
  send(message, true, "Failed to show the alert due to error %@");
}

void SDConnectionManager::showOKForContext(const std::string& context) {
  json message = {{"event", "showOk"}, {"context", context}};
  XLOG("Verbose", "showOKForContext send %@", message);
  send(message, true, "Failed to show OK due to error %@");
}

bool SDConnectionManager::setSettings(const json& settings, const std::string& context) {
  json message = SettingsMessage(settings, context);
  XLOG("Verbose", "setSettings send %@", *DebugDisplayDictionary(&message));
  return send(message, false, "Failed to change the settings due to error %@");
}

void SDConnectionManager::setState(const json* state, const std::string& context) {
  if (!state) return;
  json message = {{"event", "setState"}, {"context", context}, {"payload", {{"state", *state}}}};
  XLOG("Verbose", "setState send %@", message);
  send(message, true, "Failed to change the state due to error %@");
}

void SDConnectionManager::logMessage(const std::optional<std::string>& text) {
  if (!text || text->empty()) return;
  json message = {{"event", "logMessage"}, {"payload", {{"message", *text}}}};
  XLOG("Verbose", "logMessage send %@", message);
  send(message, true, "Failed to send the log message due to error %@");
}

// ---- Connection reports ----------------------------------------------------------------------------

void SDConnectionManager::webSocketDidOpen(WSWebSocket&) {
  _opened = true;
  json message = {{"event", _registerEvent}, {"uuid", _pluginUUID}};
  XLOG("Verbose", "webSocketDidOpen send %@", message);
  send(message, true, "Failed to register the plugin due to error %@");
}

void SDConnectionManager::webSocketDidReceiveMessage(WSWebSocket&, const WSMessage& message) {
  std::string_view bytes = std::visit(
      [](const auto& m) { return std::string_view(reinterpret_cast<const char*>(m.data()), m.size()); },
      message);
  // One failure guard per message: a fault anywhere in decoding or dispatching drops this
  // message alone, and the connection goes on with the next one.
  try {
    std::optional<json> object = SDJSONParse(bytes); // not JSON at all: no object, ignored below
    if (object && !object->is_object()) throw SDTypeError("the message is not a JSON object");
    if (object)
      XLOG("Verbose", "%@", *DebugDisplayDictionary(&*object));
    else
      XLOG("Verbose", "%@", "(null)");
    if (!object) {
      XLOG("Events", "Process event %@ for context %@ (%ld,%ld)", "(null)", "(null)", 0L, 0L);
      return;
    }
    dispatch(*object);
  } catch (const std::exception&) {
    XLOG("display", "Failed to parse the JSON data: %@", ReceivedForLog(bytes));
  } catch (...) {
    XLOG("display", "Failed to parse the JSON data: %@", ReceivedForLog(bytes));
  }
}

void SDConnectionManager::dispatch(const json& message) {
  const SDString event = StringField(message, "event");
  const SDString context = StringField(message, "context");
  const SDString action = StringField(message, "action");
  const json* payload = ObjectField(message, "payload");
  const SDString device = StringField(message, "device");

  XLOG("Events", "Process event %@ for context %@ (%ld,%ld)", TextOrNull(event), TextOrNull(context),
       CoordinateForLog(payload, "row"), CoordinateForLog(payload, "column"));

  if (!event) return;
  auto delegate = _delegate.lock();
  if (!delegate) return;
  const std::string& name = *event;
  if (name == "keyDown")
    delegate->keyDownForAction(action, context, payload, device);
  else if (name == "keyUp")
    delegate->keyUpForAction(action, context, payload, device);
  else if (name == "willAppear")
    delegate->willAppearForAction(action, context, payload, device);
  else if (name == "willDisappear")
    delegate->willDisappearForAction(action, context, payload, device);
  else if (name == "didReceiveSettings")
    delegate->didReceiveSettingsForAction(action, context, payload, device);
  else if (name == "sendToPlugin")
    delegate->didReceiveFromPluginForAction(action, context, payload, device);
  else if (name == "dialRotate")
    delegate->dialRotateForAction(action, context, payload, device);
  else if (name == "dialDown")
    delegate->dialDownForAction(action, context, payload, device);
  else if (name == "dialUp")
    delegate->dialUpForAction(action, context, payload, device);
  else if (name == "touchTap")
    delegate->touchTapForAction(action, context, payload, device);
  else if (name == "deviceDidConnect") {
    const json* deviceInfo = ObjectField(message, "deviceInfo");
    if (device) delegate->deviceDidConnect(device, deviceInfo);
  } else if (name == "deviceDidDisconnect")
    delegate->deviceDidDisconnect(device);
  else if (name == "applicationDidLaunch")
    delegate->applicationDidLaunch(payload);
  else if (name == "applicationDidTerminate")
    delegate->applicationDidTerminate(payload);
}

void SDConnectionManager::webSocketDidFail(WSWebSocket&, const WSError& error) {
  if (!_opened) {
    // Never open: the host is not there (yet). Stream Deck ends the process when it gives up.
    XLOG("display", "The socket could not be opened due to the error %@", error);
    return;
  }
  // An open connection that fails (the host crashed or reset it) is as final as a close: a
  // plug-in that stayed would be an orphan nobody ends.
  XLOG("display", "The connection to Stream Deck failed due to the error %@", error);
  terminate();
}

void SDConnectionManager::webSocketDidClose(WSWebSocket&, std::int64_t,
                                            const std::optional<std::string>& reason, bool wasClean) {
  if (!wasClean) XLOG("display", "Websocket closed with reason: %@", TextOrNull(reason));
  terminate();
}

void SDConnectionManager::terminate() {
  if (auto delegate = _delegate.lock()) {
    try {
      delegate->terminating();
    } catch (...) {
      // Nothing may keep the process from ending now.
    }
  }
  XErrorHandler::Quitting();
  ExitProcess(0);
}
