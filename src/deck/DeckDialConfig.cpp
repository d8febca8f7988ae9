#include "deck/DeckDialConfig.hpp"

#include "deck/detail/DeckConfigTables.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <variant>
#include <vector>

namespace deck {

namespace {

const std::set<std::string, std::less<>> kDialFields = {"rotate", "push",  "release", "touch", "feedback",
                                                        "show",   "every", "timeout", "column"};

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

// Reads one field of a dial table into `dial`; a reason when the value does not fit the field.
std::optional<std::string> ReadField(DeckDial& dial, std::string_view field, const toml::node& value) {
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
  if (field == "rotate") return text(dial.rotate);
  if (field == "push") return text(dial.push);
  if (field == "release") return text(dial.release);
  if (field == "touch") return text(dial.touch);
  if (field == "feedback") {
    if (auto problem = text(dial.feedback)) return problem;
    // Keys' feedback chooses OK and alert marks; a dial's is a command, and those marks are `show`.
    if (dial.feedback == "status" || dial.feedback == "none")
      return "a dial's feedback is the command that sets its strip; to choose OK and alert marks, use "
             "show = \"" +
             dial.feedback + "\"";
    return std::nullopt;
  }
  if (field == "show") {
    std::string mode;
    if (auto problem = text(mode)) return problem;
    if (mode != "status" && mode != "none")
      return "show must be \"status\" or \"none\", not \"" + mode + "\"";
    dial.showStatus = mode == "status";
    return std::nullopt;
  }
  if (field == "every") return duration([&](std::chrono::milliseconds d) { dial.every = d; });
  if (field == "timeout") return duration([&](std::chrono::milliseconds d) { dial.timeout = d; });
  // column
  if (!value.is_integer()) return "column must be a whole number";
  auto v = value.as_integer()->get();
  if (v < 1 || v > 999) return "column must be from 1 to 999";
  dial.column = static_cast<int>(v);
  return std::nullopt;
}

// One [dials.<id>] table, checked field by field and as a whole.
std::variant<DeckDial, DeckConfigError> ReadDial(const std::string& id, const toml::node& node, int line,
                                                 const std::string& path) {
  const toml::table* table = node.as_table();
  if (!table) return DeckConfigError{path, line, "dials." + id + " must be a table"};
  DeckDial dial;
  dial.id = id;
  dial.timeout = kDefaultTimeout; // as keys'
  if (dial.id.empty()) return DeckConfigError{path, line, "a dial's ID must not be empty"};
  for (auto&& [field, value] : *table) {
    if (!kDialFields.count(field.str()))
      return DeckConfigError{path, static_cast<int>(field.source().begin.line),
                             "unknown field \"" + std::string(field.str()) + "\" in dials." + dial.id};
    if (auto problem = ReadField(dial, field.str(), value))
      return DeckConfigError{path, LineOf(value), *problem};
  }
  if (dial.column == 0) dial.column = DeckColumnOfDialID(dial.id).value_or(0);
  if (dial.column == 0 &&
      !(dial.rotate.empty() && dial.push.empty() && dial.release.empty() && dial.touch.empty()))
    return DeckConfigError{path, line,
                           "dials." + dial.id +
                               " has rotate, push, release or touch but no position: give column "
                               "(dial events name dials by position)"};
  if (dial.every && dial.feedback.empty())
    return DeckConfigError{path, line, "dials." + dial.id + " has every but no feedback command to rerun"};
  return dial;
}

} // namespace

std::optional<int> DeckColumnOfDialID(const std::string& id) {
  // Exactly D<digits>, no sign, no leading zero: the form the plug-in makes.
  if (id.size() < 2 || id.size() > 3 || id[0] != 'D' || id[1] == '0') return std::nullopt;
  int column = 0;
  for (std::size_t i = 1; i < id.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(id[i]))) return std::nullopt;
    column = column * 10 + (id[i] - '0');
  }
  return column;
}

std::optional<DeckConfigError> DeckReadDialsTable(const toml::node& node, int line, const std::string& path,
                                                  DeckConfig& config) {
  const toml::table* dials = node.as_table();
  if (!dials) return DeckConfigError{path, line, "dials must be a table of dials"};
  // As for keys: read in toml++'s order, reported in the file's.
  std::vector<std::pair<int, std::variant<DeckDial, DeckConfigError>>> read;
  for (auto&& [name, value] : *dials) {
    const int at = static_cast<int>(name.source().begin.line);
    read.emplace_back(at, ReadDial(std::string(name.str()), value, at, path));
  }
  std::stable_sort(read.begin(), read.end(), [](auto& a, auto& b) { return a.first < b.first; });
  std::map<int, std::string> columns;
  for (auto& [at, entry] : read) {
    if (auto* error = std::get_if<DeckConfigError>(&entry)) return *error;
    auto& dial = std::get<DeckDial>(entry);
    if (dial.column != 0) {
      auto [it, inserted] = columns.emplace(dial.column, dial.id);
      if (!inserted)
        return DeckConfigError{path, at,
                               "dials." + dial.id + " has the position of dials." + it->second + " (column " +
                                   std::to_string(dial.column) + ")"};
    }
    config.dials.push_back(std::move(dial));
  }
  return std::nullopt;
}

} // namespace deck
