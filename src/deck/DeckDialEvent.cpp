#include "deck/DeckDialEvent.hpp"

#include <climits>
#include <nlohmann/json.hpp>
#include <optional>

namespace deck {

using nlohmann::json;

namespace {

const json* Member(const json& info, const char* name) {
  auto it = info.find(name);
  return it == info.end() ? nullptr : &*it;
}

// A member's text for a watch line: strings as they are (control characters as "?", so that a
// line stays one line), other values as JSON, "?" when missing.
std::string Text(const json& info, const char* name) {
  const json* value = info.is_object() ? Member(info, name) : nullptr;
  if (!value) return "?";
  std::string text = value->is_string() ? value->get<std::string>()
                                        : value->dump(-1, ' ', false, json::error_handler_t::replace);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text.empty() ? "\"\"" : text;
}

} // namespace

std::variant<DeckDialEvent, std::string> DeckReadDialEvent(const json& info) {
  if (!info.is_object()) return std::string("its userInfo is not a dictionary");
  DeckDialEvent event;
  auto text = [&](const char* name, std::string& into) -> std::optional<std::string> {
    const json* value = Member(info, name);
    if (!value) return std::string("no ") + name;
    if (!value->is_string()) return std::string(name) + " is not a string";
    into = value->get<std::string>();
    return std::nullopt;
  };
  auto integer = [&](const char* name, long long& into) -> std::optional<std::string> {
    const json* value = Member(info, name);
    if (!value) return std::string("no ") + name;
    if (!value->is_number_integer()) return std::string(name) + " is not an integer";
    if (value->is_number_unsigned() && value->get<unsigned long long>() > LLONG_MAX)
      return std::string(name) + " is out of range";
    into = value->get<long long>();
    return std::nullopt;
  };
  auto boolean = [&](const char* name, bool& into) -> std::optional<std::string> {
    const json* value = Member(info, name);
    if (!value) return std::string("no ") + name;
    if (!value->is_boolean()) return std::string(name) + " is not a boolean";
    into = value->get<bool>();
    return std::nullopt;
  };
  std::string kind;
  long long column = 0;
  if (auto problem = text("event", kind)) return *problem;
  if (auto problem = text("context", event.context)) return *problem;
  if (auto problem = text("zbID", event.zbID)) return *problem;
  if (auto problem = integer("column", column)) return *problem;
  if (column < 1 || column > INT_MAX) return "column " + std::to_string(column) + " is not a position";
  event.column = static_cast<int>(column);
  if (kind == "rotate") {
    event.kind = DeckDialEvent::Kind::Rotate;
    if (auto problem = integer("ticks", event.ticks)) return *problem;
    if (event.ticks < -kMaxDialTicks || event.ticks > kMaxDialTicks)
      return "ticks " + std::to_string(event.ticks) + " is beyond " + std::to_string(kMaxDialTicks);
    if (auto problem = boolean("pressed", event.pressed)) return *problem;
  } else if (kind == "down" || kind == "up") {
    event.kind = kind == "down" ? DeckDialEvent::Kind::Down : DeckDialEvent::Kind::Up;
  } else if (kind == "tap") {
    event.kind = DeckDialEvent::Kind::Tap;
    if (auto problem = integer("x", event.x)) return *problem;
    if (auto problem = integer("y", event.y)) return *problem;
    if (auto problem = boolean("hold", event.hold)) return *problem;
  } else {
    return "unknown event \"" + kind + "\"";
  }
  return event;
}

std::string DeckDialWatchLine(const json& info) {
  std::string event = Text(info, "event");
  std::string line = Text(info, "zbID") + " " + event;
  if (event == "rotate") line += " " + Text(info, "ticks");
  if (event == "tap") {
    line += " " + Text(info, "x") + " " + Text(info, "y");
    const json* hold = info.is_object() ? Member(info, "hold") : nullptr;
    if (hold && hold->is_boolean() && hold->get<bool>()) line += " hold";
  }
  return line + " " + Text(info, "context");
}

} // namespace deck
