// [keys.<ID>]: one table per key, named by the key's button ID.

#include "deck/detail/DeckConfigTables.hpp"

#include <cctype>
#include <map>
#include <set>

namespace deck::detail {

namespace {

const std::set<std::string, std::less<>> kKeyFields = {"press", "release", "feedback", "title", "icon",
                                                       "image", "every",   "timeout",  "row",   "column"};

// Reads one field of a key table into `key`; a reason when the value does not fit the field.
std::optional<std::string> ReadField(DeckKey& key, std::string_view field, const toml::node& value) {
  if (field == "press") return DeckReadCommand(value, field, key.press);
  if (field == "release") return DeckReadCommand(value, field, key.release);
  if (field == "title") return DeckReadCommand(value, field, key.title);
  if (field == "icon") return DeckReadCommand(value, field, key.icon);
  if (field == "image") return DeckReadCommand(value, field, key.image); // a path: no NUL either
  if (field == "feedback") {
    std::string mode;
    if (auto problem = DeckReadChoice(value, field, {"status", "none"}, mode)) return problem;
    key.feedback = mode == "status" ? Feedback::Status : Feedback::None;
    return std::nullopt;
  }
  if (field == "every") {
    Milliseconds every{};
    if (auto problem = DeckReadDuration(value, field, every, kDeckMinimumEvery)) return problem;
    key.every = every;
    return std::nullopt;
  }
  if (field == "timeout") return DeckReadDuration(value, field, key.timeout);
  long long number = 0;
  if (auto problem = DeckReadInteger(value, field, 1, 999, number)) return problem;
  (field == "row" ? key.row : key.column) = static_cast<int>(number);
  return std::nullopt;
}

// The position ID that `id` was most likely meant to be ("r1c1", " R1C1", "R01C1", "R1 C1"),
// when it is not one itself: without a position, a key's presses never reach it.
std::optional<std::string> MeantPositionID(const std::string& id) {
  std::string letters;
  std::string numbers[2];
  for (char c : id) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isdigit(u)) {
      if (letters.empty() || numbers[letters.size() - 1].size() > 6) return std::nullopt;
      numbers[letters.size() - 1] += c;
    } else if (std::isalpha(u)) {
      if (letters.size() == 2 || (letters.size() == 1 && numbers[0].empty())) return std::nullopt;
      letters += static_cast<char>(std::toupper(u));
    } else if (c != ' ' && c != '\t' && c != '-' && c != '_') {
      return std::nullopt;
    }
  }
  if (letters != "RC" || numbers[1].empty()) return std::nullopt;
  std::string meant =
      "R" + std::to_string(std::stoi(numbers[0])) + "C" + std::to_string(std::stoi(numbers[1]));
  if (meant == id || !DeckPositionOfID(meant)) return std::nullopt;
  return meant;
}

// One [keys.<id>] table, checked field by field and as a whole.
std::variant<DeckKey, DeckConfigError> ReadKey(const std::string& id, const toml::node& node, int line,
                                               const std::string& path) {
  const toml::table* table = node.as_table();
  if (!table) return DeckConfigError{path, line, 0, "keys." + id + " must be a table"};
  DeckKey key;
  key.id = id;
  if (key.id.empty()) return DeckConfigError{path, line, 0, "a key's ID must not be empty"};
  bool hasRow = false, hasColumn = false;
  for (auto [field, value] : DeckInFileOrder(*table)) {
    if (!kKeyFields.count(field->str()))
      return DeckErrorAt(path, *field,
                         "unknown field \"" + std::string(field->str()) + "\" in keys." + key.id);
    if (auto problem = ReadField(key, field->str(), *value)) return DeckErrorAt(path, *value, *problem);
    hasRow = hasRow || field->str() == "row";
    hasColumn = hasColumn || field->str() == "column";
  }
  if (hasRow != hasColumn)
    return DeckConfigError{path, line, 0, "keys." + key.id + " needs both row and column, or neither"};
  if (!hasRow) {
    if (auto position = DeckPositionOfID(key.id)) {
      std::tie(key.row, key.column) = *position;
    } else if (auto meant = MeantPositionID(key.id)) {
      // IDs are compared exactly: this one would match no key and give no position.
      return DeckConfigError{
          path, line, 0,
          "keys." + key.id + ": button IDs are compared exactly; did you mean keys." + *meant +
              "? (a position is written R<row>C<column>, in capitals, without leading zeros)"};
    }
  }
  if (key.row == 0 && (!key.press.empty() || !key.release.empty()))
    return DeckConfigError{path, line, 0,
                           "keys." + key.id +
                               " has press or release but no position: give row and column "
                               "(presses name keys by position)"};
  if (key.every && key.title.empty() && key.icon.empty())
    return DeckConfigError{path, line, 0,
                           "keys." + key.id + " has every but no title or icon command to rerun"};
  return key;
}

} // namespace

std::optional<DeckConfigError> DeckReadKeysTable(const toml::node& node, const std::string& path,
                                                 DeckConfig& config) {
  const toml::table* keys = node.as_table();
  if (!keys) return DeckErrorAt(path, node, "keys must be a table of keys");
  std::map<std::pair<int, int>, std::string> positions;
  for (auto [name, value] : DeckInFileOrder(*keys)) {
    const int line = DeckLineOf(*name);
    if (config.keys.size() == kDeckMaxKeys)
      return DeckConfigError{
          path, line, 0, "more than " + std::to_string(kDeckMaxKeys) + " keys (the most the engine runs)"};
    auto entry = ReadKey(std::string(name->str()), *value, line, path);
    if (auto* error = std::get_if<DeckConfigError>(&entry)) return *error;
    auto& key = std::get<DeckKey>(entry);
    if (key.row != 0) {
      auto [it, inserted] = positions.emplace(std::pair(key.row, key.column), key.id);
      if (!inserted)
        return DeckConfigError{path, line, 0,
                               "keys." + key.id + " has the position of keys." + it->second + " (row " +
                                   std::to_string(key.row) + ", column " + std::to_string(key.column) + ")"};
    }
    config.keys.push_back(std::move(key));
  }
  return std::nullopt;
}

} // namespace deck::detail
