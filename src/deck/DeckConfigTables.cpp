#include "deck/detail/DeckConfigTables.hpp"

#include <algorithm>

namespace deck::detail {

int DeckLineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }
int DeckLineOf(const toml::key& key) { return static_cast<int>(key.source().begin.line); }

DeckConfigError DeckErrorAt(const std::string& path, const toml::node& node, std::string reason) {
  return DeckConfigError{path, DeckLineOf(node), 0, std::move(reason)};
}

DeckConfigError DeckErrorAt(const std::string& path, const toml::key& key, std::string reason) {
  return DeckConfigError{path, DeckLineOf(key), 0, std::move(reason)};
}

std::vector<std::pair<const toml::key*, const toml::node*>> DeckInFileOrder(const toml::table& table) {
  std::vector<std::pair<const toml::key*, const toml::node*>> entries;
  for (auto&& [key, node] : table) entries.emplace_back(&key, &node);
  std::stable_sort(entries.begin(), entries.end(), [](auto& a, auto& b) {
    const auto& x = a.first->source().begin;
    const auto& y = b.first->source().begin;
    return x.line != y.line ? x.line < y.line : x.column < y.column;
  });
  return entries;
}

std::optional<std::string> DeckReadString(const toml::node& value, std::string_view field,
                                          std::string& into) {
  if (!value.is_string()) return std::string(field) + " must be a string";
  into = value.as_string()->get();
  return std::nullopt;
}

std::optional<std::string> DeckReadCommand(const toml::node& value, std::string_view field,
                                           std::string& into) {
  std::string command;
  if (auto problem = DeckReadString(value, field, command)) return problem;
  // A command reaches sh -c as a C string: a NUL (written \u0000) would silently cut it short.
  if (command.find('\0') != std::string::npos)
    return std::string(field) + " must not contain a NUL character";
  into = std::move(command);
  return std::nullopt;
}

std::optional<std::string> DeckReadDuration(const toml::node& value, std::string_view field,
                                            Milliseconds& into, Milliseconds minimum) {
  if (!value.is_string()) return std::string(field) + " must be a duration in quotes, such as \"30s\"";
  const std::string& text = value.as_string()->get();
  auto parsed = DeckParseDuration(text);
  if (!parsed)
    return "bad duration \"" + text + "\" for " + std::string(field) +
           " (use a whole number with ms, s, m or h, such as \"500ms\" or \"1m30s\")";
  if (*parsed < minimum) {
    const auto ms = minimum.count();
    const std::string shortest = ms % 1000 ? std::to_string(ms) + "ms" : std::to_string(ms / 1000) + "s";
    return std::string(field) + " \"" + text + "\" is too short: the shortest is \"" + shortest + "\"";
  }
  into = *parsed;
  return std::nullopt;
}

std::optional<std::string> DeckReadInteger(const toml::node& value, std::string_view field, long long low,
                                           long long high, long long& into) {
  if (!value.is_integer()) return std::string(field) + " must be a whole number";
  const long long v = value.as_integer()->get();
  if (v < low || v > high)
    return std::string(field) + " must be from " + std::to_string(low) + " to " + std::to_string(high);
  into = v;
  return std::nullopt;
}

std::optional<std::string> DeckReadChoice(const toml::node& value, std::string_view field,
                                          std::initializer_list<std::string_view> choices,
                                          std::string& into) {
  std::string text;
  if (auto problem = DeckReadString(value, field, text)) return problem;
  if (std::find(choices.begin(), choices.end(), text) != choices.end()) {
    into = std::move(text);
    return std::nullopt;
  }
  std::string list;
  std::size_t n = 0;
  for (auto choice : choices) {
    if (n++) list += n == choices.size() ? " or " : ", ";
    list += "\"" + std::string(choice) + "\"";
  }
  return std::string(field) + " must be " + list + ", not \"" + text + "\"";
}

} // namespace deck::detail
