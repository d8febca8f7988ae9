#pragma once
// The scripting engine's configuration: one table per key in a TOML file.
//
//   [keys.R1C1]                 the key's button ID; R<row>C<column> also gives its position
//   press    = "command"        run with sh -c on key down
//   release  = "command"        run on key up
//   feedback = "status"         "status": Show OK on exit 0, Show Alert otherwise; "none"
//   title    = "command"        its first line of output becomes the key's title
//   icon     = "command"        its first line of output (an image file or a data URL) becomes the
//                               key's image; it runs when `title` runs
//   image    = "~/icon.png"     a file shown on the key at start and after every reload
//   every    = "30s"            rerun `title` (and `icon`) this often; at least 1s
//   timeout  = "10s"            the time limit of every command of the key
//   row, column                 the position, when the ID is not R<row>C<column>
//
//   [mqtt]                      the broker of the MQTT bridge (DeckMqttConfig.hpp)
//
// Parsing is pure: it reads nothing but the text it is given, so every rule is testable. Errors
// are values that name the file, the line and the reason; the first one found is reported.
// Other top-level tables (detail/DeckConfigTables.hpp) each fill their own part of DeckConfig.

#include "deck/DeckDialConfig.hpp"

#include "deck/DeckMqttConfig.hpp"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace deck {

using Milliseconds = std::chrono::milliseconds;

inline constexpr Milliseconds kDefaultTimeout{10'000};
/// The shortest `every`: a title command rerun more often only loads the machine.
inline constexpr Milliseconds kDeckMinimumEvery{1'000};
/// The most keys a configuration may have.
inline constexpr std::size_t kDeckMaxKeys = 1024;
/// The largest configuration file, in bytes (1 MiB).
inline constexpr std::size_t kDeckMaxConfigBytes = 1024 * 1024;

enum class Feedback {
  Status, // Show OK when the command exits with 0, Show Alert otherwise
  None,   // nothing shown
};

struct DeckKey {
  std::string id;
  int row = 0; // virtual, from 1; 0 when the key has no position (then it has no press/release)
  int column = 0;
  std::string press;
  std::string release;
  Feedback feedback = Feedback::Status;
  std::string title;
  std::string icon;  // a command whose first line of output is an image file or a data URL
  std::string image; // as written; DeckExpandHome() gives the file's path
  std::optional<Milliseconds> every;
  Milliseconds timeout = kDefaultTimeout;
};

struct DeckConfig {
  std::string path;
  std::vector<DeckKey> keys; // in the file's order
  // [dials.<id>], in the file's order
  std::vector<DeckDial> dials;
  // [mqtt], when the bridge runs
  std::optional<DeckMqttConfig> mqtt;
};

struct DeckConfigError {
  std::string path;
  int line = 0;   // 0 when the whole file is concerned (unreadable)
  int column = 0; // from 1 when known (TOML syntax), else 0
  std::string reason;
  /// "path:line: reason" or "path:line:column: reason", the way compilers name a place in a file.
  std::string description() const;
};

using DeckConfigResult = std::variant<DeckConfig, DeckConfigError>;

/// Parses `text` as the configuration read from `path` (used in messages only). Text over
/// kDeckMaxConfigBytes, or nested deeper than DeckScanConfigText() allows, is refused before the
/// TOML parser sees it.
DeckConfigResult DeckParseConfig(const std::string& text, const std::string& path);

/// Reads and parses the file at `path`: it must be a regular file (a FIFO, a folder or a device
/// is refused without being read), one DeckUntrustedFileReason() trusts, of at most
/// kDeckMaxConfigBytes.
DeckConfigResult DeckLoadConfig(const std::string& path);

/// The default file: $XDG_CONFIG_HOME/zorbel/deck.toml, else ~/.config/zorbel/deck.toml (an
/// XDG_CONFIG_HOME that is empty or relative is ignored; without HOME, the home folder is the
/// user's entry in the password database).
std::string DeckDefaultConfigPath();

/// A duration such as "250ms", "30s", "5m", "1h" or "1m30s" (integers with units, largest
/// first); nullopt for anything else, zero included.
std::optional<Milliseconds> DeckParseDuration(const std::string& text);

/// The position a button ID of the form R<row>C<column> names (1 to 999 each), if it has it.
std::optional<std::pair<int, int>> DeckPositionOfID(const std::string& id);

/// `path` with a leading "~/" (or a lone "~") replaced by `home`.
std::string DeckExpandHome(const std::string& path, const std::string& home);

} // namespace deck
