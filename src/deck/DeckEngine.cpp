#include "deck/DeckEngine.hpp"

#include "contract/ZBContract.hpp"
#include "deck/DeckChild.hpp"
#include "deck/DeckCommandLog.hpp"
#include "deck/DeckDialEngine.hpp"
#include "deck/DeckImage.hpp"
#include "deck/detail/DeckTimer.hpp"
#include "notifications/DistributedNotificationCenter.hpp"
#include "platform/RunLoop.hpp"
#include "platform/UTF8.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <map>
#include <nlohmann/json.hpp>
#include <optional>

namespace deck {

using nlohmann::json;

struct DeckEngine::Impl : std::enable_shared_from_this<DeckEngine::Impl> {
  struct KeyState {
    DeckKey key;
    std::shared_ptr<DeckChild> action; // the press or release command that runs, if any
    std::shared_ptr<DeckChild> titleCommand;
    std::shared_ptr<DeckChild> iconCommand;
    std::unique_ptr<boost::asio::steady_timer> timer; // the `every` timer
    bool titleFailing = false;            // its last title command failed (logged once until it works again)
    bool iconFailing = false;             // the same for the icon command, or its output
    bool titleNotUTF8 = false;            // its last title was not UTF-8 (logged once until it is again)
    std::optional<std::string> iconImage; // the data URL the icon command gave last
    std::optional<std::string> postedImage; // the data URL posted last for the key
  };

  Impl(platform::RunLoop& l, std::shared_ptr<platform::DistributedNotificationCenter> c, DeckLog lg,
       DeckEngineOptions o)
      : loop(l), center(std::move(c)), log(std::move(lg)), options(std::move(o)), errorLog(log),
        dials(
            loop, [this](const char* name, const json& info) { post(name, info); }, log, options) {}

  platform::RunLoop& loop;
  std::shared_ptr<platform::DistributedNotificationCenter> center;
  DeckLog log;
  DeckEngineOptions options;
  DeckErrorLog errorLog;
  std::map<std::string, KeyState> keys; // by button ID
  std::string path;
  bool reloadPending = false;
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
        KeyState& was = old->second;
        state.action = std::move(was.action);
        state.titleCommand = std::move(was.titleCommand);
        state.titleFailing = was.titleFailing;
        state.titleNotUTF8 = was.titleNotUTF8;
        state.postedImage = std::move(was.postedImage);
        if (was.key.icon == key.icon) {
          state.iconCommand = std::move(was.iconCommand);
          state.iconFailing = was.iconFailing;
          state.iconImage = std::move(was.iconImage);
        }
      }
      state.key = key;
      next.emplace(key.id, std::move(state));
    }
    for (auto& [id, state] : keys)
      if (state.timer) state.timer->cancel();
    keys = std::move(next);
    for (auto& [id, state] : keys) {
      showImage(state, false);
      refresh(id);
      if (state.key.every) {
        state.timer = detail::DeckStartEvery(
            platform::detail::IoContext(loop), *state.key.every,
            [weak = weak_from_this(), id = id](const boost::asio::steady_timer* timer) {
              auto self = weak.lock();
              if (!self) return false;
              auto it = self->keys.find(id);
              if (it == self->keys.end() || it->second.timer.get() != timer) return false;
              self->refresh(id);
              return true;
            });
      }
    }
  }

  // Relative paths start at the home folder, where the commands run as well.
  std::string pathOf(const std::string& written) const {
    std::string file = DeckExpandHome(written, options.home);
    if (!file.starts_with('/')) file = options.home + "/" + file;
    return file;
  }

  void postImage(KeyState& state, const std::string& image, bool always) {
    if (!always && state.postedImage == image) return;
    state.postedImage = image;
    post(kZBSetImageNotification, {{"zbID", state.key.id}, {"image", image}});
  }

  // The key's image: the icon command's last result, else the configured file.
  void showImage(KeyState& state, bool always) {
    if (!state.key.icon.empty() && state.iconImage) return postImage(state, *state.iconImage, always);
    if (state.key.image.empty()) return;
    auto image = DeckImageFromFile(pathOf(state.key.image));
    if (auto* error = std::get_if<DeckImageError>(&image)) {
      log(state.key.id + ": image " + error->reason);
      return;
    }
    postImage(state, std::get<std::string>(image), always);
  }

  // Starts one of the key's commands; `done` gets the key's state when the key is still
  // configured (nullptr otherwise) after its standard error has been logged.
  using Done = std::function<void(KeyState*, const std::shared_ptr<DeckChild>&, const DeckChildResult&)>;
  std::shared_ptr<DeckChild> run(const std::string& id, const char* kind, const std::string& command,
                                 DeckEnvironment environment, Done done) {
    auto& state = keys.at(id);
    std::weak_ptr<Impl> weak = weak_from_this();
    auto holder = std::make_shared<std::shared_ptr<DeckChild>>();
    *holder = DeckChild::start(loop, command, environment, options.home, state.key.timeout,
                               [weak, id, kind, holder, done](const DeckChildResult& result) {
                                 auto child = std::move(*holder);
                                 auto self = weak.lock();
                                 if (!self) return;
                                 self->errorLog.add(id + " " + kind, result.errors);
                                 auto it = self->keys.find(id);
                                 done(it == self->keys.end() ? nullptr : &it->second, child, result);
                               });
    if (options.verbose) {
      pid_t pid = (*holder)->pid();
      log(id + ": started the " + kind + " command" +
          (pid > 0 ? " (pid " + std::to_string(pid) + ")"
                   : " (it waits for its turn: " + std::to_string(kMaxRunningCommands) + " commands run)"));
    }
    return *holder;
  }

  // The key's title and icon commands, each unless it still runs.
  void refresh(const std::string& id) {
    auto& state = keys.at(id);
    if (!state.key.title.empty()) {
      if (state.titleCommand) {
        if (options.verbose) log(id + ": title refresh skipped, its command is still running");
      } else {
        state.titleCommand = run(id, "title", state.key.title, EnvironmentOf(state.key),
                                 [this, id](KeyState* state, const std::shared_ptr<DeckChild>& child,
                                            const DeckChildResult& result) {
                                   if (state && state->titleCommand == child) state->titleCommand.reset();
                                   titleDone(id, state, result);
                                 });
      }
    }
    if (!state.key.icon.empty() && !state.iconCommand) {
      state.iconCommand = run(id, "icon", state.key.icon, EnvironmentOf(state.key),
                              [this, id](KeyState* state, const std::shared_ptr<DeckChild>& child,
                                         const DeckChildResult& result) {
                                if (!state || state->iconCommand != child) return; // another icon command now
                                state->iconCommand.reset();
                                iconDone(*state, result);
                              });
    }
  }

  void titleDone(const std::string& id, KeyState* state, const DeckChildResult& result) {
    if (!result.succeeded()) {
      if (!state || !state->titleFailing) log(id + ": the title command failed: " + result.description());
      if (state) state->titleFailing = true;
      return;
    }
    if (state && state->titleFailing) log(id + ": the title command works again");
    if (state) state->titleFailing = false;
    std::string title = result.firstLine();
    bool valid = platform::IsValidUTF8(title);
    if (!valid) {
      title = DeckReplaceInvalidUTF8(title);
      if (!state || !state->titleNotUTF8)
        log(id + ": the title command's output is not UTF-8; its bad bytes are shown as U+FFFD: " +
            DeckLoggableLine(title));
    }
    if (state) state->titleNotUTF8 = !valid;
    if (options.verbose) log(id + ": the title command finished: " + DeckLoggableLine(title));
    post(kZBSetTitleNotification, {{"zbID", id}, {"title", title}});
  }

  void iconDone(KeyState& state, const DeckChildResult& result) {
    const std::string& id = state.key.id;
    auto failed = [&](const std::string& why) {
      if (!state.iconFailing) log(id + ": " + why);
      state.iconFailing = true;
    };
    if (!result.succeeded()) return failed("the icon command failed: " + result.description());
    std::string line = result.firstLine();
    std::variant<std::string, DeckImageError> image;
    if (line.empty())
      image = std::string(); // no image
    else if (line.starts_with("data:"))
      image = line.starts_with("data:image/") ? std::variant<std::string, DeckImageError>(line)
                                              : DeckImageError{"not a data:image/ URL"};
    else
      image = DeckImageFromFile(pathOf(line));
    if (auto* error = std::get_if<DeckImageError>(&image))
      return failed("the icon command's output is not an image: " + DeckLoggableLine(error->reason));
    if (state.iconFailing) log(id + ": the icon command works again");
    state.iconFailing = false;
    if (options.verbose) log(id + ": the icon command finished: " + DeckLoggableLine(line));
    state.iconImage = std::get<std::string>(image);
    postImage(state, *state.iconImage, false);
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
      const Feedback feedback = state.key.feedback;
      state.action =
          run(id, what, command, environment,
              [this, key = id, what, feedback](KeyState* state, const std::shared_ptr<DeckChild>& child,
                                               const DeckChildResult& result) {
                actionDone(key, state, child, what, feedback, result);
              });
    }
  }

  void actionDone(const std::string& id, KeyState* state, const std::shared_ptr<DeckChild>& child,
                  const char* what, Feedback feedback, const DeckChildResult& result) {
    if (feedback == Feedback::Status)
      post(result.succeeded() ? kZBShowOKNotification : kZBShowAlertNotification, {{"zbID", id}});
    if (!result.succeeded())
      log(id + ": the " + what + " command failed: " + result.description());
    else if (options.verbose)
      log(id + ": the " + what + " command finished (" + result.description() + ")");
    if (!state) return;
    if (state->action == child) state->action.reset();
    refresh(id);
  }

  void keyAppeared(const json& info) {
    if (!info.is_object()) return;
    auto row = info.find("row"), column = info.find("column"), zbID = info.find("zbID"),
         context = info.find("context");
    if (row == info.end() || !row->is_number_integer() || column == info.end() ||
        !column->is_number_integer() || zbID == info.end() || !zbID->is_string() || context == info.end() ||
        !context->is_string())
      return;
    auto it = keys.find(zbID->get<std::string>());
    if (it == keys.end()) {
      it = std::find_if(keys.begin(), keys.end(), [&](const auto& entry) {
        return entry.second.key.row != 0 && entry.second.key.row == row->get<long long>() &&
               entry.second.key.column == column->get<long long>();
      });
      if (it == keys.end()) return;
    }
    if (options.verbose) log(it->first + ": the key appeared");
    showImage(it->second, true);
    refresh(it->first);
  }

  void requestReload(std::function<DeckConfigResult()> load) {
    if (reloadPending) return; // the pending one reads the file when it runs: it has it all
    reloadPending = true;
    std::weak_ptr<Impl> weak = weak_from_this();
    boost::asio::post(platform::detail::IoContext(loop), [weak, load = std::move(load)] {
      auto self = weak.lock();
      if (!self) return;
      self->reloadPending = false;
      auto next = load();
      if (auto* error = std::get_if<DeckConfigError>(&next)) {
        self->log("Kept the previous configuration: " + error->description());
        return;
      }
      self->reload(std::move(std::get<DeckConfig>(next)));
    });
  }

  void reload(DeckConfig config) {
    std::size_t count = config.keys.size();
    std::string loaded = config.path, dialCount = DeckDialCount(config.dials.size());
    apply(std::move(config));
    log("Reloaded " + loaded + ": " + std::to_string(count) + (count == 1 ? " key" : " keys") + dialCount);
  }

  void killAll() {
    for (auto& [id, state] : keys) {
      for (auto* child : {&state.action, &state.titleCommand, &state.iconCommand})
        if (*child) (*child)->terminate();
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
  // Engines before key appearances lose nothing without them: not a reason to stop.
  _impl->center->addObserver(kZBKeyAppearedNotification, kZBEngineNotificationObject,
                             [weak](const platform::DistributedNotification& notification) {
                               if (auto self = weak.lock()) self->keyAppeared(notification.userInfo);
                             });
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

void DeckEngine::reload(DeckConfig config) { _impl->reload(std::move(config)); }

void DeckEngine::requestReload(std::function<DeckConfigResult()> load) {
  _impl->requestReload(std::move(load));
}

void DeckEngine::keyNotification(const nlohmann::json& userInfo) { _impl->keyNotification(userInfo); }

void DeckEngine::keyAppeared(const nlohmann::json& userInfo) { _impl->keyAppeared(userInfo); }

} // namespace deck
