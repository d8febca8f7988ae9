#pragma once
// A D-Bus session bus daemon on a fixed socket path, which a test can end and start again at the
// same address (as when the user's bus restarts). `dbus-daemon --session` replaces a socket file
// left behind at the path. Header-only; stop() happens at destruction.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

class SessionBusDaemon {
public:
  /// A daemon listening on the unix socket `socketPath` (not started yet).
  explicit SessionBusDaemon(std::string socketPath) : _address("unix:path=" + std::move(socketPath)) {}
  ~SessionBusDaemon() { stop(); }
  SessionBusDaemon(const SessionBusDaemon&) = delete;
  SessionBusDaemon& operator=(const SessionBusDaemon&) = delete;

  /// What DBUS_SESSION_BUS_ADDRESS would hold; the same across restarts.
  const std::string& address() const { return _address; }

  bool running() const { return _pid > 0; }

  /// Starts the daemon and returns once it listens; throws when it does not within 20 s.
  void start() {
    if (_pid > 0) return;
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
    if (_pid < 0) {
      ::close(fds[0]);
      ::close(fds[1]);
      throw std::runtime_error("fork failed");
    }
    if (_pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM); // never outlive a test that crashed
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
    // The daemon prints its address once it listens; the pipe reports it (or the daemon's end).
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fds[0], POLLIN, 0};
      int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
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

  /// Stops the daemon without ending it: connections to its socket are still accepted (by the
  /// kernel) but nothing answers them until resume().
  void pause() {
    if (_pid > 0) ::kill(_pid, SIGSTOP);
  }
  void resume() {
    if (_pid > 0) ::kill(_pid, SIGCONT);
  }

  /// Ends the daemon (every client loses its connection) and waits for it.
  void stop() {
    if (_pid <= 0) return;
    ::kill(_pid, SIGTERM);
    ::kill(_pid, SIGCONT); // a paused daemon takes its SIGTERM once it runs again
    int status = 0;
    while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
    }
    _pid = -1;
  }

private:
  std::string _address;
  pid_t _pid = -1;
};

} // namespace testsupport
