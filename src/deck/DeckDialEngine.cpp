#include "deck/DeckDialEngine.hpp"

#include "contract/ZBContract.hpp"
#include "deck/DeckChild.hpp"
#include "deck/DeckCommandLog.hpp"
#include "deck/DeckDialEvent.hpp"
#include "deck/DeckDialFeedback.hpp"
#include "deck/detail/DeckTimer.hpp"
#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

namespace deck {

using nlohmann::json;

namespace {

// Sums stay far from overflow however long a rotate command runs.
constexpr long long kMaxPendingTicks = 1'000'000'000;

} // namespace

struct DeckDialEngine::Impl : std::enable_shared_from_this<DeckDialEngine::Impl> {
  // Ticks that came while the rotate command ran, not yet given to it.
  struct Rotation {
    long long ticks = 0;
    bool pressed = false;
    std::string context;
  };

  struct DialState {
    DeckDial dial;
    std::shared_ptr<DeckChild> action;        // the push, release or touch command that runs
    std::shared_ptr<DeckChild> rotateCommand; // the rotate command that runs
    std::vector<Rotation> pending;            // at most two: one per `pressed`, first come first
    std::shared_ptr<DeckChild> feedbackCommand;
    bool feedbackAgain = false;   // a refresh was asked for while the feedback command ran
    bool feedbackFailing = false; // its last run failed (logged once until it works again)
    std::optional<json> shown;    // the feedback posted last
    std::unique_ptr<boost::asio::steady_timer> timer; // the `every` timer
  };

  Impl(platform::RunLoop& l, DeckPost p, DeckLog lg, DeckEngineOptions o)
      : loop(l), post(std::move(p)), log(std::move(lg)), options(std::move(o)), errorLog(log) {}

  platform::RunLoop& loop;
  DeckPost post;
  DeckLog log;
  DeckEngineOptions options;
  DeckErrorLog errorLog;                  // the commands' standard error, "<ID> <kind>: <line>"
  std::map<std::string, DialState> dials; // by button ID

  static DeckEnvironment EnvironmentOf(const DeckDial& dial) {
    DeckEnvironment environment{{"ZB_ID", dial.id}};
    if (dial.column) environment.emplace_back("ZB_COLUMN", std::to_string(dial.column));
    return environment;
  }

  // Starts `command` for dial `id`; `done` gets the engine and the dial's state (null when the
  // dial is gone) once it ends.
  std::shared_ptr<DeckChild>
  start(const std::string& id, const char* kind, const std::string& command, DeckEnvironment environment,
        std::function<void(Impl&, DialState*, const std::shared_ptr<DeckChild>&, const DeckChildResult&)>
            done) {
    auto& state = dials.at(id);
    std::weak_ptr<Impl> weak = weak_from_this();
    auto holder = std::make_shared<std::shared_ptr<DeckChild>>();
    *holder = DeckChild::start(loop, command, environment, options.home, state.dial.timeout,
                               [weak, id, kind, holder, done](const DeckChildResult& result) {
                                 auto child = std::move(*holder);
                                 auto self = weak.lock();
                                 if (!self) return;
                                 self->errorLog.add(id + " " + kind, result.errors);
                                 auto it = self->dials.find(id);
                                 done(*self, it == self->dials.end() ? nullptr : &it->second, child, result);
                               });
    return *holder;
  }

  void apply(const std::vector<DeckDial>& config) {
    std::map<std::string, DialState> next;
    for (auto& dial : config) {
      DialState state;
      if (auto old = dials.find(dial.id); old != dials.end()) {
        state.action = std::move(old->second.action);
        state.rotateCommand = std::move(old->second.rotateCommand);
        state.pending = std::move(old->second.pending);
        state.feedbackCommand = std::move(old->second.feedbackCommand);
        state.feedbackFailing = old->second.feedbackFailing;
      }
      state.dial = dial;
      next.emplace(dial.id, std::move(state));
    }
    for (auto& [id, state] : dials)
      if (state.timer) state.timer->cancel();
    dials = std::move(next);
    for (auto& [id, state] : dials) {
      runFeedback(id);
      if (state.dial.every) {
        state.timer = detail::DeckStartEvery(
            platform::detail::IoContext(loop), *state.dial.every,
            [weak = weak_from_this(), id = id](const boost::asio::steady_timer* timer) {
              auto self = weak.lock();
              if (!self) return false;
              auto it = self->dials.find(id);
              if (it == self->dials.end() || it->second.timer.get() != timer) return false;
              self->runFeedback(id);
              return true;
            });
      }
    }
  }

  // ----- the strip -----

  void runFeedback(const std::string& id) {
    auto& state = dials.at(id);
    if (state.dial.feedback.empty()) return;
    if (state.feedbackCommand) {
      state.feedbackAgain = true;
      return;
    }
    state.feedbackCommand = start(id, "feedback", state.dial.feedback, EnvironmentOf(state.dial),
                                  [id](Impl& self, DialState* state, const std::shared_ptr<DeckChild>& child,
                                       const DeckChildResult& result) {
                                    bool again = false;
                                    if (state && state->feedbackCommand == child) {
                                      state->feedbackCommand.reset();
                                      again = std::exchange(state->feedbackAgain, false);
                                    }
                                    self.feedbackDone(id, state, result);
                                    if (again && self.dials.count(id)) self.runFeedback(id);
                                  });
  }

  void feedbackDone(const std::string& id, DialState* state, const DeckChildResult& result) {
    auto fail = [&](const std::string& why) {
      if (!state || !state->feedbackFailing) log(id + ": the feedback command failed: " + why);
      if (state) state->feedbackFailing = true;
    };
    if (!result.succeeded()) return fail(result.description());
    auto feedback = DeckFeedbackFromOutput(result.output, options.home);
    if (auto* problem = std::get_if<std::string>(&feedback)) return fail(*problem);
    if (!state) return;
    if (state->feedbackFailing) log(id + ": the feedback command works again");
    state->feedbackFailing = false;
    auto& dictionary = std::get<json>(feedback);
    if (dictionary.empty() || state->shown == dictionary) return;
    state->shown = dictionary;
    post(kZBSetFeedbackNotification, {{"zbID", id}, {"feedback", dictionary}});
  }

  // ----- events -----

  void dialNotification(const json& info) {
    auto read = DeckReadDialEvent(info);
    if (auto* problem = std::get_if<std::string>(&read)) {
      log("Ignored a dial notification: " + *problem);
      return;
    }
    auto& event = std::get<DeckDialEvent>(read);
    for (auto& [id, state] : dials) {
      if (state.dial.column != event.column) continue;
      switch (event.kind) {
      case DeckDialEvent::Kind::Rotate:
        rotate(id, state, Rotation{event.ticks, event.pressed, event.context});
        break;
      case DeckDialEvent::Kind::Down:
        act(id, state, "push", state.dial.push, event, {{"ZB_PRESSED", "1"}});
        break;
      case DeckDialEvent::Kind::Up:
        act(id, state, "release", state.dial.release, event, {{"ZB_PRESSED", "0"}});
        break;
      case DeckDialEvent::Kind::Tap:
        act(id, state, "touch", state.dial.touch, event,
            {{"ZB_X", std::to_string(event.x)},
             {"ZB_Y", std::to_string(event.y)},
             {"ZB_HOLD", event.hold ? "1" : "0"}});
        break;
      }
    }
  }

  void act(const std::string& id, DialState& state, const char* what, const std::string& command,
           const DeckDialEvent& event, const DeckEnvironment& variables) {
    if (command.empty()) return;
    if (state.action) {
      log(id + ": " + what + " ignored, the dial's command is still running");
      return;
    }
    auto environment = EnvironmentOf(state.dial);
    environment.emplace_back("ZB_CONTEXT", event.context);
    environment.insert(environment.end(), variables.begin(), variables.end());
    const bool status = state.dial.showStatus;
    state.action =
        start(id, what, command, environment,
              [id, what, status](Impl& self, DialState* state, const std::shared_ptr<DeckChild>& child,
                                 const DeckChildResult& result) {
                if (state && state->action == child) state->action.reset();
                self.commandDone(id, what, status, result);
              });
    if (options.verbose)
      log(id + ": started the " + what + " command (pid " + std::to_string(state.action->pid()) + ")");
  }

  void rotate(const std::string& id, DialState& state, Rotation rotation) {
    if (state.dial.rotate.empty()) return;
    if (state.rotateCommand) {
      for (auto& held : state.pending)
        if (held.pressed == rotation.pressed) {
          held.ticks = std::clamp(held.ticks + rotation.ticks, -kMaxPendingTicks, kMaxPendingTicks);
          held.context = std::move(rotation.context);
          return;
        }
      state.pending.push_back(std::move(rotation));
      return;
    }
    auto environment = EnvironmentOf(state.dial);
    environment.emplace_back("ZB_CONTEXT", rotation.context);
    // With its sign either way ("+3", "-3"): `pactl set-sink-volume @DEFAULT_SINK@ ${ZB_TICKS}%`
    // moves the volume, where "3%" would set it.
    environment.emplace_back("ZB_TICKS", (rotation.ticks > 0 ? "+" : "") + std::to_string(rotation.ticks));
    environment.emplace_back("ZB_PRESSED", rotation.pressed ? "1" : "0");
    const bool status = state.dial.showStatus;
    state.rotateCommand =
        start(id, "rotate", state.dial.rotate, environment,
              [id, status](Impl& self, DialState* state, const std::shared_ptr<DeckChild>& child,
                           const DeckChildResult& result) {
                if (state && state->rotateCommand == child) {
                  state->rotateCommand.reset();
                  // The ticks that came meanwhile, first come first, one command at a time.
                  if (!state->pending.empty()) {
                    Rotation next = std::move(state->pending.front());
                    state->pending.erase(state->pending.begin());
                    self.rotate(id, *state, std::move(next));
                  }
                }
                self.commandDone(id, "rotate", status, result);
              });
    if (options.verbose)
      log(id + ": started the rotate command with " + std::to_string(rotation.ticks) + " ticks (pid " +
          std::to_string(state.rotateCommand->pid()) + ")");
  }

  void commandDone(const std::string& id, const char* what, bool status, const DeckChildResult& result) {
    if (status) post(result.succeeded() ? kZBShowOKNotification : kZBShowAlertNotification, {{"zbID", id}});
    if (!result.succeeded())
      log(id + ": the " + what + " command failed: " + result.description());
    else if (options.verbose)
      log(id + ": the " + what + " command finished (" + result.description() + ")");
    if (dials.count(id)) runFeedback(id);
  }

  void killAll() {
    for (auto& [id, state] : dials) {
      for (auto* child : {&state.action, &state.rotateCommand, &state.feedbackCommand})
        if (*child) (*child)->terminate();
      if (state.timer) state.timer->cancel();
    }
  }
};

std::string DeckDialCount(std::size_t count) {
  if (count == 0) return "";
  return ", " + std::to_string(count) + (count == 1 ? " dial" : " dials");
}

DeckDialEngine::DeckDialEngine(platform::RunLoop& loop, DeckPost post, DeckLog log, DeckEngineOptions options)
    : _impl(std::make_shared<Impl>(loop, std::move(post), std::move(log), std::move(options))) {}

DeckDialEngine::~DeckDialEngine() { _impl->killAll(); }

void DeckDialEngine::apply(const std::vector<DeckDial>& dials) { _impl->apply(dials); }

void DeckDialEngine::dialNotification(const nlohmann::json& userInfo) { _impl->dialNotification(userInfo); }

} // namespace deck
