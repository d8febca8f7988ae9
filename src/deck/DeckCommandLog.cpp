#include "deck/DeckCommandLog.hpp"

#include "platform/UTF8.hpp"

#include <cstdint>
#include <cstdio>

namespace deck {

std::string DeckReplaceInvalidUTF8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t length = platform::UTF8CharacterLength(data + i, bytes.size() - i);
    if (length == 0) {
      platform::AppendUTF8(text, 0xFFFD);
      ++i;
      continue;
    }
    text.append(bytes.substr(i, length));
    i += length;
  }
  return text;
}

std::string DeckLoggableLine(std::string_view line) {
  bool cut = line.size() > kMaxLoggedLineBytes;
  std::size_t keep = std::min(line.size(), kMaxLoggedLineBytes);
  // Cut before a character, not inside it.
  for (int back = 0; cut && back < 3 && keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xC0) == 0x80;
       ++back)
    --keep;
  std::string valid = DeckReplaceInvalidUTF8(line.substr(0, keep));
  std::string text;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    auto c = static_cast<unsigned char>(valid[i]);
    unsigned code = c;
    bool c1 = c == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) < 0xA0;
    if (c1) code = static_cast<unsigned char>(valid[++i]);
    if (code >= 0x20 && code != 0x7F && !c1) {
      text += valid[i];
      continue;
    }
    switch (code) {
    case '\n':
      text += "\\n";
      break;
    case '\r':
      text += "\\r";
      break;
    case '\t':
      text += "\\t";
      break;
    case '\b':
      text += "\\b";
      break;
    case '\f':
      text += "\\f";
      break;
    default: {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", code);
      text += escape;
    }
    }
  }
  if (cut) text += "…";
  return text;
}

void DeckErrorLog::flush(const std::string& prefix, Last& last) {
  if (last.repeats > 0)
    _log(prefix + ": " + last.line + " (repeated " + std::to_string(last.repeats) +
         (last.repeats == 1 ? " time)" : " times)"));
  last.repeats = 0;
}

void DeckErrorLog::add(const std::string& prefix, std::string_view errors) {
  Last& last = _last[prefix];
  if (errors.empty()) {
    flush(prefix, last);
    _last.erase(prefix);
    return;
  }
  std::size_t logged = 0, skipped = 0;
  while (!errors.empty()) {
    auto end = errors.find('\n');
    std::string_view raw = errors.substr(0, end);
    errors = end == std::string_view::npos ? std::string_view() : errors.substr(end + 1);
    if (raw.ends_with('\r')) raw.remove_suffix(1);
    if (raw.empty()) continue;
    std::string line = DeckLoggableLine(raw);
    if (line == last.line) {
      ++last.repeats;
      continue;
    }
    if (logged == kMaxLoggedLinesPerRun) {
      ++skipped;
      continue;
    }
    flush(prefix, last);
    _log(prefix + ": " + line);
    last.line = std::move(line);
    ++logged;
  }
  if (skipped > 0) {
    _log(prefix + ": (" + std::to_string(skipped) + " more lines not logged)");
    last.line.clear();
  }
}

} // namespace deck
