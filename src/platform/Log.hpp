#pragma once
// The program's log channel, as every layer sees it.
//
// Code logs with XLOG(category, format, args...): the category is asked first and the
// arguments are evaluated and formatted (platform/LogFormat.hpp) only when the sink wants it;
// the finished line then goes to the sink with its category. The sink is what main installs
// (the log file of diagnostics/XErrorHandler.hpp); until one is installed nothing is written.
// All calls may be made from any thread.

#include "platform/LogFormat.hpp"

#include <string>

namespace platform {

/// Where finished log lines go.
class LogSink {
public:
  virtual ~LogSink() = default;
  /// True when lines of `category` are to be written; asked before a line is formatted.
  virtual bool enabled(const char* category) = 0;
  /// Takes one finished line of `category`.
  virtual void write(const char* category, std::string line) = 0;
};

/// Installs the sink that every later log call uses; nullptr removes it. The sink is not owned
/// and must outlive every log call that may reach it. Meant to be called once, in main, before
/// other threads start; tests install their own.
void SetLogSink(LogSink* sink);

/// True when a sink is installed and wants lines of `category`.
bool LogEnabled(const char* category);

/// Hands one finished line to the installed sink, if any.
void LogWrite(const char* category, std::string line);

} // namespace platform

/// The caller's pattern: test the category, and only then evaluate the arguments and format.
#define XLOG(code, ...)                                                                                      \
  do {                                                                                                       \
    if (platform::LogEnabled(code)) platform::LogWrite(code, XLogFormat(__VA_ARGS__));                       \
  } while (0)
