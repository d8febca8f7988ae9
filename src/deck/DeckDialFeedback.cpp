#include "deck/DeckDialFeedback.hpp"

#include "deck/DeckConfig.hpp"
#include "deck/DeckImage.hpp"

#include <algorithm>
#include <cmath>

namespace deck {

using nlohmann::json;

int DeckClampIndicator(long long value) { return static_cast<int>(std::clamp(value, 0LL, 100LL)); }

std::variant<std::string, DeckImageError> DeckFeedbackIcon(const std::string& icon, const std::string& home) {
  if (icon.empty() || icon.starts_with("data:")) return icon;
  std::string path = DeckExpandHome(icon, home);
  if (!path.starts_with('/')) path = home + "/" + path;
  return DeckImageFromFile(path);
}

std::variant<json, std::string> DeckFeedbackFromOutput(const std::string& output, const std::string& home) {
  auto start = output.find_first_not_of(" \t\r\n");
  if (start == std::string::npos || output[start] != '{') {
    auto line = output.substr(0, output.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return json{{"value", line}};
  }
  json parsed = json::parse(output, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object())
    return std::string("the output starts with { but is not a JSON object");
  json feedback = json::object();
  for (auto& [name, value] : parsed.items()) {
    if (name == "title" || name == "value") {
      if (value.is_string())
        feedback[name] = value;
      else if (value.is_number())
        feedback[name] = value.dump();
      else
        return name + " must be a string";
    } else if (name == "indicator") {
      // Non-negative JSON integers are unsigned, and may be beyond long long.
      if (value.is_number_unsigned())
        feedback[name] = static_cast<int>(std::min<unsigned long long>(value.get<unsigned long long>(), 100));
      else if (value.is_number_integer())
        feedback[name] = DeckClampIndicator(value.get<long long>());
      else if (value.is_number_float() && std::isfinite(value.get<double>()))
        feedback[name] = DeckClampIndicator(std::llround(std::clamp(value.get<double>(), -1.0, 101.0)));
      else
        return std::string("indicator must be a number from 0 to 100");
    } else if (name == "icon") {
      if (!value.is_string()) return std::string("icon must be a string: an image file or a data URL");
      auto icon = DeckFeedbackIcon(value.get<std::string>(), home);
      if (auto* error = std::get_if<DeckImageError>(&icon)) return "icon " + error->reason;
      feedback[name] = std::get<std::string>(icon);
    } else {
      feedback[name] = value;
    }
  }
  return feedback;
}

std::variant<json, DeckImageError> DeckFeedbackFromOptions(const DeckFeedbackOptions& options) {
  json feedback = json::object();
  if (options.title) feedback["title"] = *options.title;
  if (options.value) feedback["value"] = *options.value;
  if (options.indicator) feedback["indicator"] = DeckClampIndicator(*options.indicator);
  if (options.icon) {
    auto icon = DeckImageFromArgument(*options.icon);
    if (auto* error = std::get_if<DeckImageError>(&icon)) return *error;
    feedback["icon"] = std::get<std::string>(icon);
  }
  return feedback;
}

} // namespace deck
