#include "deck/DeckDialCommandLine.hpp"

#include <algorithm>
#include <cctype>

namespace deck {

std::optional<std::string> DeckReadFeedbackOption(const std::vector<std::string>& arguments, std::size_t& i,
                                                  DeckFeedbackOptions& options) {
  const std::string& argument = arguments[i];
  auto equals = argument.find('=');
  const std::string name = argument.substr(0, equals);
  std::optional<std::string>* text = name == "--title"   ? &options.title
                                     : name == "--value" ? &options.value
                                     : name == "--icon"  ? &options.icon
                                                         : nullptr;
  if (!text && name != "--indicator") return "unknown option \"" + argument + "\"";
  std::string value;
  if (equals != std::string::npos) {
    value = argument.substr(equals + 1);
  } else {
    if (i + 1 >= arguments.size()) return name + " needs a value";
    value = arguments[++i];
  }
  if (text) {
    *text = value;
    return std::nullopt;
  }
  // A whole number, signed; beyond the range it is clamped as any indicator is.
  std::size_t digits = value.starts_with('-') || value.starts_with('+') ? 1 : 0;
  if (value.size() == digits || !std::all_of(value.begin() + static_cast<std::ptrdiff_t>(digits), value.end(),
                                             [](unsigned char c) { return std::isdigit(c); }))
    return "--indicator must be a whole number from 0 to 100, not \"" + value + "\"";
  long long number = 0;
  for (std::size_t k = digits; k < value.size() && number <= 100; ++k)
    number = number * 10 + (value[k] - '0');
  if (value[0] == '-') number = -number;
  options.indicator = static_cast<int>(std::clamp(number, 0LL, 100LL));
  return std::nullopt;
}

} // namespace deck
