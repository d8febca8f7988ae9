#pragma once
// The process environment every fuzz target runs in: private XDG folders in a fresh temporary
// folder, so that a target never reads the user's preferences or writes into the user's log.
//
// The "Debug" preference enables the program's log categories (not "all", which would also echo
// every line to standard error), so that the log formatting of hostile values runs too; the log file itself
// is /dev/null (a symbolic link in the Logs folder), since a 60-second run would otherwise write gigabytes.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fuzz {

/// Creates the folders and sets XDG_CONFIG_HOME and XDG_STATE_HOME. Call once, first thing in
/// LLVMFuzzerInitialize. Returns the temporary folder.
inline std::string PrepareEnvironment(const char* debugCategories = "Verbose Events WebSocket") {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/zb-fuzz-XXXXXX";
  if (!mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  const std::string root = templ;
  const std::string config = root + "/config", state = root + "/state";
  const std::string logs = state + "/Zorbel";
  for (const std::string& dir : {config, state, logs}) mkdir(dir.c_str(), 0700);
  if (std::getenv("ZB_FUZZ_LOG")) debugCategories = "all";
  std::ofstream(config + "/com.zorbel.streamdeck.json")
      << "{\"Debug\": \"" << debugCategories << "\", \"Zany\": true}\n";
  if (symlink("/dev/null", (logs + "/StreamDeck.log").c_str()) != 0) std::perror("symlink");
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  return root;
}

} // namespace fuzz
