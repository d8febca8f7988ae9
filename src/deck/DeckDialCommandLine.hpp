#pragma once
// The dials' part of zorbel-deck's command line: the options of `feedback`. Pure, as the rest of
// the command line.
//
//   zorbel-deck feedback <id> [--title T] [--value V] [--indicator N] [--icon FILE|data-URL]
//   zorbel-deck layout <id> <layout>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace deck {

struct DeckFeedbackOptions {
  std::optional<std::string> title;
  std::optional<std::string> value;
  std::optional<int> indicator;    // clamped to 0-100
  std::optional<std::string> icon; // the argument: a file, a data URL, "-" or ""
  bool empty() const { return !title && !value && !indicator && !icon; }
};

/// Reads the option `arguments[i]` of `feedback` ("--title T" or "--title=T", …) into `options`,
/// moving `i` past its value; the usage message when it is not an option of `feedback` or its
/// value is missing or wrong.
std::optional<std::string> DeckReadFeedbackOption(const std::vector<std::string>& arguments, std::size_t& i,
                                                  DeckFeedbackOptions& options);

} // namespace deck
