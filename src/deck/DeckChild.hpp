#pragma once
// One command of the scripting engine, run on a run loop without a thread of its own.
//
// The command runs as `sh -c <command>` in `folder`, in a new session (so it has no terminal and
// is the leader of its own process group), with standard input from /dev/null, standard output
// into a pipe and standard error shared with the engine (the journal, under systemd). Its exit
// (a pidfd), its output (the pipe) and its time limit (a timer) are events of the loop: nothing
// is polled and nothing blocks the loop. At most the first kMaxOutput bytes of output are kept;
// the rest is read and dropped so that the command never blocks on a full pipe.
//
// When the time limit passes, the whole process group is killed and the command counts as
// failed. Processes the command leaves running in the background are not waited for: the result
// is reported when the command itself exits, with the output written until then; what they
// write later is read and dropped (they never get SIGPIPE for it).
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

  /// The process ID (also its process group's), or -1 when it did not start.
  pid_t pid() const;

  /// Kills the process group now; the completion will not run.
  void terminate();

  struct Impl;

private:
  explicit DeckChild(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> _impl;
};

} // namespace deck
