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

#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>

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

namespace {

using Descriptor = boost::asio::posix::stream_descriptor;

// Read at most this much in one task of the loop, so that a command that writes without pause
// cannot keep the loop from its other events.
constexpr std::size_t kReadBatch = 64 * 1024;

} // namespace

struct DeckChild::Impl {
  explicit Impl(platform::RunLoop& loop)
      : io(platform::detail::IoContext(loop)), exit(io), out(io, &result.output, kMaxOutput),
        err(io, &result.errors, kMaxErrorOutput), timer(io) {}
  ~Impl() {
    Forget(out);
    Forget(err);
  }

  // One of the command's output pipes, read end.
  struct Pipe {
    Pipe(boost::asio::io_context& io, std::string* k, std::size_t c) : fd(io), keep(k), cap(c) {}
    Descriptor fd;
    std::string* keep; // where the output goes while the command runs
    std::size_t cap;
    std::size_t drained = 0; // bytes read after the command's exit
    bool parked = false;     // no longer read, only watched for its end
  };

  enum class State { Waiting, Running, Ended, Terminated };

  boost::asio::io_context& io;
  std::string command;
  DeckEnvironment environment;
  std::string folder;
  State state = State::Waiting;
  pid_t pid = -1;
  Descriptor exit; // the pidfd: readable once the process has ended
  DeckChildResult result;
  Pipe out, err;
  boost::asio::steady_timer timer; // the time limit, then the drain after the exit
  bool timedOut = false;
  Completion done;

  static Impl& Of(const std::shared_ptr<DeckChild>& child) { return *child->_impl; }

  void kill() {
    // The command leads its own group (a new session): this ends what it started as well.
    if (pid > 0 && state == State::Running) ::kill(-pid, SIGKILL);
  }

  // Reads what `pipe` holds now, at most `limit` bytes; false once the pipe has ended (then it is
  // closed). While the command runs the output is kept up to the pipe's cap; after it, counted
  // and dropped.
  bool drain(Pipe& pipe, std::size_t limit) {
    char buffer[16384];
    std::size_t total = 0;
    while (total < limit && pipe.fd.is_open()) {
      ssize_t n = ::read(pipe.fd.native_handle(), buffer, std::min(sizeof buffer, limit - total));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n <= 0) {
        Close(pipe);
        return false;
      }
      total += static_cast<std::size_t>(n);
      if (state == State::Running) {
        std::size_t room = pipe.cap - std::min(pipe.cap, pipe.keep->size());
        pipe.keep->append(buffer, std::min(room, static_cast<std::size_t>(n)));
      } else {
        pipe.drained += static_cast<std::size_t>(n);
      }
    }
    return pipe.fd.is_open();
  }

  static void Launch(const std::shared_ptr<DeckChild>& child);
  static void Fail(const std::shared_ptr<DeckChild>& child, std::string reason);
  static void Exited(const std::shared_ptr<DeckChild>& child);
  static void Read(const std::shared_ptr<DeckChild>& child, Pipe& pipe);
  static void ReadNow(const std::shared_ptr<DeckChild>& child, Pipe& pipe);
  static void Park(const std::shared_ptr<DeckChild>& child, Pipe& pipe);
  static void Close(Pipe& pipe);
  static void Forget(Pipe& pipe); // takes a parked pipe off the shared list
  static void ReleaseSlot();
};

namespace {

// What all children of the process share: the running slots, the queue of commands waiting for
// one, and the parked pipes, oldest first. Children of several loops may use it at once.
struct Shared {
  struct Parked {
    std::weak_ptr<DeckChild> child;
    DeckChild::Impl::Pipe* pipe;
  };
  std::mutex mutex;
  std::size_t running = 0;
  std::deque<std::shared_ptr<DeckChild>> waiting;
  std::list<Parked> parked;
  std::map<const DeckChild::Impl::Pipe*, std::list<Parked>::iterator> parkedAt;
};

// Never destroyed: children still waiting at exit must not outlive their loops' destruction.
Shared& TheShared() {
  static Shared* shared = new Shared;
  return *shared;
}

// Spawns `sh -c command` in a new session with exactly three descriptors: /dev/null as standard
// input, `outFd` and `errFd` as standard output and error. The pid, or -1 with errno's text in
// `reason`.
//
// posix_spawn rather than fork: glibc runs the child on a vfork-like clone without running any
// of our code in it, so nothing async-signal-unsafe can happen there, whatever threads or locks
// the engine has. Everything the engine opens itself is close-on-exec, but libraries (sd-bus,
// Asio, OpenSSL, mosquitto) may open descriptors we do not control, and another thread may open
// one without the flag at the wrong moment; so the child also closes every descriptor above 2
// before the exec (posix_spawn_file_actions_addclosefrom_np, glibc 2.34 and later: close_range in
// the child, with a fallback that walks /proc/self/fd).
pid_t Spawn(const std::string& command, const DeckEnvironment& environment, const std::string& folder,
            int outFd, int errFd, std::string& reason) {
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
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
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

// A running command ended: its slot goes to the first waiting one, if any.
void DeckChild::Impl::ReleaseSlot() {
  Shared& shared = TheShared();
  std::shared_ptr<DeckChild> next;
  {
    std::lock_guard lock(shared.mutex);
    if (shared.waiting.empty()) {
      --shared.running;
      return;
    }
    next = std::move(shared.waiting.front());
    shared.waiting.pop_front();
  }
  boost::asio::post(Of(next).io, [next] { Launch(next); });
}

void DeckChild::Impl::Fail(const std::shared_ptr<DeckChild>& child, std::string reason) {
  Impl& d = Of(child);
  d.state = State::Ended;
  d.result.end = DeckChildResult::End::FailedToStart;
  d.result.reason = std::move(reason);
  boost::asio::post(d.io, [child] {
    auto done = std::move(Of(child).done);
    if (done) done(Of(child).result);
  });
}

// Starts the command, which holds a running slot.
void DeckChild::Impl::Launch(const std::shared_ptr<DeckChild>& child) {
  Impl& d = Of(child);
  if (d.state != State::Waiting) return ReleaseSlot(); // terminated while it waited
  int outFds[2], errFds[2];
  if (::pipe2(outFds, O_CLOEXEC) != 0) {
    ReleaseSlot();
    return Fail(child, std::strerror(errno));
  }
  if (::pipe2(errFds, O_CLOEXEC) != 0) {
    std::string reason = std::strerror(errno);
    ::close(outFds[0]);
    ::close(outFds[1]);
    ReleaseSlot();
    return Fail(child, reason);
  }
  std::string reason;
  d.pid = Spawn(d.command, d.environment, d.folder, outFds[1], errFds[1], reason);
  ::close(outFds[1]);
  ::close(errFds[1]);
  // Through syscall(): Debian 12's <sys/pidfd.h> lacks C linkage for C++. A pidfd is always
  // close-on-exec.
  int pidfd = d.pid < 0 ? -1 : static_cast<int>(::syscall(SYS_pidfd_open, d.pid, 0));
  if (d.pid > 0 && pidfd < 0) {
    reason = std::string("pidfd_open: ") + std::strerror(errno);
    ::kill(-d.pid, SIGKILL);
    ::waitpid(d.pid, nullptr, 0);
    d.pid = -1;
  }
  if (d.pid < 0) {
    ::close(outFds[0]);
    ::close(errFds[0]);
    ReleaseSlot();
    return Fail(child, reason);
  }
  d.state = State::Running;
  for (int fd : {outFds[0], errFds[0]}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  d.exit.assign(pidfd);
  d.out.fd.assign(outFds[0]);
  d.err.fd.assign(errFds[0]);
  Read(child, d.out);
  Read(child, d.err);

  d.timer.expires_after(d.result.limit);
  d.timer.async_wait([child](const boost::system::error_code& ec) {
    Impl& d = Of(child);
    if (ec || d.state != State::Running) return;
    d.timedOut = true;
    d.kill();
  });
  d.exit.async_wait(Descriptor::wait_read, [child](const boost::system::error_code&) { Exited(child); });
}

// Output, as it comes, until the pipe's end, the end of the drain after the exit, or the end.
void DeckChild::Impl::Read(const std::shared_ptr<DeckChild>& child, Pipe& pipe) {
  pipe.fd.async_wait(Descriptor::wait_read, [child, &pipe](const boost::system::error_code& ec) {
    if (ec || !pipe.fd.is_open() || pipe.parked) return;
    ReadNow(child, pipe);
  });
}

void DeckChild::Impl::ReadNow(const std::shared_ptr<DeckChild>& child, Pipe& pipe) {
  Impl& d = Of(child);
  if (!pipe.fd.is_open() || pipe.parked) return;
  const bool running = d.state == State::Running;
  if (!running && pipe.drained >= kDrainAfterExit) return Park(child, pipe);
  std::size_t limit = running ? kReadBatch : kDrainAfterExit - pipe.drained;
  if (!d.drain(pipe, limit)) return; // its end: closed
  if (!running && pipe.drained >= kDrainAfterExit) return Park(child, pipe);
  // Stopped after a full batch: the rest comes in a later task, after the loop's other events.
  int available = 0;
  if (::ioctl(pipe.fd.native_handle(), FIONREAD, &available) == 0 && available > 0) {
    boost::asio::post(d.io, [child, &pipe] { ReadNow(child, pipe); });
    return;
  }
  Read(child, pipe);
}

// Stops reading a pipe after the command's exit but keeps it open until its last writer goes.
void DeckChild::Impl::Park(const std::shared_ptr<DeckChild>& child, Pipe& pipe) {
  if (!pipe.fd.is_open() || pipe.parked) return;
  pipe.parked = true;
  boost::system::error_code ignored;
  pipe.fd.cancel(ignored);
  // Its writers may have gone already, with unread data in it.
  pollfd state{pipe.fd.native_handle(), 0, 0};
  if (::poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLERR))) {
    pipe.fd.close(ignored);
    return;
  }
  // Completes on POLLHUP (every writer gone) or an error, never for data.
  pipe.fd.async_wait(Descriptor::wait_error, [child, &pipe](const boost::system::error_code& ec) {
    if (!ec) Close(pipe);
  });
  Shared& shared = TheShared();
  std::vector<Shared::Parked> evicted;
  {
    std::lock_guard lock(shared.mutex);
    shared.parked.push_back({child, &pipe});
    shared.parkedAt[&pipe] = std::prev(shared.parked.end());
    while (shared.parked.size() > kMaxParkedPipes) {
      evicted.push_back(shared.parked.front());
      shared.parkedAt.erase(shared.parked.front().pipe);
      shared.parked.pop_front();
    }
  }
  for (auto& oldest : evicted)
    if (auto owner = oldest.child.lock())
      boost::asio::post(Of(owner).io, [owner, pipe = oldest.pipe] { Close(*pipe); });
}

void DeckChild::Impl::Close(Pipe& pipe) {
  Forget(pipe);
  boost::system::error_code ignored;
  pipe.fd.close(ignored);
}

void DeckChild::Impl::Forget(Pipe& pipe) {
  if (pipe.parked) {
    Shared& shared = TheShared();
    std::lock_guard lock(shared.mutex);
    if (auto it = shared.parkedAt.find(&pipe); it != shared.parkedAt.end()) {
      shared.parked.erase(it->second);
      shared.parkedAt.erase(it);
    }
  }
}

void DeckChild::Impl::Exited(const std::shared_ptr<DeckChild>& child) {
  Impl& d = Of(child);
  int status = 0;
  while (::waitpid(d.pid, &status, 0) < 0 && errno == EINTR) {
  }
  boost::system::error_code ignored;
  d.exit.close(ignored);
  if (d.state == State::Terminated) return; // its slot went at terminate()
  // What the command wrote before it exited is in the pipes now.
  d.drain(d.out, kReadBatch);
  d.drain(d.err, kReadBatch);
  d.state = State::Ended;
  ReleaseSlot();
  // Processes it left in the background may still hold the pipes: what they write is read and
  // dropped for a while, then the pipes are parked.
  if (d.out.fd.is_open() || d.err.fd.is_open()) {
    d.timer.expires_after(kDrainTime);
    d.timer.async_wait([child](const boost::system::error_code& ec) {
      if (ec) return;
      Park(child, Of(child).out);
      Park(child, Of(child).err);
    });
  }
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
}

DeckChild::DeckChild(std::unique_ptr<Impl> impl) : _impl(std::move(impl)) {}

DeckChild::~DeckChild() { _impl->kill(); }

pid_t DeckChild::pid() const { return _impl->pid; }

void DeckChild::terminate() {
  Impl& d = *_impl;
  d.done = nullptr; // what it holds may hold this child
  if (d.state == Impl::State::Waiting) {
    Shared& shared = TheShared();
    std::lock_guard lock(shared.mutex);
    std::erase_if(shared.waiting, [this](const std::shared_ptr<DeckChild>& c) { return c.get() == this; });
  }
  // Killed, it is as good as ended: its slot goes to the next one now, so that a loop that
  // stops without seeing the exit (engine shutdown) leaves no slot taken.
  bool running = d.state == Impl::State::Running;
  d.kill();
  if (d.state != Impl::State::Ended) d.state = Impl::State::Terminated;
  if (running) Impl::ReleaseSlot();
  Impl::Close(d.out);
  Impl::Close(d.err);
  boost::system::error_code ignored;
  d.timer.cancel(ignored);
}

std::shared_ptr<DeckChild> DeckChild::start(platform::RunLoop& loop, const std::string& command,
                                            const DeckEnvironment& environment, const std::string& folder,
                                            std::chrono::milliseconds limit, Completion done) {
  auto impl = std::make_unique<Impl>(loop);
  impl->command = command;
  impl->environment = environment;
  impl->folder = folder;
  impl->done = std::move(done);
  impl->result.limit = limit;
  std::shared_ptr<DeckChild> child(new DeckChild(std::move(impl)));
  Shared& shared = TheShared();
  {
    std::lock_guard lock(shared.mutex);
    if (shared.running >= kMaxRunningCommands) {
      shared.waiting.push_back(child);
      return child;
    }
    ++shared.running;
  }
  Impl::Launch(child);
  return child;
}

} // namespace deck
