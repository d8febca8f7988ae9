#pragma once
// A private D-Bus session bus for one test: `dbus-daemon --session` listening on a socket in a
// fresh folder, never the user's own bus. address() is what DBUS_SESSION_BUS_ADDRESS would hold.
// Header-only so that any test target can use it without linking anything.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

class PrivateSessionBus {
public:
  PrivateSessionBus() {
    char pattern[] = "/tmp/zb-bus-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    _folder = pattern;
    _address = "unix:path=" + _folder + "/bus";
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    // Everything the child needs is built before fork: only exec-safe calls after it.
    std::string addressArg = "--address=" + _address;
    std::string printArg = "--print-address=" + std::to_string(fds[1]);
    std::vector<char*> argv = {const_cast<char*>("dbus-daemon"),
                               const_cast<char*>("--session"),
                               const_cast<char*>("--nofork"),
                               const_cast<char*>("--nopidfile"),
                               addressArg.data(),
                               printArg.data(),
                               nullptr};
    _pid = ::fork();
    if (_pid < 0) throw std::runtime_error("fork failed");
    if (_pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM); // never outlive a test that crashed
      // Its own output (warnings about fd limits) would only hold the test's pipes open.
      int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) {
        ::dup2(null, 1);
        ::dup2(null, 2);
      }
      ::close(fds[0]);
      ::execvp("dbus-daemon", argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    // The daemon prints its address once it listens.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      char buffer[512];
      ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (line.find('\n') == std::string::npos) {
      stop();
      throw std::runtime_error("dbus-daemon did not start");
    }
  }

  ~PrivateSessionBus() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(_folder, ignored);
  }

  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  const std::string& address() const { return _address; }

  /// Ends the daemon (every client loses its connection).
  void stop() {
    if (_pid <= 0) return;
    ::kill(_pid, SIGTERM);
    int status = 0;
    while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
    }
    _pid = -1;
  }

private:
  std::string _folder;
  std::string _address;
  pid_t _pid = -1;
};

} // namespace testsupport
