#pragma once
// Runs the LogScenario helper in a fresh process whose home folder, XDG folders and temporary
// folder all lie inside a temporary folder, and reads back what it wrote.

#include "support/Process.hpp"
#include "support/TempDir.hpp"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

class LogScenarioRunner {
public:
  LogScenarioRunner() {
    std::filesystem::create_directories(home.file("home"));
    environment["HOME"] = home.file("home");
    environment["TMPDIR"] = home.path();
    for (const char* variable : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
      environment[variable] = std::nullopt;
  }

  /// Writes the plug-in's preferences file (~/.config/com.zorbel.streamdeck.json).
  void setPreferences(const std::string& json) {
    std::filesystem::create_directories(home.file("home/.config"));
    testsupport::WriteFile(home.file("home/.config/com.zorbel.streamdeck.json"), json);
  }

  std::string logFolder() const { return home.file("home/.local/state/Zorbel"); }

  /// Makes the log folder ahead of the run, private as the plug-in makes it (whatever the umask).
  void createLogFolder() const {
    std::filesystem::create_directories(logFolder());
    std::filesystem::permissions(logFolder(), std::filesystem::perms::owner_all);
  }
  std::string logFile() const { return logFolder() + "/StreamDeck.log"; }
  std::string log() const { return testsupport::ReadFile(logFile()); }

  /// The log file's lines, without their "\n".
  std::vector<std::string> logLines() const {
    std::vector<std::string> lines;
    std::string text = log(), line;
    for (char c : text) {
      if (c == '\n') {
        lines.push_back(line);
        line.clear();
      } else {
        line += c;
      }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
  }

  testsupport::ProcessResult run(std::vector<std::string> steps) {
    steps.insert(steps.begin(), ZB_LOG_SCENARIO_PATH);
    return testsupport::RunProcess(steps, environment, std::chrono::seconds(240));
  }

  testsupport::TempDir home;
  std::map<std::string, std::optional<std::string>> environment;
};
