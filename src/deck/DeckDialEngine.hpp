#pragma once
// The scripting engine's dials: runs a dial's commands when it is rotated, pushed, released or
// touched, and keeps its strip up to date with the output of its `feedback` command. DeckEngine
// owns one and hands it the configuration and every "Zorbel Stream Deck Dial" notification.
//
// Events name dials by position (`column`), as presses name keys; commands get the dial's ID.
// Per dial at most one rotate command runs at a time: ticks that come while it runs are summed
// (separately for rotations while pushed and while not), and the command runs once more with
// each sum when it ends, so no tick is lost and a fast spin starts a handful of commands, not
// hundreds. Push, release and touch share one slot: one of them at a time, and one that comes
// while another runs is ignored with a log line. The `feedback` command runs at start, after
// each of the dial's commands and on its `every` timer; a refresh asked for while it runs makes
// it run once more when it ends. Its result is posted as "Zorbel Stream Deck Set Feedback"
// only when it differs from what the engine posted last.
//
// All members are called on the loop's thread.

#include "deck/DeckDialConfig.hpp"
#include "deck/DeckEngine.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace deck {

/// Posts one notification to the plug-in (its name from contract/ZBContract.hpp).
using DeckPost = std::function<void(const char* name, const nlohmann::json& userInfo)>;

/// What a log line about the configuration adds for `count` dials: "" for none, ", 1 dial",
/// ", 2 dials".
std::string DeckDialCount(std::size_t count);

class DeckDialEngine {
public:
  DeckDialEngine(platform::RunLoop& loop, DeckPost post, DeckLog log, DeckEngineOptions options);
  /// Kills the process groups of the commands still running.
  ~DeckDialEngine();
  DeckDialEngine(const DeckDialEngine&) = delete;
  DeckDialEngine& operator=(const DeckDialEngine&) = delete;

  /// Replaces the dials (the first call starts them): runs every feedback command and starts the
  /// `every` timers. Commands still running finish and report to the dial with their ID.
  void apply(const std::vector<DeckDial>& dials);

  /// One "Zorbel Stream Deck Dial" notification's userInfo; a malformed one is logged and
  /// dropped.
  void dialNotification(const nlohmann::json& userInfo);

  struct Impl;

private:
  std::shared_ptr<Impl> _impl;
};

} // namespace deck
