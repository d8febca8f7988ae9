#pragma once
// The log channel of the TLS and proxy units.
//
// These units sit below the connection and are built and tested on their own, so they do not
// call the logging facility directly: the program installs one hook at start that forwards to
// the "WebSocket" category. Until a hook is installed nothing is written. The hook may be
// called from any thread; installing it is meant to happen once, before connections start.

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

/// Installs the hook: `enabled` is asked before a line is formatted, `write` receives the line.
void WSSetLogHook(std::function<bool()> enabled, std::function<void(const std::string&)> write);

/// True when a hook is installed and says lines are wanted.
bool WSLogEnabled();

/// Hands one finished line to the hook.
void WSLogWrite(const std::string& line);

/// Formats with snprintf-style specifiers only when logging is enabled, then writes.
#define WS_LOG(...)                                                                                          \
  do {                                                                                                       \
    if (WSLogEnabled()) WSLogWrite(WSLogFormat(__VA_ARGS__));                                                \
  } while (0)

/// printf formatting into a string.
std::string WSLogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
