#include "deck/DeckTool.hpp"

#include "contract/ZBContract.hpp"
#include "deck/DeckConfig.hpp"
#include "deck/DeckEngine.hpp"
#include "deck/DeckImage.hpp"
#include "deck/DeckMqttBridge.hpp"
#include "deck/DeckMqttRemote.hpp"
#include "diagnostics/XErrorHandler.hpp"
#include "notifications/DistributedNotificationCenter.hpp"
#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <pwd.h>
#include <unistd.h>

namespace deck {

namespace {

using nlohmann::json;

// How long a command waits for the bus to take its notification.
constexpr std::chrono::seconds kFlushTimeout{10};

void Complain(const std::string& text) {
  std::fprintf(stderr, "zorbel-deck: %s\n", text.c_str());
  std::fflush(stderr);
}

// The engine's log: standard error, one line per event, written at once.
void LogLine(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

std::shared_ptr<platform::DistributedNotificationCenter> Connect() {
  auto center =
      platform::DistributedNotificationCenter::sessionBusCenter(platform::RunLoop::main(), std::nullopt);
  if (!center->isAvailable()) {
    Complain("cannot reach the D-Bus session bus at " + DeckSessionBusAddress());
    return nullptr;
  }
  return center;
}

int Post(const DeckInvocation& invocation) {
  std::vector<std::pair<const char*, json>> posts;
  switch (invocation.action) {
  case DeckAction::Title:
    posts.emplace_back(kZBSetTitleNotification, json{{"zbID", invocation.id}, {"title", invocation.value}});
    break;
  case DeckAction::Image: {
    // Read before connecting: a wrong file costs no bus connection.
    auto image = DeckImageFromArgument(invocation.value);
    if (auto* error = std::get_if<DeckImageError>(&image)) {
      Complain(error->reason);
      return 1;
    }
    posts.emplace_back(kZBSetImageNotification,
                       json{{"zbID", invocation.id}, {"image", std::get<std::string>(image)}});
    break;
  }
  case DeckAction::Alert:
    posts.emplace_back(kZBShowAlertNotification, json{{"zbID", invocation.id}});
    break;
  case DeckAction::OK:
    posts.emplace_back(kZBShowOKNotification, json{{"zbID", invocation.id}});
    break;
  default: // Clear
    posts.emplace_back(kZBSetTitleNotification, json{{"zbID", invocation.id}, {"title", ""}});
    posts.emplace_back(kZBSetImageNotification, json{{"zbID", invocation.id}, {"image", ""}});
    break;
  }
  auto center = Connect();
  if (!center) return 1;
  // Posted from a task of the loop, where the center writes at once instead of queueing a task.
  std::optional<bool> flushed;
  auto& loop = platform::RunLoop::main();
  loop.queue().async([&] {
    for (auto& [name, userInfo] : posts)
      center->postNotificationName(name, kZBEngineNotificationObject, userInfo);
    flushed = center->flush(kFlushTimeout);
  });
  loop.runUntil([&] { return flushed.has_value(); }, kFlushTimeout + std::chrono::seconds(5));
  if (!flushed.value_or(false)) {
    Complain("the D-Bus session bus at " + DeckSessionBusAddress() + " did not take the notification");
    return 1;
  }
  return 0;
}

// Stops the main loop on SIGINT and SIGTERM, and hands SIGHUP to `hangUp` when given.
class Signals {
public:
  explicit Signals(std::function<void()> hangUp = nullptr)
      : _signals(platform::detail::IoContext(platform::RunLoop::main())), _hangUp(std::move(hangUp)) {
    _signals.add(SIGINT);
    _signals.add(SIGTERM);
    if (_hangUp) _signals.add(SIGHUP);
    wait();
  }

private:
  void wait() {
    _signals.async_wait([this](const boost::system::error_code& ec, int signal) {
      if (ec) return;
      if (signal == SIGHUP) {
        _hangUp();
        wait();
        return;
      }
      platform::RunLoop::main().stop();
    });
  }
  boost::asio::signal_set _signals;
  std::function<void()> _hangUp;
};

int Watch(const DeckInvocation& invocation) {
  std::signal(SIGPIPE, SIG_IGN);
  auto center = Connect();
  if (!center) return 1;
  const bool asJson = invocation.json;
  auto token = center->addObserver(
      kZBKeyNotification, kZBEngineNotificationObject,
      [asJson](const platform::DistributedNotification& notification) {
        const json& info = notification.userInfo;
        std::string line;
        if (asJson) {
          line = info.dump(-1, ' ', false, json::error_handler_t::replace);
        } else {
          auto text = [&](const char* key) {
            auto it = info.find(key);
            if (it == info.end()) return std::string("?");
            return it->is_string() ? it->get<std::string>() : it->dump();
          };
          bool pressed = info.value("pressed", false);
          line = "R" + text("row") + "C" + text("column") + (pressed ? " down " : " up ") + text("context");
        }
        line += '\n';
        // A reader that went away (a closed pipe) ends the watch.
        if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0)
          platform::RunLoop::main().stop();
      });
  if (token == 0) {
    Complain("cannot observe key presses on the D-Bus session bus at " + DeckSessionBusAddress());
    return 1;
  }
  Signals signals;
  platform::RunLoop::main().run();
  return 0;
}

int Run(const DeckInvocation& invocation) {
  const std::string path = invocation.config.empty() ? DeckDefaultConfigPath() : invocation.config;
  auto loaded = DeckLoadConfig(path);
  if (auto* error = std::get_if<DeckConfigError>(&loaded)) {
    Complain(error->description());
    return 1;
  }
  if (invocation.check) return 0;
  auto center = Connect();
  if (!center) return 1;
  std::unique_ptr<DeckMqttBridge> bridge; // [mqtt]; "offline" at its end, before the bus goes
  if (auto problem = DeckMqttApply(bridge, std::get<DeckConfig>(loaded), platform::RunLoop::main(), center, LogLine,
                                   HomeFolder())) {
    Complain(*problem);
    return 1;
  }
  DeckEngine engine(platform::RunLoop::main(), center, LogLine, {HomeFolder(), invocation.verbose});
  if (!engine.start(std::move(std::get<DeckConfig>(loaded)))) {
    Complain("cannot observe key presses on the D-Bus session bus at " + DeckSessionBusAddress());
    return 1;
  }
  Signals signals([&] {
    auto next = DeckLoadConfig(path);
    if (auto* error = std::get_if<DeckConfigError>(&next)) {
      LogLine("Kept the previous configuration: " + error->description());
      return;
    }
    if (auto problem = DeckMqttApply(bridge, std::get<DeckConfig>(next), platform::RunLoop::main(), center, LogLine,
                                     HomeFolder()))
      LogLine("MQTT: kept the previous settings: " + *problem);
    engine.reload(std::move(std::get<DeckConfig>(next)));
  });
  platform::RunLoop::main().run();
  LogLine("Stopped");
  return 0;
}

} // namespace

std::string DeckSessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string("unix:path=") + runtime + "/bus";
  return "(none: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)";
}

int DeckRunInvocation(const DeckInvocation& invocation) {
  int status = 0;
  if (DeckMqttRemoteWanted(invocation)) return DeckMqttRemoteRun(invocation);
  switch (invocation.action) {
  case DeckAction::Help:
    std::fputs(DeckHelpText(invocation.subcommand).c_str(), stdout);
    return 0;
  case DeckAction::Watch:
    status = Watch(invocation);
    break;
  case DeckAction::Run:
    status = Run(invocation);
    break;
  default:
    status = Post(invocation);
    break;
  }
  // The notification layer's own lines (a lost bus, a reconnection) go to the log file.
  XErrorHandler::Quitting();
  return status;
}

} // namespace deck
