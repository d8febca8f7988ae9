#include "deck/DeckMqttBridge.hpp"

#include "contract/ZBContract.hpp"
#include "deck/DeckImage.hpp"
#include "deck/DeckMqttClient.hpp"
#include "deck/DeckMqttDiscovery.hpp"
#include "notifications/DistributedNotificationCenter.hpp"
#include "platform/RunLoop.hpp"
#include "platform/UTF8.hpp"

#include <chrono>
#include <map>
#include <set>
#include <unistd.h>

namespace deck {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Commands waiting for the loop's next turn: at most this many keys and bytes.
constexpr std::size_t kMaxPendingCommands = 4096;
constexpr std::size_t kMaxPendingBytes = 64 * 1024 * 1024;
// Refusals closer together than this are one burst, logged once.
constexpr auto kBurstGap = std::chrono::seconds(2);

std::string Seconds(std::chrono::milliseconds wait) {
  auto tenths = (wait.count() + 50) / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

const char* KindName(DeckMqttCommandKind kind) {
  switch (kind) {
  case DeckMqttCommandKind::Title:
    return "title";
  case DeckMqttCommandKind::Image:
    return "image";
  case DeckMqttCommandKind::Alert:
    return "alert";
  case DeckMqttCommandKind::OK:
    return "ok";
  case DeckMqttCommandKind::Feedback:
    return "feedback";
  case DeckMqttCommandKind::Layout:
    return "layout";
  }
  return "?";
}

} // namespace

std::string DeckMqttHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || !name[0]) return "deck";
  return name;
}

std::variant<DeckMqttBridgeSettings, std::string>
DeckMqttPrepare(const DeckMqttConfig& config, const std::string& configPath, const std::string& home) {
  DeckMqttBridgeSettings settings;
  settings.config = config;
  settings.config.caFile = DeckExpandHome(config.caFile, home);
  settings.config.certFile = DeckExpandHome(config.certFile, home);
  settings.config.keyFile = DeckExpandHome(config.keyFile, home);
  if (auto problem = DeckMqttReadPassword(config, configPath, home, settings.password)) return *problem;
  if (auto problem = DeckMqttKeyFileProblem(config, home)) return *problem;
  settings.prefix = config.prefix.empty() ? DeckMqttDefaultPrefix(DeckMqttHostName()) : config.prefix;
  return settings;
}

struct DeckMqttBridge::Impl : std::enable_shared_from_this<Impl> {
  Impl(platform::RunLoop& loop, std::shared_ptr<platform::DistributedNotificationCenter> center, DeckLog log,
       DeckMqttBridgeSettings settings)
      : loop(loop), center(std::move(center)), log(std::move(log)), settings(std::move(settings)) {}

  platform::RunLoop& loop;
  std::shared_ptr<platform::DistributedNotificationCenter> center;
  DeckLog log;
  DeckMqttBridgeSettings settings;
  std::unique_ptr<DeckMqttClient> client;
  std::vector<platform::DistributedNotificationCenter::ObserverToken> tokens;
  std::vector<DeckMqttMessage> discovery; // what the configured keys and dials announce
  std::set<std::string> announced;        // discovery topics published on this broker
  std::string lastEnd;                    // the last reason logged for an ended connection
  std::uint64_t dropped = 0;              // presses while disconnected
  // Coalesced commands, applied on the loop's next turn.
  std::map<std::pair<DeckMqttCommandKind, std::string>, std::string> pending;
  std::size_t pendingBytes = 0;
  bool flushQueued = false;
  Clock::time_point lastRefusal{};
  std::uint64_t quietRefusals = 0;

  void start() {
    DeckMqttClientOptions options;
    const auto& c = settings.config;
    options.broker = c.broker;
    options.username = c.username;
    options.password = settings.password;
    options.caFile = c.caFile;
    options.certFile = c.certFile;
    options.keyFile = c.keyFile;
    options.insecure = c.insecure;
    options.keepalive = c.keepalive;
    options.willTopic = DeckMqttStatusTopic(settings.prefix);
    std::weak_ptr<Impl> weak = weak_from_this();
    DeckMqttClientDelegate delegate;
    delegate.connected = [weak] {
      if (auto self = weak.lock()) self->connected();
    };
    delegate.ended = [weak](const std::string& reason, std::chrono::milliseconds next) {
      if (auto self = weak.lock()) self->ended(reason, next);
    };
    delegate.message = [weak](const std::string& topic, std::string_view payload, bool retained) {
      if (auto self = weak.lock()) self->message(topic, payload, retained);
    };
    if (c.broker.tls && c.insecure)
      log("MQTT: warning: insecure = true, the broker's certificate and name are not checked");
    client = std::make_unique<DeckMqttClient>(loop, std::move(options), std::move(delegate));
    client->start();
  }

  // ----- the connection -----

  void connected() {
    lastEnd.clear();
    log("MQTT: connected to " + client->brokerName() + " as " + settings.prefix);
    if (dropped) {
      log("MQTT: " + std::to_string(dropped) + (dropped == 1 ? " press" : " presses") +
          " dropped while disconnected");
      dropped = 0;
    }
    client->publish(DeckMqttStatusTopic(settings.prefix), "online", 1, true);
    client->subscribe(DeckMqttCommandSubscriptions(settings.prefix), 1);
    announce();
  }

  void ended(const std::string& reason, std::chrono::milliseconds next) {
    if (reason == lastEnd) return; // the same fault again: said already
    lastEnd = reason;
    log("MQTT: " + client->brokerName() + ": " + reason + "; next attempt in " + Seconds(next));
  }

  // Withdraws what was announced and is no longer configured, then announces the rest.
  void announce() {
    if (!client || !client->isConnected()) return;
    std::set<std::string> now;
    for (auto& m : discovery) now.insert(m.topic);
    for (auto it = announced.begin(); it != announced.end();) {
      if (now.count(*it)) {
        ++it;
        continue;
      }
      client->publish(*it, "", 1, true);
      it = announced.erase(it);
    }
    for (auto& m : discovery)
      if (client->publish(m.topic, m.payload, 1, true)) announced.insert(m.topic);
  }

  void setControls(const std::vector<DeckKey>& keys, const std::vector<DeckDial>& dials) {
    discovery.clear();
    if (settings.config.discovery)
      discovery = DeckMqttDiscoveryMessages(settings.config.discoveryPrefix, settings.prefix, keys, dials);
    announce();
  }

  // ----- out -----

  void publishEvent(const std::string& topic, const std::string& payload) {
    if (!client->isConnected() || !client->publish(topic, payload, 0, false)) ++dropped;
  }

  void key(const json& info) {
    auto row = info.find("row"), column = info.find("column");
    if (row == info.end() || column == info.end() || !row->is_number_integer() ||
        !column->is_number_integer())
      return;
    publishEvent(DeckMqttPressTopic(settings.prefix, row->get<int>(), column->get<int>()),
                 info.value("pressed", false) ? "down" : "up");
  }

  void dial(const json& info) {
    auto id = info.find("zbID");
    if (id == info.end() || !id->is_string() || id->get<std::string>().empty()) return;
    publishEvent(DeckMqttDialTopic(settings.prefix, id->get<std::string>()),
                 info.dump(-1, ' ', false, json::error_handler_t::replace));
  }

  // ----- in -----

  void refuse(const std::string& reason) {
    auto now = Clock::now();
    if (now - lastRefusal >= kBurstGap) {
      std::string line = "MQTT: refused " + reason;
      if (quietRefusals) line += " (" + std::to_string(quietRefusals) + " more refused before)";
      log(line);
      quietRefusals = 0;
    } else {
      ++quietRefusals;
    }
    lastRefusal = now;
  }

  void message(const std::string& topic, std::string_view payload, bool retained) {
    auto command = DeckMqttParseCommandTopic(settings.prefix, topic);
    if (!command) return;
    const std::string what = std::string(KindName(command->kind)) + " for " + command->id;
    std::string value;
    switch (command->kind) {
    case DeckMqttCommandKind::Alert:
    case DeckMqttCommandKind::OK:
      if (retained) return; // it would show at every connection
      break;
    case DeckMqttCommandKind::Title:
    case DeckMqttCommandKind::Layout:
      if (payload.size() > kMaxMqttTitleBytes) return refuse(what + ": over 64 KiB");
      if (!platform::IsValidUTF8(payload)) return refuse(what + ": not UTF-8 text");
      value = payload;
      break;
    case DeckMqttCommandKind::Image:
      if (payload.empty() || payload.starts_with("data:image/")) {
        if (payload.size() > kMaxImageBytes * 4 / 3 + 256) return refuse(what + ": over 8 MiB");
        if (!platform::IsValidUTF8(payload)) return refuse(what + ": not a data URL");
        value = payload;
      } else {
        auto url = DeckImageDataURL(payload, what);
        if (auto* error = std::get_if<DeckImageError>(&url)) return refuse(error->reason);
        value = std::move(std::get<std::string>(url));
      }
      break;
    case DeckMqttCommandKind::Feedback: {
      auto parsed = json::parse(payload, nullptr, false);
      if (parsed.is_discarded() || !parsed.is_object()) return refuse(what + ": not a JSON object");
      value = parsed.dump();
      break;
    }
    }
    queue(std::move(*command), std::move(value));
  }

  void queue(DeckMqttCommand command, std::string value) {
    auto key = std::pair(command.kind, std::move(command.id));
    auto it = pending.find(key);
    std::size_t before = it == pending.end() ? 0 : it->second.size();
    if (it == pending.end() && pending.size() >= kMaxPendingCommands)
      return refuse(std::string(KindName(key.first)) + " for " + key.second + ": too many keys at once");
    if (pendingBytes - before + value.size() > kMaxPendingBytes)
      return refuse(std::string(KindName(key.first)) + " for " + key.second + ": too much at once");
    pendingBytes = pendingBytes - before + value.size();
    pending[std::move(key)] = std::move(value);
    if (flushQueued) return;
    flushQueued = true;
    std::weak_ptr<Impl> weak = weak_from_this();
    loop.queue().async([weak] {
      if (auto self = weak.lock()) self->flush();
    });
  }

  void flush() {
    flushQueued = false;
    auto commands = std::move(pending);
    pending.clear();
    pendingBytes = 0;
    for (auto& [key, value] : commands) {
      const auto& [kind, id] = key;
      switch (kind) {
      case DeckMqttCommandKind::Title:
        post(kZBSetTitleNotification, {{"zbID", id}, {"title", value}});
        break;
      case DeckMqttCommandKind::Image:
        post(kZBSetImageNotification, {{"zbID", id}, {"image", value}});
        break;
      case DeckMqttCommandKind::Alert:
        post(kZBShowAlertNotification, {{"zbID", id}});
        break;
      case DeckMqttCommandKind::OK:
        post(kZBShowOKNotification, {{"zbID", id}});
        break;
      case DeckMqttCommandKind::Feedback:
        post(kZBSetFeedbackNotification, {{"zbID", id}, {"feedback", json::parse(value)}});
        break;
      case DeckMqttCommandKind::Layout:
        post(kZBSetFeedbackLayoutNotification, {{"zbID", id}, {"layout", value}});
        break;
      }
    }
  }

  void post(const char* name, const json& userInfo) {
    center->postNotificationName(name, kZBEngineNotificationObject, userInfo);
  }
};

DeckMqttBridge::DeckMqttBridge(platform::RunLoop& loop,
                               std::shared_ptr<platform::DistributedNotificationCenter> center, DeckLog log,
                               DeckMqttBridgeSettings settings)
    : _impl(std::make_shared<Impl>(loop, std::move(center), std::move(log), std::move(settings))) {}

DeckMqttBridge::~DeckMqttBridge() {
  for (auto token : _impl->tokens) _impl->center->removeObserver(token);
  if (_impl->client) {
    _impl->client->close(DeckMqttStatusTopic(_impl->settings.prefix), "offline", std::chrono::seconds(2));
    _impl->client.reset();
  }
}

bool DeckMqttBridge::start(const std::vector<DeckKey>& keys, const std::vector<DeckDial>& dials) {
  std::weak_ptr<Impl> weak = _impl;
  auto token = _impl->center->addObserver(kZBKeyNotification, kZBEngineNotificationObject,
                                          [weak](const platform::DistributedNotification& n) {
                                            if (auto self = weak.lock()) self->key(n.userInfo);
                                          });
  if (token == 0) return false;
  _impl->tokens.push_back(token);
  if (auto dial = _impl->center->addObserver(kZBDialNotification, kZBEngineNotificationObject,
                                             [weak](const platform::DistributedNotification& n) {
                                               if (auto self = weak.lock()) self->dial(n.userInfo);
                                             }))
    _impl->tokens.push_back(dial);
  _impl->setControls(keys, dials);
  _impl->start();
  return true;
}

void DeckMqttBridge::setControls(const std::vector<DeckKey>& keys, const std::vector<DeckDial>& dials) {
  _impl->setControls(keys, dials);
}

const DeckMqttBridgeSettings& DeckMqttBridge::settings() const { return _impl->settings; }

std::optional<std::string>
DeckMqttApply(std::unique_ptr<DeckMqttBridge>& bridge, const DeckConfig& config, platform::RunLoop& loop,
              const std::shared_ptr<platform::DistributedNotificationCenter>& center, const DeckLog& log,
              const std::string& home) {
  if (!config.mqtt) {
    if (bridge) log("MQTT: stopped (no [mqtt] table)");
    bridge.reset();
    return std::nullopt;
  }
  auto prepared = DeckMqttPrepare(*config.mqtt, config.path, home);
  if (auto* reason = std::get_if<std::string>(&prepared)) return *reason;
  auto& settings = std::get<DeckMqttBridgeSettings>(prepared);
  if (bridge && bridge->settings() == settings) {
    bridge->setControls(config.keys, config.dials);
    return std::nullopt;
  }
  bridge.reset(); // "offline" from the old one before the new one connects
  auto next = std::make_unique<DeckMqttBridge>(loop, center, log, std::move(settings));
  if (!next->start(config.keys, config.dials)) return "cannot observe key presses for the MQTT bridge";
  bridge = std::move(next);
  return std::nullopt;
}

} // namespace deck
