#pragma once
// The program's log file: the sink behind XLOG (platform/Log.hpp) that main installs.
//
// XLOG(category, format, args...) tests the category first and evaluates the arguments only
// when it is enabled; the line's text is made by platform/LogFormat.hpp. This sink decides the
// categories, cleans and caps the line, folds repeats and writes it. All calls may be made from
// any thread; none waits for the log file except Quitting() and every call made after it.
//
// A message longer than 64 KiB is cut and ends with "… [N bytes left out]".
//
// Categories in use: "display" (always written), "Verbose", "Events", "WebSocket" (written when
// the "Debug" preference enables them); the facility also knows "always", "debug", "zany",
// "any" and the echo switch "LOG".

#include "platform/Log.hpp"

#include <initializer_list>
#include <string>

class XErrorHandler {
public:
  /// True when messages of `code` are to be written.
  static bool MaybeShouldLog(const char* code);

  /// Cleans, folds repeats, writes and (when `echo`) echoes one message.
  static void PrivateLogMessage(bool echo, std::string message);

  /// True when the "Zany" preference is the boolean true.
  static bool IsZany();

  /// Called once just before the process exits: returns when every accepted message is on
  /// disk; from then on every log call writes synchronously.
  static void Quitting();

  /// The sink that writes lines here: what main installs with platform::SetLogSink. Lines of a
  /// category are wanted when MaybeShouldLog says so; "always" and "zany" lines, and every line
  /// while "LOG" is enabled, are echoed to the console too. Never destroyed.
  static platform::LogSink& LogSink();
};

/// The report of a failed internal check; always written, whatever the categories.
void XErrorHandlerDebugAssertMessageList(const char* format, std::initializer_list<XLogArgument> args);
template <class... Args> void XErrorHandlerDebugAssertMessage(const char* format, const Args&... args) {
  XErrorHandlerDebugAssertMessageList(format, {XLogArgument(args)...});
}

/// An internal check: when `cond` is false the failure is logged and execution continues.
#define XASSERT(cond)                                                                                        \
  do {                                                                                                       \
    if (!(cond))                                                                                             \
      XErrorHandlerDebugAssertMessage("Assertion Failed: %s, %s file: %s:%ld, value: %ld", #cond, "",        \
                                      __FILE__, static_cast<long>(__LINE__), 0L);                            \
  } while (0)
