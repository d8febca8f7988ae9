#pragma once
// The lines `zorbel-deck watch` prints: one per key press or release, in a form no value of the
// notification can break. The text form escapes control characters as the log does, so that a
// context cannot start a new line (forging a press for `while read id what ctx`) or reach the
// terminal (ESC); the JSON form also writes DEL, the C1 controls and U+2028/U+2029 as \u escapes,
// which JSON allows raw but which end lines for some readers.

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace deck {

/// "R<row>C<column> down|up <context>\n" for a key notification's userInfo; a row or column
/// that is not an integer shows as "?", a context that is not a string as its JSON text.
std::string DeckWatchLine(const nlohmann::json& userInfo, bool asJson);

/// `value` as one line of JSON (invalid UTF-8 as U+FFFD), with DEL, C1 and U+2028/U+2029 escaped.
std::string DeckWatchJSONLine(const nlohmann::json& value);

} // namespace deck
