#include "platform/Environment.hpp"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

bool IsAbsolute(const char* path) { return path != nullptr && path[0] == '/'; }

} // namespace

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (IsAbsolute(home)) return WithoutTrailingSlash(home);
  struct passwd entry {};
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
      IsAbsolute(result->pw_dir))
    return WithoutTrailingSlash(result->pw_dir);
  return {};
}

std::string XdgBaseDirectory(const char* variable, const char* defaultUnderHome) {
  // The XDG Base Directory rules: a relative value is invalid and must be ignored.
  const char* value = std::getenv(variable);
  if (IsAbsolute(value)) return WithoutTrailingSlash(value);
  std::string home = HomeDirectory();
  if (home.empty()) return {};
  return (home == "/" ? "" : home) + "/" + defaultUnderHome;
}

} // namespace platform
