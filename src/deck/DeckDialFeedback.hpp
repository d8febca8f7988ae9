#pragma once
// What a dial's `feedback` command prints, made into the `feedback` dictionary of a
// "Zorbel Stream Deck Set Feedback" notification.
//
// Output that starts with "{" (after blanks) is a JSON object: `title` and `value` (strings, or
// numbers written as text), `indicator` (a number, rounded and clamped to 0-100), `icon` (a
// data URL as it is, "" to clear, else an image file: "~/" is `home`, a relative path starts
// there); other members pass through for custom layouts. Any other output is a plain text
// whose first line is the `value`.

#include "deck/DeckDialCommandLine.hpp"
#include "deck/DeckImage.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <variant>

namespace deck {

/// The feedback dictionary, or why the output cannot be one.
std::variant<nlohmann::json, std::string> DeckFeedbackFromOutput(const std::string& output,
                                                                 const std::string& home);

/// `value` clamped to the indicator's range, 0 to 100.
int DeckClampIndicator(long long value);

/// The data URL for an `icon`: a data URL as it is, "" as it is, else the image file's (with
/// "~/" as `home` and a relative path from `home`).
std::variant<std::string, DeckImageError> DeckFeedbackIcon(const std::string& icon, const std::string& home);

/// The feedback dictionary of `zorbel-deck feedback`'s options; the icon is read as `image`
/// reads its argument (a file, a data URL, "-" for standard input, "" to clear).
std::variant<nlohmann::json, DeckImageError> DeckFeedbackFromOptions(const DeckFeedbackOptions& options);

} // namespace deck
