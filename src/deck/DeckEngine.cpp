#include "deck/DeckEngine.hpp"

#include "contract/ZBContract.hpp"
#include "deck/DeckChild.hpp"
#include "deck/DeckDialEngine.hpp"
#include "deck/DeckImage.hpp"
#include "notifications/DistributedNotificationCenter.hpp"
#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/steady_timer.hpp>

#include <map>
#include <nlohmann/json.hpp>

namespace deck {

using nlohmann::json;

struct DeckEngine::Impl : std::enable_shared_from_this<DeckEngine::Impl> {
  struct KeyState {
    DeckKey key;
    std::shared_ptr<DeckChild> action; // the press or release command that runs, if any
    std::shared_ptr<DeckChild> titleCommand;
    std::unique_ptr<boost::asio::steady_timer> timer; // the `every` timer
    bool titleFailing = false; // its last title command failed (logged once until it works again)
  };

  Impl(platform::RunLoop& l, std::shared_ptr<platform::DistributedNotificationCenter> c, DeckLog lg,
       DeckEngineOptions o)
      : loop(l), center(std::move(c)), log(std::move(lg)), options(std::move(o)),
        dials(
            loop, [this](const char* name, const json& info) { post(name, info); }, log, options) {}

  platform::RunLoop& loop;
  std::shared_ptr<platform::DistributedNotificationCenter> center;
  DeckLog log;
  DeckEngineOptions options;
  std::map<std::string, KeyState> keys; // by button ID
  std::string path;
  DeckDialEngine dials; // the dials' part, declared last: it ends first

  void post(const char* name, json userInfo) {
    center->postNotificationName(name, kZBEngineNotificationObject, userInfo);
  }

  static DeckEnvironment EnvironmentOf(const DeckKey& key) {
    DeckEnvironment environment{{"ZB_ID", key.id}};
    if (key.row) {
      environment.emplace_back("ZB_ROW", std::to_string(key.row));
      environment.emplace_back("ZB_COLUMN", std::to_string(key.column));
    }
    return environment;
  }

  void apply(DeckConfig config) {
    path = config.path;
    dials.apply(config.dials);
    std::map<std::string, KeyState> next;
    for (auto& key : config.keys) {
      KeyState state;
      if (auto old = keys.find(key.id); old != keys.end()) {
        state.action = std::move(old->second.action);
        state.titleCommand = std::move(old->second.titleCommand);
        state.titleFailing = old->second.titleFailing;
      }
      state.key = key;
      next.emplace(key.id, std::move(state));
    }
    for (auto& [id, state] : keys)
      if (state.timer) state.timer->cancel();
    keys = std::move(next);
    for (auto& [id, state] : keys) {
      showImage(state.key);
      runTitle(id);
      if (state.key.every) {
        state.timer = std::make_unique<boost::asio::steady_timer>(platform::detail::IoContext(loop));
        state.timer->expires_after(*state.key.every);
        armTimer(id, state);
      }
    }
  }

  void showImage(const DeckKey& key) {
    if (key.image.empty()) return;
    // Relative paths start at the home folder, where the commands run as well.
    std::string path = DeckExpandHome(key.image, options.home);
    if (!path.starts_with('/')) path = options.home + "/" + path;
    auto image = DeckImageFromFile(path);
    if (auto* error = std::get_if<DeckImageError>(&image)) {
      log(key.id + ": image " + error->reason);
      return;
    }
    post(kZBSetImageNotification, {{"zbID", key.id}, {"image", std::get<std::string>(image)}});
  }

  void armTimer(const std::string& id, KeyState& state) {
    std::weak_ptr<Impl> weak = weak_from_this();
    boost::asio::steady_timer* timer = state.timer.get();
    timer->async_wait([weak, id, timer](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!self || ec) return;
      auto it = self->keys.find(id);
      if (it == self->keys.end() || it->second.timer.get() != timer) return;
      self->runTitle(id);
      // Keeps the rhythm; after a suspension the next run comes one period from now.
      auto every = *it->second.key.every;
      auto next = timer->expiry() + every;
      if (next <= std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now() + every;
      timer->expires_at(next);
      self->armTimer(id, it->second);
    });
  }

  void runTitle(const std::string& id) {
    auto& state = keys.at(id);
    if (state.key.title.empty()) return;
    if (state.titleCommand) {
      if (options.verbose) log(id + ": title refresh skipped, its command is still running");
      return;
    }
    std::weak_ptr<Impl> weak = weak_from_this();
    auto holder = std::make_shared<std::shared_ptr<DeckChild>>();
    state.titleCommand = *holder =
        DeckChild::start(loop, state.key.title, EnvironmentOf(state.key), options.home, state.key.timeout,
                         [weak, id, holder](const DeckChildResult& result) {
                           auto child = std::move(*holder);
                           auto self = weak.lock();
                           if (!self) return;
                           auto it = self->keys.find(id);
                           if (it != self->keys.end() && it->second.titleCommand == child)
                             it->second.titleCommand.reset();
                           self->titleDone(id, it == self->keys.end() ? nullptr : &it->second, result);
                         });
  }

  void titleDone(const std::string& id, KeyState* state, const DeckChildResult& result) {
    if (!result.succeeded()) {
      if (!state || !state->titleFailing) log(id + ": the title command failed: " + result.description());
      if (state) state->titleFailing = true;
      return;
    }
    if (state && state->titleFailing) log(id + ": the title command works again");
    if (state) state->titleFailing = false;
    post(kZBSetTitleNotification, {{"zbID", id}, {"title", result.firstLine()}});
  }

  void keyNotification(const json& info) {
    if (!info.is_object()) return;
    auto number = [&](const char* name) {
      auto it = info.find(name);
      return it != info.end() && it->is_number_integer() ? it->get<long long>() : 0LL;
    };
    long long row = number("row"), column = number("column");
    bool pressed = info.contains("pressed") && info["pressed"].is_boolean() && info["pressed"].get<bool>();
    std::string context =
        info.contains("context") && info["context"].is_string() ? info["context"].get<std::string>() : "";
    for (auto& [id, state] : keys) {
      if (state.key.row != row || state.key.column != column) continue;
      const std::string& command = pressed ? state.key.press : state.key.release;
      if (command.empty()) continue;
      const char* what = pressed ? "press" : "release";
      if (state.action) {
        log(id + ": " + what + " ignored, the key's command is still running");
        continue;
      }
      auto environment = EnvironmentOf(state.key);
      environment.emplace_back("ZB_CONTEXT", context);
      environment.emplace_back("ZB_PRESSED", pressed ? "1" : "0");
      std::weak_ptr<Impl> weak = weak_from_this();
      auto holder = std::make_shared<std::shared_ptr<DeckChild>>();
      const Feedback feedback = state.key.feedback;
      state.action = *holder =
          DeckChild::start(loop, command, environment, options.home, state.key.timeout,
                           [weak, id, holder, what, feedback](const DeckChildResult& result) {
                             auto child = std::move(*holder);
                             auto self = weak.lock();
                             if (!self) return;
                             self->actionDone(id, child, what, feedback, result);
                           });
      if (options.verbose)
        log(id + ": started the " + what + " command (pid " + std::to_string(state.action->pid()) + ")");
    }
  }

  void actionDone(const std::string& id, const std::shared_ptr<DeckChild>& child, const char* what,
                  Feedback feedback, const DeckChildResult& result) {
    if (feedback == Feedback::Status)
      post(result.succeeded() ? kZBShowOKNotification : kZBShowAlertNotification, {{"zbID", id}});
    if (!result.succeeded())
      log(id + ": the " + what + " command failed: " + result.description());
    else if (options.verbose)
      log(id + ": the " + what + " command finished (" + result.description() + ")");
    auto it = keys.find(id);
    if (it == keys.end()) return;
    if (it->second.action == child) it->second.action.reset();
    runTitle(id);
  }

  void killAll() {
    for (auto& [id, state] : keys) {
      if (state.action) state.action->terminate();
      if (state.titleCommand) state.titleCommand->terminate();
      if (state.timer) state.timer->cancel();
    }
  }
};

DeckEngine::DeckEngine(platform::RunLoop& loop,
                       std::shared_ptr<platform::DistributedNotificationCenter> center, DeckLog log,
                       DeckEngineOptions options)
    : _impl(std::make_shared<Impl>(loop, std::move(center), std::move(log), std::move(options))) {}

DeckEngine::~DeckEngine() { _impl->killAll(); }

bool DeckEngine::start(DeckConfig config) {
  std::weak_ptr<Impl> weak = _impl;
  auto token = _impl->center->addObserver(kZBKeyNotification, kZBEngineNotificationObject,
                                          [weak](const platform::DistributedNotification& notification) {
                                            if (auto self = weak.lock())
                                              self->keyNotification(notification.userInfo);
                                          });
  if (token == 0) return false;
  token = _impl->center->addObserver(kZBDialNotification, kZBEngineNotificationObject,
                                     [weak](const platform::DistributedNotification& notification) {
                                       if (auto self = weak.lock())
                                         self->dials.dialNotification(notification.userInfo);
                                     });
  if (token == 0) return false;
  std::size_t count = config.keys.size();
  std::string path = config.path, dials = DeckDialCount(config.dials.size());
  _impl->apply(std::move(config));
  _impl->log("Loaded " + path + ": " + std::to_string(count) + (count == 1 ? " key" : " keys") + dials);
  return true;
}

void DeckEngine::reload(DeckConfig config) {
  std::size_t count = config.keys.size();
  std::string path = config.path, dials = DeckDialCount(config.dials.size());
  _impl->apply(std::move(config));
  _impl->log("Reloaded " + path + ": " + std::to_string(count) + (count == 1 ? " key" : " keys") + dials);
}

void DeckEngine::keyNotification(const nlohmann::json& userInfo) { _impl->keyNotification(userInfo); }

} // namespace deck
