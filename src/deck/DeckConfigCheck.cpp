#include "deck/DeckConfigCheck.hpp"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace deck {

std::vector<std::string> DeckConfigFileProblems(const DeckConfig& config, const std::string& home) {
  std::vector<std::string> problems;
  for (const DeckKey& key : config.keys) {
    if (key.image.empty()) continue;
    std::string path = DeckExpandHome(key.image, home);
    if (!path.starts_with('/')) path = home + "/" + path;
    // stat, not open: a FIFO named here must not block the check.
    struct stat st {};
    std::string reason;
    if (::stat(path.c_str(), &st) != 0)
      reason = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
      reason = S_ISDIR(st.st_mode) ? "a folder, not an image file" : "not a regular file";
    if (!reason.empty())
      problems.push_back(config.path + ": keys." + key.id + ": image " + path + ": " + reason);
  }
  return problems;
}

std::string DeckConfigSummary(const DeckConfig& config) {
  return "OK: " + std::to_string(config.keys.size()) + " keys";
}

} // namespace deck
