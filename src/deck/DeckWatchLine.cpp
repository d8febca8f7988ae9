#include "deck/DeckWatchLine.hpp"

#include "platform/LogFormat.hpp"
#include "platform/UTF8.hpp"

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace deck {

namespace {

void AppendUnicodeEscape(std::string& out, unsigned codePoint) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", codePoint);
  out += escape;
}

// `text` with every byte that does not start a valid character replaced by U+FFFD.
std::string ValidUTF8(const std::string& text) {
  std::string out;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = platform::UTF8CharacterLength(bytes + i, text.size() - i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      i += 1;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

} // namespace

std::string DeckWatchJSONLine(const nlohmann::json& value) {
  // The dump escapes C0 controls, quotes and backslashes; what is left raw are DEL (7F), C1
  // (C2 80 to C2 9F) and U+2028/U+2029 (E2 80 A8/A9). Outside strings JSON is ASCII, and the
  // dump is valid UTF-8, so these byte sequences are always whole characters inside strings.
  const std::string dumped = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string out;
  out.reserve(dumped.size());
  for (std::size_t i = 0; i < dumped.size(); ++i) {
    const auto c = static_cast<unsigned char>(dumped[i]);
    const auto next = [&](std::size_t k) {
      return i + k < dumped.size() ? static_cast<unsigned char>(dumped[i + k]) : 0u;
    };
    if (c == 0x7F) {
      AppendUnicodeEscape(out, c);
    } else if (c == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
      AppendUnicodeEscape(out, next(1));
      i += 1;
    } else if (c == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) {
      AppendUnicodeEscape(out, 0x2000u + next(2) - 0x80u);
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string DeckWatchLine(const nlohmann::json& userInfo, bool asJson) {
  if (asJson) return DeckWatchJSONLine(userInfo) + "\n";
  auto number = [&](const char* key) {
    auto it = userInfo.find(key);
    return it != userInfo.end() && it->is_number_integer() ? it->dump() : std::string("?");
  };
  std::string context = "?";
  if (auto it = userInfo.find("context"); it != userInfo.end())
    context = it->is_string() ? it->get<std::string>() : DeckWatchJSONLine(*it);
  bool pressed = false;
  if (auto it = userInfo.find("pressed"); it != userInfo.end() && it->is_boolean()) pressed = it->get<bool>();
  // The log's escaping: C0, DEL and C1 as \n, \t, \u001b…; invalid UTF-8 as U+FFFD.
  return "R" + number("row") + "C" + number("column") + (pressed ? " down " : " up ") +
         XLogFormat("%@", ValidUTF8(context)) + "\n";
}

} // namespace deck
