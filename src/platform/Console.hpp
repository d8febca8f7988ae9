#pragma once
// The console: one line per message on standard error, prefixed like the system log facility
// of desktop platforms: "2026-01-31 09:41:07.123 program[pid] message".

#include <string>
#include <string_view>

namespace platform {

/// Writes `message` as one console line (a "\n" is added) with one write, so that lines from
/// several threads never interleave. Failures are ignored. Thread-safe.
void ConsoleLog(std::string_view message);

/// The prefix ConsoleLog puts before a message at the current time, including its final space.
std::string ConsolePrefix();

} // namespace platform
