#pragma once
// One command of the scripting engine, run on a run loop without a thread of its own.
//
// The command runs as `sh -c <command>` in `folder`, in a new session (so it has no terminal and
// is the leader of its own process group), with exactly three descriptors: standard input from
// /dev/null, standard output and standard error each into a pipe of the engine. Nothing else the
// engine holds (its bus connection, log file, other commands' pipes) reaches the command. Its
// exit (a pidfd), its output (the pipes) and its time limit (a timer) are events of the loop:
// nothing is polled and nothing blocks the loop. At most the first kMaxOutput bytes of standard
// output and kMaxErrorOutput bytes of standard error are kept; the rest is read and dropped so
// that the command never blocks on a full pipe while it runs.
//
// At most kMaxRunningCommands commands run at once in the whole process; start() beyond that
// queues the command (pid() is -1 meanwhile), and queued commands start in the order they came
// as running ones end. The time limit counts from the real start.
//
// When the time limit passes, the whole process group is killed and the command counts as
// failed. Processes the command leaves running in the background are not waited for: the result
// is reported when the command itself exits, with the output written until then. What they
// write later is read and dropped for a short while (at most kDrainAfterExit bytes per pipe, for
// at most kDrainTime); then the pipe is no longer read but kept open, so that such a process
// (a GUI program started from a key) never gets SIGPIPE or EPIPE: once the pipe's buffer is
// full, its next write blocks instead. The pipe is closed when its last writer has gone, and
// at most kMaxParkedPipes such pipes are kept (the oldest is closed beyond that).
//
// Lifetime: the child keeps itself alive until its completion has run; dropping every reference
// early changes nothing. terminate() kills the group at once and drops the completion, which
// then never runs (engine shutdown). All members are called on the loop's thread.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace platform {
class RunLoop;
}

namespace deck {

inline constexpr std::size_t kMaxOutput = 64 * 1024;
inline constexpr std::size_t kMaxErrorOutput = 16 * 1024;
inline constexpr std::size_t kMaxRunningCommands = 32;
inline constexpr std::size_t kDrainAfterExit = 64 * 1024;
inline constexpr std::chrono::milliseconds kDrainTime{1000};
inline constexpr std::size_t kMaxParkedPipes = 64;

struct DeckChildResult {
  enum class End {
    Exited,        // the command exited by itself; `status` is its exit status
    Signalled,     // a signal ended it; `status` is the signal
    TimedOut,      // it ran past its time limit and its process group was killed
    FailedToStart, // no process was started; `reason` says why
  };
  End end = End::FailedToStart;
  int status = 0;
  std::chrono::milliseconds limit{0};
  std::string output; // at most kMaxOutput bytes of standard output
  std::string errors; // at most kMaxErrorOutput bytes of standard error
  std::string reason;

  bool succeeded() const { return end == End::Exited && status == 0; }
  /// "exit status 1", "killed by signal 9", "timed out after 10 s and was killed", …
  std::string description() const;
  /// The first line of the output, without its line break (a carriage return included).
  std::string firstLine() const;
};

using DeckEnvironment = std::vector<std::pair<std::string, std::string>>;

class DeckChild : public std::enable_shared_from_this<DeckChild> {
public:
  using Completion = std::function<void(const DeckChildResult&)>;

  /// Starts `command`, with `environment` added to (or replacing entries of) the engine's own.
  /// `done` runs on `loop` once, when the command has ended, or at once (from a task of the
  /// loop, never inside this call) when it could not be started.
  static std::shared_ptr<DeckChild> start(platform::RunLoop& loop, const std::string& command,
                                          const DeckEnvironment& environment, const std::string& folder,
                                          std::chrono::milliseconds limit, Completion done);

  ~DeckChild();
  DeckChild(const DeckChild&) = delete;
  DeckChild& operator=(const DeckChild&) = delete;

  /// The process ID (also its process group's), or -1 when it did not start or still waits for
  /// its turn.
  pid_t pid() const;

  /// Kills the process group now; the completion will not run.
  void terminate();

  struct Impl;

private:
  explicit DeckChild(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> _impl;
};

} // namespace deck
