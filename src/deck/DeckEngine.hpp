#pragma once
// The scripting engine: runs the configured commands of each key when it is pressed or
// released, shows their outcome on the key, and keeps the keys' titles and images up to date.
//
// Everything happens on one run loop: key presses arrive as distributed notifications, commands
// are DeckChild processes whose exit and output are events of the same loop, and every `every`
// timer is a timer of the loop. Between events the engine does nothing at all.
//
// Per key at most one press or release command runs at a time; a press or release that comes
// while it runs is ignored (with a log line), and so is a title refresh while the title command
// still runs. A key's title and icon commands run at start, after each of its press and release
// commands, on its `every` timer, and when the plug-in says the key appeared (a key that got the
// action, changed its ID or position, or the plug-in's bus connection that came back): then its
// image is set again as well. An image is posted only when it differs from the one posted last
// for the key, except for a key that just appeared. Commands run through DeckChild, so at most
// kMaxRunningCommands run at once and the rest wait their turn.
//
// The log receives one line per event worth knowing; successful commands are logged only when
// `verbose` is set; what commands write to standard error is logged through DeckErrorLog. All
// members are called on the loop's thread.

#include "deck/DeckConfig.hpp"

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace platform {
class RunLoop;
class DistributedNotificationCenter;
} // namespace platform

namespace deck {

using DeckLog = std::function<void(const std::string&)>;

struct DeckEngineOptions {
  std::string home; // the folder commands run in, and what "~/" stands for in image paths
  bool verbose = false;
};

class DeckEngine {
public:
  DeckEngine(platform::RunLoop& loop, std::shared_ptr<platform::DistributedNotificationCenter> center,
             DeckLog log, DeckEngineOptions options);
  /// Kills the process groups of the commands still running.
  ~DeckEngine();
  DeckEngine(const DeckEngine&) = delete;
  DeckEngine& operator=(const DeckEngine&) = delete;

  /// Observes key presses and applies `config`: sets every key's image, runs every title
  /// command and starts the `every` timers. False when the presses cannot be observed.
  bool start(DeckConfig config);

  /// Replaces the configuration and applies it as start() does. Commands still running finish
  /// and report to the key they were started for.
  void reload(DeckConfig config);

  /// Reloads with what `load` gives, from a task of the loop; a configuration error keeps the
  /// configuration there is (with a log line). Requests made while one is pending are merged
  /// into it, so a storm of requests costs at most one reload more than one request.
  void requestReload(std::function<DeckConfigResult()> load);

  /// One "Zorbel Stream Deck Key" notification's userInfo.
  void keyNotification(const nlohmann::json& userInfo);

  /// One "Zorbel Stream Deck Key Appeared" notification's userInfo (`context` s, `row` i,
  /// `column` i, `zbID` s): the configured key of that ID, else of that position, gets its image
  /// and its title and icon commands run. Anything else is ignored.
  void keyAppeared(const nlohmann::json& userInfo);

  struct Impl;

private:
  std::shared_ptr<Impl> _impl;
};

} // namespace deck
