#include "deck/DeckDialConfig.hpp"

#include "deck/detail/DeckConfigTables.hpp"

#include <cctype>
#include <map>
#include <set>
#include <variant>

namespace deck {

namespace {

// The most dials one configuration may have, as for keys: a deck has a handful.
constexpr std::size_t kDeckMaxDials = 64;

const std::set<std::string, std::less<>> kDialFields = {"rotate", "push",  "release", "touch", "feedback",
                                                        "show",   "every", "timeout", "column"};

// Reads one field of a dial table into `dial`; a reason when the value does not fit the field.
std::optional<std::string> ReadField(DeckDial& dial, std::string_view field, const toml::node& value) {
  using namespace detail;
  if (field == "rotate") return DeckReadCommand(value, field, dial.rotate);
  if (field == "push") return DeckReadCommand(value, field, dial.push);
  if (field == "release") return DeckReadCommand(value, field, dial.release);
  if (field == "touch") return DeckReadCommand(value, field, dial.touch);
  if (field == "feedback") {
    if (auto problem = DeckReadCommand(value, field, dial.feedback)) return problem;
    // Keys' feedback chooses OK and alert marks; a dial's is a command, and those marks are `show`.
    if (dial.feedback == "status" || dial.feedback == "none")
      return "a dial's feedback is the command that sets its strip; to choose OK and alert marks, use "
             "show = \"" +
             dial.feedback + "\"";
    return std::nullopt;
  }
  if (field == "show") {
    std::string mode;
    if (auto problem = DeckReadChoice(value, field, {"status", "none"}, mode)) return problem;
    dial.showStatus = mode == "status";
    return std::nullopt;
  }
  if (field == "every") {
    Milliseconds every{};
    if (auto problem = DeckReadDuration(value, field, every, kDeckMinimumEvery)) return problem;
    dial.every = every;
    return std::nullopt;
  }
  if (field == "timeout") return DeckReadDuration(value, field, dial.timeout);
  long long column = 0; // column
  if (auto problem = DeckReadInteger(value, field, 1, 999, column)) return problem;
  dial.column = static_cast<int>(column);
  return std::nullopt;
}

// One [dials.<id>] table, checked field by field and as a whole.
std::variant<DeckDial, DeckConfigError> ReadDial(const std::string& id, const toml::node& node, int line,
                                                 const std::string& path) {
  using namespace detail;
  const toml::table* table = node.as_table();
  if (!table) return DeckConfigError{path, line, 0, "dials." + id + " must be a table"};
  DeckDial dial;
  dial.id = id;
  dial.timeout = kDefaultTimeout; // as keys'
  if (dial.id.empty()) return DeckConfigError{path, line, 0, "a dial's ID must not be empty"};
  for (auto [field, value] : DeckInFileOrder(*table)) {
    if (!kDialFields.count(field->str()))
      return DeckErrorAt(path, *field,
                         "unknown field \"" + std::string(field->str()) + "\" in dials." + dial.id);
    if (auto problem = ReadField(dial, field->str(), *value)) return DeckErrorAt(path, *value, *problem);
  }
  if (dial.column == 0) dial.column = DeckColumnOfDialID(dial.id).value_or(0);
  if (dial.column == 0 &&
      !(dial.rotate.empty() && dial.push.empty() && dial.release.empty() && dial.touch.empty()))
    return DeckConfigError{path, line, 0,
                           "dials." + dial.id +
                               " has rotate, push, release or touch but no position: give column "
                               "(dial events name dials by position)"};
  if (dial.every && dial.feedback.empty())
    return DeckConfigError{path, line, 0, "dials." + dial.id + " has every but no feedback command to rerun"};
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

namespace detail {

std::optional<DeckConfigError> DeckReadDialsTable(const toml::node& node, const std::string& path,
                                                  DeckConfig& config) {
  const toml::table* dials = node.as_table();
  if (!dials) return DeckErrorAt(path, node, "dials must be a table of dials");
  std::map<int, std::string> columns;
  for (auto [name, value] : DeckInFileOrder(*dials)) {
    const int line = DeckLineOf(*name);
    if (config.dials.size() == kDeckMaxDials)
      return DeckConfigError{
          path, line, 0, "more than " + std::to_string(kDeckMaxDials) + " dials (the most the engine runs)"};
    auto entry = ReadDial(std::string(name->str()), *value, line, path);
    if (auto* error = std::get_if<DeckConfigError>(&entry)) return *error;
    auto& dial = std::get<DeckDial>(entry);
    if (dial.column != 0) {
      auto [it, inserted] = columns.emplace(dial.column, dial.id);
      if (!inserted)
        return DeckConfigError{path, line, 0,
                               "dials." + dial.id + " has the position of dials." + it->second + " (column " +
                                   std::to_string(dial.column) + ")"};
    }
    config.dials.push_back(std::move(dial));
  }
  return std::nullopt;
}

} // namespace detail

} // namespace deck
