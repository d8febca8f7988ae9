#include "platform/Log.hpp"

#include <atomic>
#include <utility>

namespace platform {

namespace {

std::atomic<LogSink*> gSink{nullptr};

} // namespace

void SetLogSink(LogSink* sink) { gSink.store(sink, std::memory_order_release); }

bool LogEnabled(const char* category) {
  LogSink* sink = gSink.load(std::memory_order_acquire);
  return sink != nullptr && sink->enabled(category);
}

void LogWrite(const char* category, std::string line) {
  if (LogSink* sink = gSink.load(std::memory_order_acquire)) sink->write(category, std::move(line));
}

} // namespace platform
