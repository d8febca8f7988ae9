#include "diagnostics/ZBSystemFolderExtension.hpp"

#include "platform/Environment.hpp"

#include <cstdlib>
#include <sys/stat.h>

namespace {

/// "~" + `rest` with the tilde replaced by the home folder; left as it is without one.
std::string ExpandTilde(const std::string& rest) {
  std::string home = platform::HomeDirectory();
  if (home.empty()) return "~" + rest;
  return (home == "/" ? "" : home) + rest;
}

/// The XDG folder, or nothing when there is no usable value and no home folder to default to.
std::optional<std::string> Xdg(const char* variable, const char* defaultUnderHome) {
  std::string path = platform::XdgBaseDirectory(variable, defaultUnderHome);
  if (path.empty()) return std::nullopt;
  return path;
}

std::string Append(const std::string& base, const char* component) {
  return ZBSystemFolderExtension::stringByAppendingPathComponent(base, component);
}

} // namespace

std::string ZBSystemFolderExtension::stringByAppendingPathComponent(const std::string& base,
                                                                    const std::string& component) {
  std::string left = platform::WithoutTrailingSlash(base);
  std::size_t start = component.find_first_not_of('/');
  std::string right = start == std::string::npos ? std::string() : component.substr(start);
  if (right.empty()) return left;
  if (left.empty()) return right;
  // Built by appending: g++ 12 at -O3 reports a false -Wrestrict for `"/" + std::string`.
  if (left != "/") left += '/';
  left += platform::WithoutTrailingSlash(right);
  return left;
}

std::optional<std::string> ZBSystemFolderExtension::pathForSystemFolder(ZBSystemFolder kind) {
  switch (kind) {
  case ZBSystemFolder::Temporary: {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr && tmp[0] == '/') return platform::WithoutTrailingSlash(tmp);
    return "/tmp";
  }
  case ZBSystemFolder::SystemApplications:
    return "/System/Applications";
  case ZBSystemFolder::Applications:
    return "/usr/share/applications";
  case ZBSystemFolder::UserApplications: {
    auto data = Xdg("XDG_DATA_HOME", ".local/share");
    return data ? Append(*data, "applications") : ExpandTilde("/Applications");
  }
  case ZBSystemFolder::SystemUtilities:
    return Append(*pathForSystemFolder(ZBSystemFolder::SystemApplications), "Utilities");
  case ZBSystemFolder::Utilities:
    return Append(*pathForSystemFolder(ZBSystemFolder::Applications), "Utilities");
  case ZBSystemFolder::UserUtilities:
    return Append(*pathForSystemFolder(ZBSystemFolder::UserApplications), "Utilities");
  case ZBSystemFolder::UserLogs: {
    auto state = Xdg("XDG_STATE_HOME", ".local/state");
    return state ? *state : Append(*pathForSystemFolder(ZBSystemFolder::UserLibrary), "Logs");
  }
  case ZBSystemFolder::UserPreferences: {
    auto config = Xdg("XDG_CONFIG_HOME", ".config");
    return config ? *config : Append(*pathForSystemFolder(ZBSystemFolder::UserLibrary), "Preferences");
  }
  case ZBSystemFolder::UserApplicationSupport: {
    auto data = Xdg("XDG_DATA_HOME", ".local/share");
    return data ? *data : Append(*pathForSystemFolder(ZBSystemFolder::UserLibrary), "Application Support");
  }
  case ZBSystemFolder::UserCaches: {
    auto cache = Xdg("XDG_CACHE_HOME", ".cache");
    return cache ? *cache : Append(*pathForSystemFolder(ZBSystemFolder::UserLibrary), "Caches");
  }
  case ZBSystemFolder::UserLibrary: {
    std::string home = platform::HomeDirectory();
    if (!home.empty()) return Append(home, ".local");
    return ExpandTilde("/Library");
  }
  }
  return std::nullopt;
}

std::optional<std::string> ZBSystemFolderExtension::pathForSystemFolder(ZBSystemFolder kind,
                                                                        const std::string& subfolder,
                                                                        bool creating) {
  auto base = pathForSystemFolder(kind);
  if (!base) return std::nullopt;
  std::string path = stringByAppendingPathComponent(*base, subfolder);
  // One folder only, outcome ignored: an existing folder or a missing parent is no error here.
  if (creating) ::mkdir(path.c_str(), 0777);
  return path;
}
