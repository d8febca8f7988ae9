#include "deck/DeckChild.hpp"

#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace deck {

std::string DeckChildResult::description() const {
  switch (end) {
  case End::Exited:
    return "exit status " + std::to_string(status);
  case End::Signalled:
    return std::string("killed by signal ") + std::to_string(status) + " (" + ::strsignal(status) + ")";
  case End::TimedOut: {
    auto ms = limit.count();
    std::string text = ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
    return "timed out after " + text + " and was killed";
  }
  case End::FailedToStart:
    return "could not be started: " + reason;
  }
  return reason;
}

std::string DeckChildResult::firstLine() const {
  auto line = output.substr(0, output.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

struct DeckChild::Impl {
  explicit Impl(platform::RunLoop& loop)
      : io(platform::detail::IoContext(loop)), exit(io), out(io), timer(io) {}

  boost::asio::io_context& io;
  pid_t pid = -1;
  boost::asio::posix::stream_descriptor exit; // the pidfd: readable once the process has ended
  boost::asio::posix::stream_descriptor out;  // the read end of the output pipe
  boost::asio::steady_timer timer;
  bool timedOut = false;
  bool finished = false;
  DeckChildResult result;
  Completion done;

  // Reads what the pipe holds now, keeping the first kMaxOutput bytes; false at its end.
  bool drain() {
    char buffer[16384];
    for (;;) {
      ssize_t n = ::read(out.native_handle(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
      if (n == 0) return false;
      if (finished) continue; // reported already: dropped
      std::size_t room = kMaxOutput - std::min(kMaxOutput, result.output.size());
      result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    }
  }

  // Output, as it comes, until the pipe's end (which may come after the command's exit).
  static void ReadOutput(const std::shared_ptr<DeckChild>& child) {
    child->_impl->out.async_wait(boost::asio::posix::descriptor_base::wait_read,
                                 [child](const boost::system::error_code& ec) {
                                   Impl& d = *child->_impl;
                                   if (ec || !d.out.is_open()) return;
                                   if (d.drain()) return ReadOutput(child);
                                   boost::system::error_code ignored;
                                   d.out.close(ignored);
                                 });
  }

  void kill() {
    // The command leads its own group (a new session): this ends what it started as well.
    if (pid > 0 && !finished) ::kill(-pid, SIGKILL);
  }
};

namespace {

// Spawns `sh -c command` in a new session; the pid, or -1 with errno's text in `reason`.
pid_t Spawn(const std::string& command, const DeckEnvironment& environment, const std::string& folder,
            int outFd, std::string& reason) {
  std::vector<std::string> variables;
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    auto name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (auto& [key, value] : environment) replaced = replaced || key == name;
    if (!replaced) variables.emplace_back(entry);
  }
  for (auto& [key, value] : environment) variables.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string shell = "/bin/sh", flag = "-c", text = command;
  char* argv[] = {shell.data(), flag.data(), text.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  // The engine's signal handling is not the command's: default dispositions, nothing blocked.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGHUP, SIGINT, SIGTERM, SIGCHLD, SIGQUIT}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int error = ::posix_spawn(&pid, shell.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    reason = std::strerror(error);
    return -1;
  }
  return pid;
}

} // namespace

DeckChild::DeckChild(std::unique_ptr<Impl> impl) : _impl(std::move(impl)) {}

DeckChild::~DeckChild() { _impl->kill(); }

pid_t DeckChild::pid() const { return _impl->pid; }

void DeckChild::terminate() {
  _impl->kill();
  boost::system::error_code ignored;
  _impl->out.close(ignored);
  _impl->done = nullptr; // what it holds may hold this child
}

std::shared_ptr<DeckChild> DeckChild::start(platform::RunLoop& loop, const std::string& command,
                                            const DeckEnvironment& environment, const std::string& folder,
                                            std::chrono::milliseconds limit, Completion done) {
  auto impl = std::make_unique<Impl>(loop);
  impl->done = std::move(done);
  impl->result.limit = limit;
  std::shared_ptr<DeckChild> child(new DeckChild(std::move(impl)));
  Impl& d = *child->_impl;

  auto failed = [&](std::string reason) {
    d.finished = true;
    d.result.end = DeckChildResult::End::FailedToStart;
    d.result.reason = std::move(reason);
    boost::asio::post(d.io, [child] {
      auto done = std::move(child->_impl->done);
      if (done) done(child->_impl->result);
    });
    return child;
  };
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return failed(std::strerror(errno));
  d.pid = Spawn(command, environment, folder, pipeFds[1], d.result.reason);
  ::close(pipeFds[1]);
  if (d.pid < 0) {
    ::close(pipeFds[0]);
    return failed(d.result.reason);
  }
  // Through syscall(): Debian 12's <sys/pidfd.h> lacks C linkage for C++.
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, d.pid, 0));
  if (pidfd < 0) {
    std::string reason = std::string("pidfd_open: ") + std::strerror(errno);
    ::kill(-d.pid, SIGKILL);
    ::waitpid(d.pid, nullptr, 0);
    ::close(pipeFds[0]);
    return failed(reason);
  }
  ::fcntl(pipeFds[0], F_SETFL, ::fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);
  d.exit.assign(pidfd);
  d.out.assign(pipeFds[0]);

  Impl::ReadOutput(child);

  d.timer.expires_after(limit);
  d.timer.async_wait([child](const boost::system::error_code& ec) {
    Impl& d = *child->_impl;
    if (ec || d.finished) return;
    d.timedOut = true;
    d.kill();
  });

  d.exit.async_wait(boost::asio::posix::descriptor_base::wait_read,
                    [child](const boost::system::error_code&) {
                      Impl& d = *child->_impl;
                      int status = 0;
                      while (::waitpid(d.pid, &status, 0) < 0 && errno == EINTR) {
                      }
                      // What the command wrote before it exited is in the pipe now. A process
                      // it left in the background may still hold the pipe: it stays open, read
                      // and dropped, until its end, so that such a process never gets SIGPIPE.
                      boost::system::error_code ignored;
                      if (d.out.is_open() && !d.drain()) d.out.close(ignored);
                      d.finished = true;
                      d.exit.close(ignored);
                      d.timer.cancel();
                      auto& r = d.result;
                      if (d.timedOut) {
                        r.end = DeckChildResult::End::TimedOut;
                      } else if (WIFSIGNALED(status)) {
                        r.end = DeckChildResult::End::Signalled;
                        r.status = WTERMSIG(status);
                      } else {
                        r.end = DeckChildResult::End::Exited;
                        r.status = WEXITSTATUS(status);
                      }
                      auto done = std::move(d.done);
                      if (done) done(r);
                    });
  return child;
}

} // namespace deck
