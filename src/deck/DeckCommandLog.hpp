#pragma once
// What the engine logs of its commands' own text: their standard error, line by line, and titles
// that are not UTF-8.
//
// A command's standard error is logged with a prefix that names the key and the command's kind
// ("R1C1 title: …"). A command that says the same thing on every refresh would fill the log, so a
// line equal to the one logged before it under the same prefix is only counted; the count is
// logged once something else comes ("R1C1 title: <line> (repeated 12 times)": the line came
// twelve more times), or a run says nothing.

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace deck {

/// Longest line logged as it is; longer ones are cut and end with "…".
inline constexpr std::size_t kMaxLoggedLineBytes = 300;
/// Lines logged of one command's standard error; the rest are counted in one line.
inline constexpr std::size_t kMaxLoggedLinesPerRun = 20;

/// `bytes` with each byte that does not belong to a valid UTF-8 character replaced by U+FFFD.
std::string DeckReplaceInvalidUTF8(std::string_view bytes);

/// One line as the log shows it: invalid UTF-8 as U+FFFD, control characters (C0, DEL, C1)
/// written as JSON writes them in a string ("\n", "\u001b"), cut after kMaxLoggedLineBytes.
std::string DeckLoggableLine(std::string_view line);

class DeckErrorLog {
public:
  explicit DeckErrorLog(std::function<void(const std::string&)> log) : _log(std::move(log)) {}

  /// Logs the standard error of one run of a command under `prefix` ("R1C1 press").
  void add(const std::string& prefix, std::string_view errors);

private:
  struct Last {
    std::string line;
    std::size_t repeats = 0;
  };
  void flush(const std::string& prefix, Last& last);
  std::function<void(const std::string&)> _log;
  std::map<std::string, Last> _last; // by prefix
};

} // namespace deck
