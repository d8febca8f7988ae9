#pragma once
// An independent D-Bus client for tests of the distributed notifications: a python3-gi watcher
// (a child process) that prints every "Notification" signal it sees as one JSON line with the
// D-Bus type of each userInfo value, and `gdbus emit` for sending. While a test waits for a
// line it serves the main run loop, so our own center keeps working meanwhile.
// Header-only; the test links zb_test_support.

#include "platform/RunLoop.hpp"
#include "support/Process.hpp"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
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
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    _fd = fds[0];
    _reader = std::thread([this] { read(); });
    auto ready = nextLine(std::chrono::seconds(20));
    if (!ready || *ready != "READY") throw std::runtime_error("the D-Bus watcher did not start");
  }

  ~NotificationWatcher() {
    ::kill(_pid, SIGTERM);
    int status;
    ::waitpid(_pid, &status, 0);
    _reader.join();
    ::close(_fd);
  }

  /// The next notification seen, serving the main run loop while waiting.
  std::optional<nlohmann::json> next(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto line = nextLine(timeout);
    if (!line) return std::nullopt;
    return nlohmann::json::parse(*line);
  }

private:
  std::optional<std::string> nextLine(std::chrono::milliseconds timeout) {
    auto has = [this] {
      std::lock_guard lock(_mutex);
      return !_lines.empty() || _ended;
    };
    if (!has()) platform::RunLoop::main().runUntil(has, timeout);
    std::lock_guard lock(_mutex);
    if (_lines.empty()) return std::nullopt;
    std::string line = std::move(_lines.front());
    _lines.pop_front();
    return line;
  }

  void read() {
    std::string buffer;
    char chunk[4096];
    for (;;) {
      ssize_t n = ::read(_fd, chunk, sizeof chunk);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(n));
      for (auto eol = buffer.find('\n'); eol != std::string::npos; eol = buffer.find('\n')) {
        {
          std::lock_guard lock(_mutex);
          _lines.push_back(buffer.substr(0, eol));
        }
        buffer.erase(0, eol + 1);
        platform::RunLoop::main().queue().async([] {}); // wakes a waiting runUntil
      }
    }
    std::lock_guard lock(_mutex);
    _ended = true;
  }

  pid_t _pid = -1;
  int _fd = -1;
  std::thread _reader;
  std::mutex _mutex;
  std::deque<std::string> _lines;
  bool _ended = false;
};

/// Runs `gdbus emit` for one notification on the bus at `address` (given to gdbus as its session
/// bus: with --address it would not register on the bus, and the bus drops what an unregistered
/// client sends); `userInfo` is GVariant text such as "{'zbID': <'R1C1'>}". Returns the exit status.
inline int GdbusEmit(const std::string& address, const std::string& name, const std::string& object,
                     const std::string& userInfo) {
  auto quoted = [](const std::string& s) { return "'" + s + "'"; };
  std::vector<std::string> argv = {"/usr/bin/gdbus",
                                   "emit",
                                   "--session",
                                   "--object-path",
                                   "/com/zorbel/DistributedNotifications",
                                   "--signal",
                                   "com.zorbel.DistributedNotifications.Notification",
                                   quoted(name),
                                   quoted(object),
                                   userInfo};
  return RunProcess(argv, {{"DBUS_SESSION_BUS_ADDRESS", address}}).exitCode;
}

} // namespace testsupport
