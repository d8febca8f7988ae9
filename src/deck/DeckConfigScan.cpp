#include "deck/DeckConfigScan.hpp"

#include <vector>

namespace deck {

namespace {

enum class Mode {
  Key,    // a key (or, at the start of a line outside any value, a table name)
  Header, // inside [table] or [[table]]
  Value,  // after '=' or inside an array
};

class Scanner {
public:
  explicit Scanner(std::string_view text) : text(text) {}

  std::optional<DeckConfigScanProblem> run() {
    while (i < text.size()) {
      const char c = text[i];
      if (c == '\n') {
        newLine();
        continue;
      }
      if (c == '#') {
        while (i < text.size() && text[i] != '\n') ++i;
        continue;
      }
      if (c == '"' || c == '\'') {
        skipString(c);
        started = true;
        continue;
      }
      if (auto problem = step(c)) return problem;
      if (c != ' ' && c != '\t' && c != '\r') started = true;
      ++i;
    }
    return std::nullopt;
  }

private:
  std::string_view text;
  std::size_t i = 0;
  std::size_t lineStart = 0;
  int line = 1;
  Mode mode = Mode::Key;
  bool started = false; // something other than blanks seen in this key (or line)
  int parts = 1;
  std::vector<char> open; // the arrays ('[') and inline tables ('{') open at this point

  DeckConfigScanProblem problem(std::string reason) const {
    return {line, static_cast<int>(i - lineStart) + 1, std::move(reason)};
  }

  void newLine() {
    ++i;
    ++line;
    lineStart = i;
    // A newline ends a top-level value, but not an array spread over several lines.
    if (open.empty()) startKey();
  }

  void startKey() {
    mode = Mode::Key;
    parts = 1;
    started = false;
  }

  std::optional<DeckConfigScanProblem> countPart() {
    if (++parts > kDeckMaxKeyParts)
      return problem("a key or table name with more than " + std::to_string(kDeckMaxKeyParts) +
                     " dotted parts (a configuration needs a few)");
    return std::nullopt;
  }

  std::optional<DeckConfigScanProblem> step(char c) {
    switch (mode) {
    case Mode::Key:
      if (c == '.') return countPart();
      if (c == '=') mode = Mode::Value;
      if (c == '}' && !open.empty()) { // an empty inline table, or one with a trailing comma
        open.pop_back();
        mode = Mode::Value;
      }
      if (c == '[' && !started && open.empty()) {
        mode = Mode::Header;
        if (i + 1 < text.size() && text[i + 1] == '[') ++i;
      }
      return std::nullopt;
    case Mode::Header:
      if (c == '.') return countPart();
      if (c == ']') {
        mode = Mode::Key; // what follows on the line is a comment or a fault the parser reports
        started = true;
      }
      return std::nullopt;
    case Mode::Value:
      if (c == '[' || c == '{') {
        open.push_back(c);
        if (static_cast<int>(open.size()) > kDeckMaxNesting)
          return problem("more than " + std::to_string(kDeckMaxNesting) +
                         " arrays or inline tables inside each other (a configuration needs a few)");
        if (c == '{') startKey();
      } else if ((c == ']' || c == '}') && !open.empty()) {
        open.pop_back();
      } else if (c == ',' && !open.empty() && open.back() == '{') {
        startKey();
      }
      return std::nullopt;
    }
    return std::nullopt;
  }

  // Past a string starting at i: basic ("…", with backslash escapes) or literal ('…'), on one
  // line or, tripled, on several. An unfinished string ends the text for this scan.
  void skipString(char quote) {
    const bool multiLine = text.substr(i, 3) == std::string_view(quote == '"' ? "\"\"\"" : "'''");
    i += multiLine ? 3 : 1;
    while (i < text.size()) {
      const char c = text[i];
      if (c == '\\' && quote == '"') {
        if (i + 1 < text.size() && text[i + 1] == '\n') {
          ++line;
          lineStart = i + 2;
        }
        i += 2;
        continue;
      }
      if (c == '\n') {
        if (!multiLine) return; // unfinished: the parser says so
        ++line;
        lineStart = i + 1;
      }
      if (c == quote) {
        if (!multiLine) {
          ++i;
          return;
        }
        if (text.substr(i, 3) == std::string_view(quote == '"' ? "\"\"\"" : "'''")) {
          i += 3;
          // Up to two more quotes belong to the string ("""a"""" ends with one quote in it).
          for (int extra = 0; extra < 2 && i < text.size() && text[i] == quote; ++extra) ++i;
          return;
        }
      }
      ++i;
    }
  }
};

} // namespace

std::optional<DeckConfigScanProblem> DeckScanConfigText(std::string_view text) { return Scanner(text).run(); }

} // namespace deck
