#pragma once
// The scripting engine's configuration: one table per key in a TOML file.
//
//   [keys.R1C1]                 the key's button ID; R<row>C<column> also gives its position
//   press    = "command"        run with sh -c on key down
//   release  = "command"        run on key up
//   feedback = "status"         "status": Show OK on exit 0, Show Alert otherwise; "none"
//   title    = "command"        its first line of output becomes the key's title
//   image    = "~/icon.png"     a file shown on the key at start and after every reload
//   every    = "30s"            rerun `title` this often
//   timeout  = "10s"            the time limit of every command of the key
//   row, column                 the position, when the ID is not R<row>C<column>
//
//   [mqtt]                      the broker of the MQTT bridge (DeckMqttConfig.hpp)
//
// Parsing is pure: it reads nothing but the text it is given, so every rule is testable. Errors
// are values that name the file, the line and the reason; the first one found is reported.

#include "deck/DeckMqttConfig.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace deck {

using Milliseconds = std::chrono::milliseconds;

inline constexpr Milliseconds kDefaultTimeout{10'000};

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
  std::string image; // as written; DeckExpandHome() gives the file's path
  std::optional<Milliseconds> every;
  Milliseconds timeout = kDefaultTimeout;
};

struct DeckConfig {
  std::string path;
  std::vector<DeckKey> keys; // in the file's order
  std::optional<DeckMqttConfig> mqtt;
};

struct DeckConfigError {
  std::string path;
  int line = 0; // 0 when the whole file is concerned (unreadable)
  std::string reason;
  /// "path:line: reason", the way compilers name a place in a file.
  std::string description() const;
};

using DeckConfigResult = std::variant<DeckConfig, DeckConfigError>;

/// Parses `text` as the configuration read from `path` (used in messages only).
DeckConfigResult DeckParseConfig(const std::string& text, const std::string& path);

/// Reads and parses the file at `path`.
DeckConfigResult DeckLoadConfig(const std::string& path);

/// The default file: $XDG_CONFIG_HOME/zorbel/deck.toml, else ~/.config/zorbel/deck.toml.
std::string DeckDefaultConfigPath();

/// A duration such as "250ms", "30s", "5m", "1h" or "1m30s" (integers with units, largest
/// first); nullopt for anything else, zero included.
std::optional<Milliseconds> DeckParseDuration(const std::string& text);

/// The position a button ID of the form R<row>C<column> names (1 to 999 each), if it has it.
std::optional<std::pair<int, int>> DeckPositionOfID(const std::string& id);

/// `path` with a leading "~/" (or a lone "~") replaced by `home`.
std::string DeckExpandHome(const std::string& path, const std::string& home);

} // namespace deck
