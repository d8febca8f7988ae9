#pragma once
// Collecting the log lines of one category while a test runs, without a log file: a
// LineCapture installs the process's recording sink and keeps (or hands to its callback) every
// finished line of its category from its construction to its destruction. The sink itself is never destroyed,
// so a thread still logging after the capture ends finds it and is ignored. One capture at a time.
// Header-only; the test links zb_platform.

#include "platform/Log.hpp"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class LineCapture {
public:
  using Callback = std::function<void(const std::string& line)>;

  explicit LineCapture(std::string category = "WebSocket") : LineCapture(nullptr, std::move(category)) {}
  /// Hands each line to `callback` (called with the capture's lock held) instead of keeping it.
  explicit LineCapture(Callback callback, std::string category = "WebSocket") {
    Recorder& r = recorder();
    {
      std::lock_guard lock(r.mutex);
      r.category = std::move(category);
      r.forward = std::move(callback);
      r.lines.clear();
      r.active = true;
    }
    platform::SetLogSink(&r);
  }
  ~LineCapture() {
    Recorder& r = recorder();
    std::lock_guard lock(r.mutex);
    r.active = false;
    r.forward = nullptr;
  }
  LineCapture(const LineCapture&) = delete;
  LineCapture& operator=(const LineCapture&) = delete;

  /// The lines so far, in the order they were written.
  std::vector<std::string> lines() const {
    Recorder& r = recorder();
    std::lock_guard lock(r.mutex);
    return r.lines;
  }

private:
  struct Recorder final : platform::LogSink {
    std::mutex mutex;
    bool active = false;
    std::string category;
    Callback forward;
    std::vector<std::string> lines;

    bool enabled(const char* code) override {
      std::lock_guard lock(mutex);
      return active && code != nullptr && category == code;
    }
    void write(const char* code, std::string line) override {
      std::lock_guard lock(mutex);
      if (!active || code == nullptr || category != code) return;
      if (forward)
        forward(line);
      else
        lines.push_back(std::move(line));
    }
  };

  static Recorder& recorder() {
    static auto* r = new Recorder;
    return *r;
  }
};

} // namespace testsupport
