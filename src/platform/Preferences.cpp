#include "platform/Preferences.hpp"

#include "platform/Environment.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace platform {

namespace {

/// Preferences are a few keys; anything bigger is not a preferences file (or is /dev/zero).
constexpr std::uintmax_t kMaxFileSize = 1 << 20;

nlohmann::json ReadDomain(const std::string& domain) {
  std::string path = PreferencesFilePath(domain);
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error) ||
      std::filesystem::file_size(path, error) > kMaxFileSize || error)
    return nlohmann::json::object();
  std::ifstream in(path, std::ios::binary);
  if (!in) return nlohmann::json::object();
  std::stringstream text;
  text << in.rdbuf();
  // A malformed file is the user's typo, not a reason to stop: it counts as empty.
  auto parsed = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return nlohmann::json::object();
  return parsed;
}

} // namespace

std::string PreferencesFilePath(const std::string& domain) {
  return XdgBaseDirectory("XDG_CONFIG_HOME", ".config") + "/" + domain + ".json";
}

nlohmann::json PreferenceValue(const std::string& key, const std::string& domain) {
  static std::mutex mutex;
  static std::map<std::string, nlohmann::json>* domains = new std::map<std::string, nlohmann::json>;
  std::lock_guard lock(mutex);
  auto found = domains->find(domain);
  if (found == domains->end()) found = domains->emplace(domain, ReadDomain(domain)).first;
  auto value = found->second.find(key);
  return value == found->second.end() ? nlohmann::json() : *value;
}

} // namespace platform
