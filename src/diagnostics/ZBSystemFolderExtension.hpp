#pragma once
// Well-known folders of the user and the system, by kind.
//
// Each kind keeps its number and its fallback; on Linux the folders are:
//   0 Temporary              $TMPDIR                            fallback "/tmp"
//   1 SystemApplications     "/System/Applications"
//   2 Applications           "/usr/share/applications"          fallback "/Applications"
//   3 UserApplications       $XDG_DATA_HOME/applications        fallback "~/Applications"
//   4 SystemUtilities        kind 1 + "Utilities"
//   5 Utilities              kind 2 + "Utilities"
//   6 UserUtilities          kind 3 + "Utilities"
//   7 UserLogs               $XDG_STATE_HOME   (~/.local/state)
//   8 UserPreferences        $XDG_CONFIG_HOME  (~/.config)
//   9 UserApplicationSupport $XDG_DATA_HOME    (~/.local/share)   fallback kind 11 + "Application Support"
//  10 UserCaches             $XDG_CACHE_HOME   (~/.cache)         fallback kind 11 + "Caches"
//  11 UserLibrary            ~/.local                             fallback "~/Library"
// An XDG variable counts only when it holds an absolute path; otherwise its standard default
// under the home folder is used. The fallbacks apply when no home folder can be found.
// Stateless; callable from any thread.

#include <optional>
#include <string>

enum class ZBSystemFolder : int {
  Temporary = 0,
  SystemApplications = 1,
  Applications = 2,
  UserApplications = 3,
  SystemUtilities = 4,
  Utilities = 5,
  UserUtilities = 6,
  UserLogs = 7,
  UserPreferences = 8,
  UserApplicationSupport = 9,
  UserCaches = 10,
  UserLibrary = 11,
};

struct ZBSystemFolderExtension {
  /// The folder of `kind`, or nothing for a kind outside 0 to 11.
  static std::optional<std::string> pathForSystemFolder(ZBSystemFolder kind);

  /// The folder of `kind` with `subfolder` (one component or a relative path) appended. When
  /// `creating`, that one last folder is created if missing (its parent is not: a missing
  /// parent, like an existing folder, is silently no creation). Nothing for an unknown kind.
  static std::optional<std::string> pathForSystemFolder(ZBSystemFolder kind, const std::string& subfolder,
                                                        bool creating);

  /// `base` + "/" + `component`, with exactly one "/" between them (empty parts are skipped).
  static std::string stringByAppendingPathComponent(const std::string& base, const std::string& component);
};
