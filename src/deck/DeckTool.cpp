#include "deck/DeckTool.hpp"

#include "contract/ZBContract.hpp"
#include "deck/DeckConfig.hpp"
#include "deck/DeckConfigCheck.hpp"
#include "deck/DeckDialEvent.hpp"
#include "deck/DeckDialFeedback.hpp"
#include "deck/DeckEngine.hpp"
#include "deck/DeckImage.hpp"
#include "deck/DeckMqttBridge.hpp"
#include "deck/DeckMqttRemote.hpp"
#include "deck/DeckSetup.hpp"
#include "deck/DeckWatchLine.hpp"
#include "diagnostics/XErrorHandler.hpp"
#include "notifications/DistributedNotificationCenter.hpp"
#include "notifications/SessionBusAddress.hpp"
#include "notifications/SessionBusProbe.hpp"
#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <pwd.h>
#include <unistd.h>

namespace deck {

namespace {

using nlohmann::json;

// How long a command waits for the bus to take its notification.
constexpr std::chrono::seconds kFlushTimeout{10};
// How long the bus has to answer the first connection.
constexpr std::chrono::seconds kSignOfLife{5};
// The bus name of the one engine of a session.
constexpr const char* kEngineBusName = "com.zorbel.deck";

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
  // sd-bus would wait up to 90 s for a bus that accepts the connection but does not answer (a
  // stopped daemon): ask for a sign of life first, within a bound.
  if (auto failure = platform::SessionBusSignOfLife(std::nullopt, kSignOfLife)) {
    Complain("cannot reach the D-Bus session bus at " + DeckSessionBusAddress() + ": " + *failure);
    return nullptr;
  }
  auto center =
      platform::DistributedNotificationCenter::sessionBusCenter(platform::RunLoop::main(), std::nullopt);
  if (!center->isAvailable()) {
    Complain(platform::SessionBusUnreachableSentence());
    return nullptr;
  }
  return center;
}

int Post(const DeckInvocation& invocation) {
  if (auto problem = DeckTextProblem(invocation)) {
    Complain(*problem);
    return 1;
  }
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
  case DeckAction::Feedback: {
    auto feedback = DeckFeedbackFromOptions(invocation.feedback);
    if (auto* error = std::get_if<DeckImageError>(&feedback)) {
      Complain(error->reason);
      return 1;
    }
    posts.emplace_back(kZBSetFeedbackNotification,
                       json{{"zbID", invocation.id}, {"feedback", std::get<json>(feedback)}});
    break;
  }
  case DeckAction::Layout:
    posts.emplace_back(kZBSetFeedbackLayoutNotification,
                       json{{"zbID", invocation.id}, {"layout", invocation.value}});
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
  std::uint64_t failed = 0;
  auto& loop = platform::RunLoop::main();
  loop.queue().async([&] {
    const std::uint64_t before = center->failedPosts();
    for (auto& [name, userInfo] : posts)
      center->postNotificationName(name, kZBEngineNotificationObject, userInfo);
    failed = center->failedPosts() - before;
    flushed = center->flush(kFlushTimeout);
  });
  loop.runUntil([&] { return flushed.has_value(); }, kFlushTimeout + std::chrono::seconds(5));
  if (failed != 0) {
    Complain("the notification was not sent: the D-Bus session bus connection refused it (the log at "
             "~/.local/state/Zorbel/StreamDeck.log says why)");
    return 1;
  }
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

// Ends the loop when the reader of standard output goes away (a pipe whose reader closed reports
// an error when polled; a terminal that hung up, a hang-up), so that `watch | head -1` ends
// once `head` has, not at the next press. Output that cannot be polled (a file) never ends it.
class OutputGone {
public:
  OutputGone() : _output(platform::detail::IoContext(platform::RunLoop::main())) {
    int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return;
    boost::system::error_code ec;
    _output.assign(fd, ec);
    if (ec) {
      ::close(fd);
      return;
    }
    _output.async_wait(boost::asio::posix::descriptor_base::wait_error,
                       [](const boost::system::error_code& ec) {
                         if (!ec) platform::RunLoop::main().stop();
                       });
  }

private:
  boost::asio::posix::stream_descriptor _output;
};

int Watch(const DeckInvocation& invocation) {
  std::signal(SIGPIPE, SIG_IGN);
  auto center = Connect();
  if (!center) return 1;
  const bool asJson = invocation.json;
  auto token = center->addObserver(kZBKeyNotification, kZBEngineNotificationObject,
                                   [asJson](const platform::DistributedNotification& notification) {
                                     const std::string line = DeckWatchLine(notification.userInfo, asJson);
                                     // A reader that went away (a closed pipe) ends the watch.
                                     if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
                                         std::fflush(stdout) != 0)
                                       platform::RunLoop::main().stop();
                                   });
  if (token != 0)
    token = center->addObserver(
        kZBDialNotification, kZBEngineNotificationObject,
        [asJson](const platform::DistributedNotification& notification) {
          const json& info = notification.userInfo;
          std::string line = asJson ? DeckWatchJSONLine(info) : DeckDialWatchLine(info);
          line += '\n';
          if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0)
            platform::RunLoop::main().stop();
        });
  if (token == 0) {
    Complain("cannot observe key presses on the D-Bus session bus at " + DeckSessionBusAddress());
    return 1;
  }
  Signals signals;
  OutputGone outputGone;
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
  if (invocation.check) {
    auto problems = DeckConfigFileProblems(std::get<DeckConfig>(loaded), HomeFolder());
    for (auto& problem : problems) Complain(problem);
    if (!problems.empty()) return 1;
    std::printf("%s\n", DeckConfigSummary(std::get<DeckConfig>(loaded)).c_str());
    return 0;
  }
  auto center = Connect();
  if (!center) return 1;
  // One engine per session: the bus name says which, before any command runs.
  auto claim = center->requestName(kEngineBusName, invocation.replace, [] {
    LogLine(std::string("Another zorbel-deck run took over ") + kEngineBusName +
            " (run --replace): stopping");
    platform::RunLoop::main().stop();
  });
  if (!claim.owned) {
    if (claim.owner)
      Complain("another zorbel-deck run (pid " + std::to_string(*claim.owner) +
               ") already runs on the D-Bus session bus at " + DeckSessionBusAddress() +
               ": stop it, or take over with 'zorbel-deck run --replace'");
    else
      Complain("cannot own the name " + std::string(kEngineBusName) + " on the D-Bus session bus at " +
               DeckSessionBusAddress() + ": " + claim.failure);
    return 1;
  }
  std::unique_ptr<DeckMqttBridge> bridge; // [mqtt]; "offline" at its end, before the bus goes
  if (auto problem = DeckMqttApply(bridge, std::get<DeckConfig>(loaded), platform::RunLoop::main(), center,
                                   LogLine, HomeFolder())) {
    Complain(*problem);
    return 1;
  }
  DeckEngine engine(platform::RunLoop::main(), center, LogLine, {HomeFolder(), invocation.verbose});
  if (!engine.start(std::move(std::get<DeckConfig>(loaded)))) {
    Complain("cannot observe key presses on the D-Bus session bus at " + DeckSessionBusAddress());
    return 1;
  }
  // A storm of SIGHUPs gives one reload, and at most one more pending; the bridge takes its
  // part of the new configuration before the engine.
  Signals signals([&] {
    engine.requestReload([&, path] {
      auto next = DeckLoadConfig(path);
      if (auto* config = std::get_if<DeckConfig>(&next))
        if (auto problem =
                DeckMqttApply(bridge, *config, platform::RunLoop::main(), center, LogLine, HomeFolder()))
          LogLine("MQTT: kept the previous settings: " + *problem);
      return next;
    });
  });
  platform::RunLoop::main().run();
  LogLine("Stopped");
  return 0;
}

} // namespace

std::string DeckSessionBusAddress() { return platform::SessionBusAddressForMessages(); }

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
  case DeckAction::Setup: {
    auto report = DeckSetup(DeckSetupPlacesOfThisProcess(), invocation.uninstall);
    std::fputs(report.text.c_str(), stdout);
    std::fflush(stdout);
    std::fputs(report.errors.c_str(), stderr);
    return report.status;
  }
  default:
    status = Post(invocation);
    break;
  }
  // The notification layer's own lines (a lost bus, a reconnection) go to the log file.
  XErrorHandler::Quitting();
  return status;
}

} // namespace deck
