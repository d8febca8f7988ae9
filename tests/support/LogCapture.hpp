#pragma once
// Reading what a test made the program log. The first call of TestLog() in a process points the
// log at a private folder (XDG_STATE_HOME, XDG_CONFIG_HOME), sets the "Debug" preference,
// installs the log file's sink as main does and calls XErrorHandler::Quitting(), after which
// every log call has written its line when it returns. It must come before anything in the
// process logs (call it first in SetUp). Header-only; the test links zb_diagnostics.

#include "diagnostics/XErrorHandler.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

class LogCapture {
public:
  explicit LogCapture(const std::string& debug) {
    char pattern[] = "/tmp/zb-log-XXXXXX";
    if (::mkdtemp(pattern)) _folder = pattern;
    std::filesystem::create_directories(_folder + "/config");
    std::filesystem::create_directories(_folder + "/state");
    ::setenv("XDG_CONFIG_HOME", (_folder + "/config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (_folder + "/state").c_str(), 1);
    std::ofstream(_folder + "/config/com.zorbel.streamdeck.json") << "{\"Debug\": \"" << debug << "\"}";
    platform::SetLogSink(&XErrorHandler::LogSink());
    XErrorHandler::Quitting();
  }
  ~LogCapture() {
    std::error_code ignored;
    std::filesystem::remove_all(_folder, ignored);
  }

  std::string path() const { return _folder + "/state/Zorbel/StreamDeck.log"; }

  std::string text() const {
    std::ifstream in(path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  /// A position in the log; lines after it are what a test step produced.
  std::size_t mark() const { return text().size(); }

  std::string since(std::size_t mark) const {
    std::string all = text();
    return mark < all.size() ? all.substr(mark) : std::string();
  }

  /// The number of lines after `mark` that contain `fragment`.
  int count(const std::string& fragment, std::size_t mark) const {
    std::istringstream lines(since(mark));
    int n = 0;
    for (std::string line; std::getline(lines, line);)
      if (line.find(fragment) != std::string::npos) ++n;
    return n;
  }

private:
  std::string _folder = "/tmp";
};

/// The process's capture, made on first use with "Debug" = `debug` (later arguments are ignored).
inline LogCapture& TestLog(const std::string& debug = "Verbose Events") {
  static LogCapture capture(debug);
  return capture;
}

} // namespace testsupport
