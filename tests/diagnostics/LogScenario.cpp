// A helper program for the logging tests: runs a sequence of logging steps given on its command
// line in a fresh process, so that every scenario starts with the facility's once-per-process
// state (preferences, log folder, writer) untouched. Its environment (HOME, XDG_*) is set by the
// test to temporary folders.
//
// Steps (each word is one argument):
//   log CATEGORY MESSAGE     XLOG(CATEGORY, "%@", MESSAGE)
//   big CATEGORY N           XLOG(CATEGORY, "%@", N times 'x')
//   format CATEGORY FORMAT   XLOG(CATEGORY, FORMAT, 42, "text") (for printf-style checks)
//   lazy CATEGORY            XLOG with an argument whose evaluation is counted; prints "evaluated=N"
//   should CATEGORY          prints "CATEGORY=1" or "CATEGORY=0"
//   zany                     prints "zany=1" or "zany=0"
//   assert                   a failing XASSERT, then prints "continued"
//   quit                     XErrorHandler::Quitting()
//   ondisk MESSAGE           logs MESSAGE under "display", then prints "ondisk=1" when the
//                            log file already holds it as the call returns, else "ondisk=0"
//   threads N M              N threads log M messages each ("t<i> m<j>"; every 10th message is
//                            logged 3 times in a row), then all are joined
#include "diagnostics/XErrorHandler.hpp"

#include "diagnostics/ZBSystemFolderExtension.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int gEvaluated = 0;

int Evaluate() { return ++gEvaluated; }

std::string LogFileText() {
  auto folder = ZBSystemFolderExtension::pathForSystemFolder(ZBSystemFolder::UserLogs, "Zorbel", false);
  std::string path = *folder + "/StreamDeck.log";
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(path, ignored)) return {}; // /dev/full would read forever
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

} // namespace

int main(int argc, char** argv) {
  platform::SetLogSink(&XErrorHandler::LogSink()); // as the program's main does
  std::vector<std::string> args(argv + 1, argv + argc);
  auto operand = [&](std::size_t& i) -> const std::string& {
    if (++i >= args.size()) {
      std::fprintf(stderr, "LogScenario: missing operand\n");
      std::exit(2);
    }
    return args[i];
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& step = args[i];
    if (step == "log") {
      const std::string& category = operand(i);
      const std::string& message = operand(i);
      XLOG(category.c_str(), "%@", message);
    } else if (step == "big") {
      const std::string& category = operand(i);
      const std::size_t size = std::strtoul(operand(i).c_str(), nullptr, 10);
      XLOG(category.c_str(), "%@", std::string(size, 'x'));
    } else if (step == "format") {
      const std::string& category = operand(i);
      const std::string& format = operand(i);
      XLOG(category.c_str(), format.c_str(), 42, "text");
    } else if (step == "lazy") {
      const std::string& category = operand(i);
      XLOG(category.c_str(), "lazy %d", Evaluate());
      std::printf("evaluated=%d\n", gEvaluated);
    } else if (step == "should") {
      const std::string& category = operand(i);
      std::printf("%s=%d\n", category.c_str(), XErrorHandler::MaybeShouldLog(category.c_str()) ? 1 : 0);
    } else if (step == "zany") {
      std::printf("zany=%d\n", XErrorHandler::IsZany() ? 1 : 0);
    } else if (step == "assert") {
      int value = 1;
      XASSERT(value == 2);
      std::printf("continued\n");
    } else if (step == "quit") {
      XErrorHandler::Quitting();
    } else if (step == "ondisk") {
      const std::string& message = operand(i);
      XLOG("display", "%@", message);
      std::printf("ondisk=%d\n", LogFileText().find(message) != std::string::npos ? 1 : 0);
    } else if (step == "threads") {
      int threads = std::atoi(operand(i).c_str());
      int messages = std::atoi(operand(i).c_str());
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, messages] {
          for (int m = 0; m < messages; ++m) {
            int times = m % 10 == 0 ? 3 : 1;
            for (int k = 0; k < times; ++k) XLOG("display", "t%d m%d", t, m);
          }
        });
      }
      for (auto& worker : workers) worker.join();
    } else {
      std::fprintf(stderr, "LogScenario: unknown step %s\n", step.c_str());
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
