#pragma once
// Running a helper program as a child process with a chosen environment, for scenarios that
// depend on state kept once per process (preferences, the log file's writer).

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  int exitCode = -1; // the exit status, or -1 when the child did not exit normally
  int signal = 0;    // the signal that ended the child, if any
  bool timedOut = false;
  std::string out; // everything written to standard output
  std::string err; // everything written to standard error
};

/// Runs `argv` (argv[0] is the program's path) with the current environment changed by
/// `environment` (a value of nullopt removes the variable) and waits for it, for at most
/// `timeout` (after which it is killed). Standard input is /dev/null.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::optional<std::string>>& environment = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

} // namespace testsupport
