#pragma once
// The user's home folder and XDG base directories, read from the environment on every call
// (nothing is cached, so tests can point them at temporary folders).

#include <string>

namespace platform {

/// $HOME when it is an absolute path, else the password database's entry for the user, else "".
std::string HomeDirectory();

/// The XDG base directory named by `variable` (for instance "XDG_STATE_HOME") when it holds an
/// absolute path, else `defaultUnderHome` (for instance ".local/state") inside the home folder.
/// Empty when neither gives an absolute path. Never ends in "/" (unless it is "/").
std::string XdgBaseDirectory(const char* variable, const char* defaultUnderHome);

/// `path` without trailing "/" characters, keeping a lone "/".
std::string WithoutTrailingSlash(std::string path);

} // namespace platform
