#pragma once
// Helpers of the Stream Deck link: the plug-in bundle path, the debug display of dictionaries
// that both the connection manager and the plug-in log through, and the number readers that
// give Stream Deck and property-inspector values their integer meaning.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

class SDUtilities {
public:
  /// The directory with the extension "sdPlugin" (exact case) that contains the running
  /// executable (/proc/self/exe), or nothing. A found path is kept for the process's life; when
  /// nothing is found the next call searches again. Main thread.
  static std::optional<std::string> pluginPath();

  /// The search of pluginPath() for an executable at `executablePath`, without the cache.
  static std::optional<std::string> pluginPathForExecutable(const std::string& executablePath);
};

/// A value of the wrong JSON type for the step that reads it. The connection manager's per-message
/// failure guard catches it ("Failed to parse the JSON data: %@").
class SDTypeError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

/// A copy of `dictionary` for the log: every "data:image" string of at least 31 UTF-16 units, in
/// the dictionary or in dictionaries nested in it at any depth, is cut to its first 29 units and
/// "..."; arrays are not entered. nullptr gives nothing. The argument is not modified.
std::optional<nlohmann::json> DebugDisplayDictionary(const nlohmann::json* dictionary);

/// The integer value of a JSON value, as the Parts read "the integer value" of an entry: a string
/// as a decimal integer (leading white space and a sign allowed, reading stops at the first
/// non-digit, no digits give 0, beyond 64 bits the nearest 64-bit limit); an integer unchanged
/// (an unsigned one above the signed range wraps, like a 64-bit cast); a double truncated toward
/// zero and held to the 64-bit range; a boolean as 0 or 1; null as 0. Objects and arrays have no
/// integer value: SDTypeError.
std::int64_t SDIntegerValue(const nlohmann::json& value);

/// The low 32 bits of `value` as a signed integer.
inline std::int32_t SDLow32(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

/// A decimal integer read in the manner of `intValue`: leading white space skipped, an optional
/// sign, digits up to the first non-digit; no number gives 0; outside the 32-bit range the
/// nearest 32-bit limit.
std::int32_t SDIntValue(std::string_view text);
