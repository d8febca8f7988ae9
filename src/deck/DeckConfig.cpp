#include "deck/DeckConfig.hpp"

#include "deck/detail/DeckConfigTables.hpp"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace deck {

namespace {

const std::set<std::string, std::less<>> kKeyFields = {"press", "release", "feedback", "title", "image",
                                                       "every", "timeout", "row",      "column"};

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

DeckConfigError ErrorAt(const std::string& path, const toml::node& node, std::string reason) {
  return DeckConfigError{path, LineOf(node), std::move(reason)};
}

// Reads one field of a key table into `key`; a reason when the value does not fit the field.
std::optional<std::string> ReadField(DeckKey& key, std::string_view field, const toml::node& value) {
  auto text = [&](std::string& into) -> std::optional<std::string> {
    if (!value.is_string()) return std::string(field) + " must be a string";
    into = value.as_string()->get();
    return std::nullopt;
  };
  auto duration = [&](auto assign) -> std::optional<std::string> {
    if (!value.is_string()) return std::string(field) + " must be a duration in quotes, such as \"30s\"";
    auto parsed = DeckParseDuration(value.as_string()->get());
    if (!parsed)
      return "bad duration \"" + value.as_string()->get() + "\" for " + std::string(field) +
             " (use a whole number with ms, s, m or h, such as \"500ms\" or \"1m30s\")";
    assign(*parsed);
    return std::nullopt;
  };
  auto position = [&](int& into) -> std::optional<std::string> {
    if (!value.is_integer()) return std::string(field) + " must be a whole number";
    auto v = value.as_integer()->get();
    if (v < 1 || v > 999) return std::string(field) + " must be from 1 to 999";
    into = static_cast<int>(v);
    return std::nullopt;
  };
  if (field == "press") return text(key.press);
  if (field == "release") return text(key.release);
  if (field == "title") return text(key.title);
  if (field == "image") return text(key.image);
  if (field == "feedback") {
    std::string mode;
    if (auto problem = text(mode)) return problem;
    if (mode == "status")
      key.feedback = Feedback::Status;
    else if (mode == "none")
      key.feedback = Feedback::None;
    else
      return "feedback must be \"status\" or \"none\", not \"" + mode + "\"";
    return std::nullopt;
  }
  if (field == "every") return duration([&](Milliseconds d) { key.every = d; });
  if (field == "timeout") return duration([&](Milliseconds d) { key.timeout = d; });
  if (field == "row") return position(key.row);
  return position(key.column);
}

// One [keys.<id>] table, checked field by field and as a whole.
std::variant<DeckKey, DeckConfigError> ReadKey(const std::string& id, const toml::node& node, int line,
                                               const std::string& path) {
  const toml::table* table = node.as_table();
  if (!table) return DeckConfigError{path, line, "keys." + id + " must be a table"};
  DeckKey key;
  key.id = id;
  if (key.id.empty()) return DeckConfigError{path, line, "a key's ID must not be empty"};
  bool hasRow = false, hasColumn = false;
  for (auto&& [field, value] : *table) {
    if (!kKeyFields.count(field.str()))
      return DeckConfigError{path, static_cast<int>(field.source().begin.line),
                             "unknown field \"" + std::string(field.str()) + "\" in keys." + key.id};
    if (auto problem = ReadField(key, field.str(), value)) return ErrorAt(path, value, *problem);
    hasRow = hasRow || field.str() == "row";
    hasColumn = hasColumn || field.str() == "column";
  }
  if (hasRow != hasColumn)
    return DeckConfigError{path, line, "keys." + key.id + " needs both row and column, or neither"};
  if (!hasRow) {
    if (auto position = DeckPositionOfID(key.id)) std::tie(key.row, key.column) = *position;
  }
  if (key.row == 0 && (!key.press.empty() || !key.release.empty()))
    return DeckConfigError{path, line,
                           "keys." + key.id +
                               " has press or release but no position: give row and column "
                               "(presses name keys by position)"};
  if (key.every && key.title.empty())
    return DeckConfigError{path, line, "keys." + key.id + " has every but no title command to rerun"};
  return key;
}

} // namespace

std::string DeckConfigError::description() const {
  return line > 0 ? path + ":" + std::to_string(line) + ": " + reason : path + ": " + reason;
}

DeckConfigResult DeckParseConfig(const std::string& text, const std::string& path) {
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& error) {
    return DeckConfigError{path, static_cast<int>(error.source().begin.line),
                           std::string(error.description())};
  }
  DeckConfig config;
  config.path = path;
  for (auto&& [name, node] : root) {
    if (name.str() == "mqtt") {
      if (auto error = detail::DeckReadMqttTable(node, path, config)) return *error;
      continue;
    }
    if (name.str() != "keys")
      return DeckConfigError{path, static_cast<int>(name.source().begin.line),
                             "unknown table or field \"" + std::string(name.str()) +
                                 "\" (keys go in [keys.<ID>])"};
    if (!node.is_table()) return ErrorAt(path, node, "keys must be a table of keys");
  }
  const toml::table* keys = root["keys"].as_table();
  if (!keys) return config;
  // toml++ iterates in key order: keys are read, then put in the file's order, so that the
  // first fault reported is the first one in the file.
  std::vector<std::pair<int, std::variant<DeckKey, DeckConfigError>>> read;
  for (auto&& [name, node] : *keys) {
    const int line = static_cast<int>(name.source().begin.line);
    read.emplace_back(line, ReadKey(std::string(name.str()), node, line, path));
  }
  std::stable_sort(read.begin(), read.end(), [](auto& a, auto& b) { return a.first < b.first; });
  std::map<std::pair<int, int>, std::string> positions;
  for (auto& [line, entry] : read) {
    if (auto* error = std::get_if<DeckConfigError>(&entry)) return *error;
    auto& key = std::get<DeckKey>(entry);
    if (key.row != 0) {
      auto [it, inserted] = positions.emplace(std::pair(key.row, key.column), key.id);
      if (!inserted)
        return DeckConfigError{path, line,
                               "keys." + key.id + " has the position of keys." + it->second + " (row " +
                                   std::to_string(key.row) + ", column " + std::to_string(key.column) + ")"};
    }
    config.keys.push_back(std::move(key));
  }
  return config;
}

DeckConfigResult DeckLoadConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return DeckConfigError{path, 0, "cannot read the file"};
  std::ostringstream text;
  text << in.rdbuf();
  return DeckParseConfig(text.str(), path);
}

std::string DeckDefaultConfigPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return std::string(config) + "/zorbel/deck.toml";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.config/zorbel/deck.toml";
}

std::optional<Milliseconds> DeckParseDuration(const std::string& text) {
  // Units in the order they may appear; each at most once.
  static const std::pair<std::string_view, long long> kUnits[] = {
      {"h", 3'600'000}, {"m", 60'000}, {"s", 1'000}, {"ms", 1}};
  std::size_t i = 0, nextUnit = 0;
  long long total = 0;
  if (text.empty()) return std::nullopt;
  while (i < text.size()) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    long long number = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      number = number * 10 + (text[i++] - '0');
      if (number > 1'000'000'000) return std::nullopt;
    }
    std::size_t end = i;
    while (end < text.size() && std::isalpha(static_cast<unsigned char>(text[end]))) ++end;
    std::string_view unit(text.data() + i, end - i);
    std::size_t u = nextUnit;
    while (u < std::size(kUnits) && kUnits[u].first != unit) ++u;
    if (u == std::size(kUnits)) return std::nullopt;
    total += number * kUnits[u].second;
    nextUnit = u + 1;
    i = end;
  }
  if (total <= 0 || total > 366LL * 24 * 3'600'000) return std::nullopt;
  return Milliseconds(total);
}

std::optional<std::pair<int, int>> DeckPositionOfID(const std::string& id) {
  // Exactly R<digits>C<digits>, no sign, no leading zero: the form the plug-in makes.
  auto number = [&](std::size_t& i) -> int {
    std::size_t start = i;
    int value = 0;
    while (i < id.size() && std::isdigit(static_cast<unsigned char>(id[i])) && i - start < 4)
      value = value * 10 + (id[i++] - '0');
    if (i == start || id[start] == '0' || value > 999) return 0;
    return value;
  };
  std::size_t i = 1;
  if (id.empty() || id[0] != 'R') return std::nullopt;
  int row = number(i);
  if (!row || i >= id.size() || id[i] != 'C') return std::nullopt;
  ++i;
  int column = number(i);
  if (!column || i != id.size()) return std::nullopt;
  return std::pair(row, column);
}

std::string DeckExpandHome(const std::string& path, const std::string& home) {
  if (path == "~") return home;
  if (path.starts_with("~/")) return home + path.substr(1);
  return path;
}

} // namespace deck
