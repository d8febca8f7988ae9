#pragma once
// An independent D-Bus client for tests of the distributed notifications: a python3-gi watcher
// (a child process) that prints every "Notification" signal it sees as one JSON line with the
// D-Bus type of each userInfo value, and `gdbus emit` for sending. The watcher's output is read
// by the main run loop, which a waiting test serves, so our own center keeps working meanwhile.
// Header-only; the test links zb_test_support.

#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"
#include "support/Process.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>
#include <chrono>
#include <csignal>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

inline constexpr const char* kWatcherScript = R"PY(
import json, sys
import gi
gi.require_version('Gio', '2.0')
from gi.repository import Gio, GLib
address, name = sys.argv[1], sys.argv[2]
flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
conn = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
def received(conn, sender, path, interface, member, params, data):
    line = {"path": path, "signature": params.get_type_string(), "name": None, "object": None,
            "types": {}, "userInfo": {}}
    if params.n_children() >= 2:
        line["name"] = params.get_child_value(0).unpack()
        line["object"] = params.get_child_value(1).unpack()
    if params.n_children() >= 3 and params.get_child_value(2).get_type_string() == "a{sv}":
        info = params.get_child_value(2)
        for i in range(info.n_children()):
            entry = info.get_child_value(i)
            key = entry.get_child_value(0).unpack()
            value = entry.get_child_value(1).get_variant()
            line["types"][key] = value.get_type_string()
            line["userInfo"][key] = value.unpack()
    print(json.dumps(line), flush=True)
conn.signal_subscribe(None, "com.zorbel.DistributedNotifications", "Notification", None,
                      name if name else None, Gio.DBusSignalFlags.NONE, received, None)
# A round trip: once it is answered the bus has the match rule.
conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
               None, None, Gio.DBusCallFlags.NONE, -1, None)
print("READY", flush=True)
GLib.MainLoop().run()
)PY";

class NotificationWatcher {
public:
  /// Watches the bus at `address` for notifications named `name` (every name when empty).
  NotificationWatcher(const std::string& address, const std::string& name) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args = {"/usr/bin/python3", "-c", kWatcherScript, address, name};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    _pid = ::fork();
    if (_pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM); // never outlive a test that crashed
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    // The pipe is read by the main loop itself: no thread, and every line is an event that
    // makes a waiting runUntil look again.
    _state = std::make_shared<State>(platform::detail::IoContext(platform::RunLoop::main()), fds[0]);
    Read(_state);
    auto ready = nextLine(std::chrono::seconds(20));
    if (!ready || *ready != "READY") throw std::runtime_error("the D-Bus watcher did not start");
  }

  ~NotificationWatcher() {
    ::kill(_pid, SIGTERM);
    int status;
    ::waitpid(_pid, &status, 0);
    boost::system::error_code ignored;
    _state->stream.close(ignored);
  }

  /// The next notification seen, serving the main run loop while waiting.
  std::optional<nlohmann::json> next(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto line = nextLine(timeout);
    if (!line) return std::nullopt;
    return nlohmann::json::parse(*line);
  }

private:
  struct State {
    State(boost::asio::io_context& io, int fd) : stream(io, fd) {}
    boost::asio::posix::stream_descriptor stream;
    char chunk[4096];
    std::string buffer;
    std::deque<std::string> lines;
    bool ended = false;
  };

  static void Read(const std::shared_ptr<State>& state) {
    state->stream.async_read_some(boost::asio::buffer(state->chunk),
                                  [state](const boost::system::error_code& ec, std::size_t n) {
                                    if (ec) {
                                      state->ended = true;
                                      return;
                                    }
                                    state->buffer.append(state->chunk, n);
                                    for (auto eol = state->buffer.find('\n'); eol != std::string::npos;
                                         eol = state->buffer.find('\n')) {
                                      state->lines.push_back(state->buffer.substr(0, eol));
                                      state->buffer.erase(0, eol + 1);
                                    }
                                    Read(state);
                                  });
  }

  std::optional<std::string> nextLine(std::chrono::milliseconds timeout) {
    auto has = [this] { return !_state->lines.empty() || _state->ended; };
    if (!has()) platform::RunLoop::main().runUntil(has, timeout);
    if (_state->lines.empty()) return std::nullopt;
    std::string line = std::move(_state->lines.front());
    _state->lines.pop_front();
    return line;
  }

  pid_t _pid = -1;
  std::shared_ptr<State> _state;
};

/// Runs `gdbus emit` for one notification on the bus at `address` (given to gdbus as its session
/// bus: with --address it would not register on the bus, and the bus drops what an unregistered
/// client sends); `userInfo` is GVariant text such as "{'zbID': <'R1C1'>}". The signal goes out on
/// the contract's object path unless `path` names another. Returns the exit status.
inline int GdbusEmit(const std::string& address, const std::string& name, const std::string& object,
                     const std::string& userInfo,
                     const std::string& path = "/com/zorbel/DistributedNotifications") {
  auto quoted = [](const std::string& s) { return "'" + s + "'"; };
  std::vector<std::string> argv = {"/usr/bin/gdbus",
                                   "emit",
                                   "--session",
                                   "--object-path",
                                   path,
                                   "--signal",
                                   "com.zorbel.DistributedNotifications.Notification",
                                   quoted(name),
                                   quoted(object),
                                   userInfo};
  return RunProcess(argv, {{"DBUS_SESSION_BUS_ADDRESS", address}}).exitCode;
}

} // namespace testsupport
