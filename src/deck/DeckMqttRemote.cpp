#include "deck/DeckMqttRemote.hpp"

#include "deck/DeckConfig.hpp"
#include "deck/DeckImage.hpp"
#include "deck/DeckMqttBridge.hpp"
#include "deck/DeckMqttClient.hpp"
#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <unistd.h>

namespace deck {

namespace {

using namespace std::chrono_literals;

void Complain(const std::string& text) {
  std::fprintf(stderr, "zorbel-deck: %s\n", text.c_str());
  std::fflush(stderr);
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string Home() {
  std::string home = Environment("HOME");
  return home.empty() ? "/" : home;
}

// The client's settings: the options, then the environment, then the configuration file's
// [mqtt] table; else the reason.
std::variant<std::pair<DeckMqttClientOptions, std::string>, std::string>
Settings(const DeckInvocation& invocation) {
  const auto& remote = invocation.remote;
  const std::string url = remote.broker.empty() ? Environment("ZORBEL_DECK_BROKER") : remote.broker;
  auto broker = DeckMqttParseBroker(url);
  if (auto* reason = std::get_if<std::string>(&broker)) return *reason;
  const std::string configPath = DeckDefaultConfigPath();
  DeckMqttConfig mqtt;
  if (::access(configPath.c_str(), F_OK) == 0) {
    auto loaded = DeckLoadConfig(configPath);
    if (auto* config = std::get_if<DeckConfig>(&loaded); config && config->mqtt) mqtt = *config->mqtt;
  }
  mqtt.broker = std::get<DeckMqttBroker>(broker);
  if (!mqtt.broker.tls) mqtt.caFile = mqtt.certFile = mqtt.keyFile = "", mqtt.insecure = false;
  if (!remote.username.empty()) mqtt.username = remote.username;
  if (!remote.passwordFile.empty()) mqtt.password.reset(), mqtt.passwordFile = remote.passwordFile;
  if (!remote.caFile.empty()) mqtt.caFile = remote.caFile;
  std::string prefix = !remote.prefix.empty() ? remote.prefix : Environment("ZORBEL_DECK_PREFIX");
  if (!prefix.empty()) mqtt.prefix = prefix;
  if (!mqtt.prefix.empty())
    if (auto problem = DeckMqttPrefixProblem(mqtt.prefix)) return *problem;
  auto prepared = DeckMqttPrepare(mqtt, configPath, Home());
  if (auto* reason = std::get_if<std::string>(&prepared)) return *reason;
  auto& settings = std::get<DeckMqttBridgeSettings>(prepared);
  DeckMqttClientOptions options;
  options.broker = settings.config.broker;
  options.username = settings.config.username;
  options.password = settings.password;
  options.caFile = settings.config.caFile;
  options.certFile = settings.config.certFile;
  options.keyFile = settings.config.keyFile;
  options.insecure = settings.config.insecure;
  options.keepalive = settings.config.keepalive;
  return std::pair(std::move(options), settings.prefix);
}

int Publish(DeckMqttClientOptions options, const std::string& prefix, const DeckInvocation& invocation) {
  if (auto problem = DeckTextProblem(invocation)) {
    Complain(*problem);
    return 1;
  }
  std::vector<std::pair<std::string, std::string>> messages;
  auto topic = [&](DeckMqttCommandKind kind) { return DeckMqttCommandTopic(prefix, kind, invocation.id); };
  switch (invocation.action) {
  case DeckAction::Title:
    messages.emplace_back(topic(DeckMqttCommandKind::Title), invocation.value);
    break;
  case DeckAction::Image: {
    auto image = DeckImageFromArgument(invocation.value);
    if (auto* error = std::get_if<DeckImageError>(&image)) {
      Complain(error->reason);
      return 1;
    }
    messages.emplace_back(topic(DeckMqttCommandKind::Image), std::get<std::string>(image));
    break;
  }
  case DeckAction::Alert:
    messages.emplace_back(topic(DeckMqttCommandKind::Alert), "");
    break;
  case DeckAction::OK:
    messages.emplace_back(topic(DeckMqttCommandKind::OK), "");
    break;
  default: // Clear
    messages.emplace_back(topic(DeckMqttCommandKind::Title), "");
    messages.emplace_back(topic(DeckMqttCommandKind::Image), "");
    break;
  }
  options.reconnect = false;
  auto& loop = platform::RunLoop::main();
  std::set<int> unacknowledged;
  bool sent = false, finished = false;
  std::string failure;
  DeckMqttClient* client = nullptr;
  DeckMqttClientDelegate delegate;
  delegate.connected = [&] {
    for (auto& [name, payload] : messages) {
      auto id = client->publish(name, payload, 1, false);
      if (!id) {
        failure = "the MQTT client refused the message for " + name;
        finished = true;
        return;
      }
      unacknowledged.insert(*id);
    }
    sent = true;
  };
  delegate.published = [&](int id) {
    unacknowledged.erase(id);
    if (sent && unacknowledged.empty()) finished = true;
  };
  delegate.ended = [&](const std::string& reason, std::chrono::milliseconds) {
    if (!finished) failure = reason;
    finished = true;
  };
  DeckMqttClient mqtt(loop, std::move(options), std::move(delegate));
  client = &mqtt;
  loop.queue().async([&] { mqtt.start(); });
  if (!loop.runUntil([&] { return finished; }, 20s) && failure.empty()) failure = "no answer within 20 s";
  if (!failure.empty()) {
    Complain("cannot publish to the MQTT broker " + mqtt.brokerName() + ": " + failure);
    return 1;
  }
  mqtt.close("", "", 2s);
  return 0;
}

int Watch(DeckMqttClientOptions options, const std::string& prefix, bool asJson) {
  std::signal(SIGPIPE, SIG_IGN);
  auto& loop = platform::RunLoop::main();
  DeckMqttClient* client = nullptr;
  std::string lastReason;
  DeckMqttClientDelegate delegate;
  delegate.connected = [&] {
    lastReason.clear();
    client->subscribe({prefix + "/key/+", prefix + "/dial/+"}, 0);
  };
  delegate.ended = [&](const std::string& reason, std::chrono::milliseconds) {
    if (reason != lastReason) Complain(client->brokerName() + ": " + reason);
    lastReason = reason;
  };
  delegate.message = [&](const std::string& topic, std::string_view payload, bool retained) {
    auto event = DeckMqttParseEventTopic(prefix, topic);
    if (!event || retained) return;
    auto& [dial, id] = *event;
    using nlohmann::json;
    std::string line;
    if (dial) {
      auto parsed = json::parse(payload, nullptr, false);
      if (parsed.is_discarded()) return;
      line = asJson
                 ? json{{"dial", id}, {"event", parsed}}.dump(-1, ' ', false, json::error_handler_t::replace)
                 : "dial " + id + " " + parsed.dump(-1, ' ', false, json::error_handler_t::replace);
    } else {
      if (payload != "down" && payload != "up") return;
      line = asJson ? json{{"key", id}, {"pressed", payload == "down"}}.dump(-1, ' ', false,
                                                                             json::error_handler_t::replace)
                    : id + " " + std::string(payload);
    }
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0)
      loop.stop();
  };
  DeckMqttClient mqtt(loop, std::move(options), std::move(delegate));
  client = &mqtt;
  boost::asio::signal_set signals(platform::detail::IoContext(loop), SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (!ec) loop.stop();
  });
  loop.queue().async([&] { mqtt.start(); });
  loop.run();
  mqtt.close("", "", 1s);
  return 0;
}

} // namespace

bool DeckMqttRemoteWanted(const DeckInvocation& invocation) {
  switch (invocation.action) {
  case DeckAction::Title:
  case DeckAction::Image:
  case DeckAction::Alert:
  case DeckAction::OK:
  case DeckAction::Clear:
  case DeckAction::Watch:
    return invocation.remote != DeckMqttRemoteOptions{} || !Environment("ZORBEL_DECK_BROKER").empty();
  default:
    return false;
  }
}

int DeckMqttRemoteRun(const DeckInvocation& invocation) {
  auto settings = Settings(invocation);
  if (auto* reason = std::get_if<std::string>(&settings)) {
    Complain(*reason);
    return 1;
  }
  auto& [options, prefix] = std::get<0>(settings);
  if (invocation.action == DeckAction::Watch) return Watch(std::move(options), prefix, invocation.json);
  return Publish(std::move(options), prefix, invocation);
}

} // namespace deck
