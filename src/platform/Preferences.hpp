#pragma once
// Per-user preferences, one JSON object per domain.
//
// A domain's preferences live in "$XDG_CONFIG_HOME/<domain>.json" (XDG_CONFIG_HOME defaults to
// "~/.config" and counts only when it holds an absolute path). Each domain's file is read once
// per process, on the first lookup in that domain; later changes take effect at the next
// start. A missing, unreadable or invalid file, or one whose top level is not an object,
// means "no preferences" for that domain; lookups never fail and never throw.
// Thread-safe.

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace platform {

/// The value of `key` in `domain`'s preferences, or a null value when there is none.
nlohmann::json PreferenceValue(const std::string& key, const std::string& domain);

/// The file that holds `domain`'s preferences for the current environment.
std::string PreferencesFilePath(const std::string& domain);

} // namespace platform
