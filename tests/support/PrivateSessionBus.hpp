#pragma once
// A private D-Bus session bus for one test: `dbus-daemon --session` listening on a socket in a
// fresh folder, never the user's own bus. address() is what DBUS_SESSION_BUS_ADDRESS would hold.
// Header-only so that any test target can use it without linking anything.

#include "support/SessionBusDaemon.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testsupport {

class PrivateSessionBus {
public:
  PrivateSessionBus() : _folder(MakeFolder()), _daemon(_folder + "/bus") {
    try {
      _daemon.start();
    } catch (...) {
      RemoveFolder(_folder);
      throw;
    }
  }

  ~PrivateSessionBus() {
    _daemon.stop();
    RemoveFolder(_folder);
  }

  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  const std::string& address() const { return _daemon.address(); }

  /// Ends the daemon (every client loses its connection).
  void stop() { _daemon.stop(); }

private:
  static std::string MakeFolder() {
    char pattern[] = "/tmp/zb-bus-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    return pattern;
  }
  static void RemoveFolder(const std::string& folder) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  std::string _folder;
  SessionBusDaemon _daemon;
};

} // namespace testsupport
