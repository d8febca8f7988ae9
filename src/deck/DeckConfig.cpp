#include "deck/DeckConfig.hpp"

#include "deck/DeckConfigScan.hpp"
#include "deck/DeckFileTrust.hpp"
#include "deck/detail/DeckConfigTables.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace deck {

namespace {

// The top-level tables and their readers, one line each (detail/DeckConfigTables.hpp).
const std::pair<std::string_view, detail::DeckTableReader> kTables[] = {
    {"keys", detail::DeckReadKeysTable},
    {"dials", detail::DeckReadDialsTable},
    {"mqtt", detail::DeckReadMqttTable},
};

std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n')
      out += "\\n";
    else if (u < 0x20 || u == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
      out += escaped;
    } else
      out += c;
  }
  return out;
}

// The TOML parser's description of a syntax error, in words for someone who edits the file.
std::string PlainSyntaxError(std::string_view description) {
  static const std::pair<std::string_view, std::string_view> kPlain[] = {
      {"could not determine value type",
       "this value is not one TOML knows: text goes in quotes (press = \"make\"), numbers and true or false "
       "without"},
      {"Error while parsing boolean", "this value is not one TOML knows: true and false are written in small "
                                      "letters, text goes in quotes"},
      {"Error while parsing decimal integer: expected digit",
       "a number followed by letters: a duration goes in quotes (every = \"30s\")"},
      {"control characters",
       "a string that does not end on its line (a closing quote missing?) or that holds "
       "a control character"},
      {"Error while parsing string: encountered end-of-file", "a string that is never closed"},
      {"Error while parsing table header: expected ']'", "a table name that is not closed with ]"},
      {"blank bare keys", "an empty table name"},
      {"expected '=', saw", "a key without = and a value (write key = value)"},
      {"expected value, saw", "a key without a value after ="},
      {"expected a comment or whitespace", "more after the value on the same line: one key = value per line "
                                           "(a comment starts with #)"},
      {"expected keys, tables, whitespace or comments",
       "a line that is none of key = value, [table] or a comment (# …)"},
      {"cannot redefine existing", "a key or table that is already defined above (each is written once)"},
      {"dangling comma", "a comma before the closing } (an inline table takes none)"},
      {"Error while parsing inline table", "an inline table { … } must be on one line, its key = value pairs "
                                           "separated by commas"},
      {"Error while parsing array", "an array [ … ] that is not closed, or two commas in a row"},
      {"unknown escape sequence",
       "an unknown escape in a string: in double quotes write a backslash as \\\\, "
       "or use single quotes for text with backslashes"},
      {"leading zeroes are prohibited", "a number that starts with 0"},
      {"not representable in 64 bits", "a number too large"},
      {"invalid utf-8", "text that is not UTF-8"},
      {"exceeded maximum nested value depth", "too many arrays or inline tables inside each other"},
      {"Error while parsing date", "a date or time that does not exist"},
      {"Error while parsing time", "a date or time that does not exist"},
  };
  for (auto& [pattern, plain] : kPlain)
    if (description.find(pattern) != std::string_view::npos) return std::string(plain);
  constexpr std::string_view kPrefix = "Error while parsing ";
  if (description.starts_with(kPrefix)) description.remove_prefix(kPrefix.size());
  return "TOML syntax error in " + Printable(description);
}

} // namespace

std::string DeckConfigError::description() const {
  std::string place = path;
  if (line > 0) place += ":" + std::to_string(line);
  if (line > 0 && column > 0) place += ":" + std::to_string(column);
  // One line in a log, whatever names the file holds ("a\nb" is a valid quoted key).
  return Printable(place + ": " + reason);
}

DeckConfigResult DeckParseConfig(const std::string& text, const std::string& path) {
  if (text.size() > kDeckMaxConfigBytes)
    return DeckConfigError{path, 0, 0, "larger than 1 MiB, the most a configuration may have"};
  if (auto problem = DeckScanConfigText(text))
    return DeckConfigError{path, problem->line, problem->column, problem->reason};
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& error) {
    return DeckConfigError{path, static_cast<int>(error.source().begin.line),
                           static_cast<int>(error.source().begin.column),
                           PlainSyntaxError(error.description())};
  }
  DeckConfig config;
  config.path = path;
  for (const auto& entry : detail::DeckInFileOrder(root)) {
    const toml::key& name = *entry.first;
    const toml::node& node = *entry.second;
    auto table = std::find_if(std::begin(kTables), std::end(kTables),
                              [&](auto& reader) { return reader.first == name.str(); });
    if (table == std::end(kTables))
      return detail::DeckErrorAt(
          path, name, "unknown table or field \"" + std::string(name.str()) + "\" (keys go in [keys.<ID>])");
    if (auto error = table->second(node, path, config)) return *error;
  }
  return config;
}

DeckConfigResult DeckLoadConfig(const std::string& path) {
  auto failed = [&](std::string reason) { return DeckConfigError{path, 0, 0, std::move(reason)}; };
  // Without blocking: opening a FIFO for reading would wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failed(std::string("cannot read the file: ") + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return failed(std::string("cannot read the file: ") + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) {
    const char* kind = S_ISDIR(st.st_mode)                          ? "a folder"
                       : S_ISFIFO(st.st_mode)                       ? "a FIFO"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                       : S_ISSOCK(st.st_mode)                       ? "a socket"
                                                                    : "not a regular file";
    return failed(std::string("not a configuration file: it is ") + kind +
                  " (a configuration is a regular file)");
  }
  if (auto untrusted = DeckUntrustedFileReason(path, false)) {
    // The sentence names the file first, as description() does.
    const std::string named = path + ": ";
    return failed(untrusted->starts_with(named) ? untrusted->substr(named.size()) : *untrusted);
  }
  // At most one byte more than the limit: enough to know the file is too large.
  std::string text(kDeckMaxConfigBytes + 1, '\0');
  std::size_t size = 0;
  while (size < text.size()) {
    const ssize_t n = ::read(fd, text.data() + size, text.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(std::string("cannot read the file: ") + std::strerror(errno));
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  if (size > kDeckMaxConfigBytes) return failed("larger than 1 MiB, the most a configuration may have");
  text.resize(size);
  return DeckParseConfig(text, path);
}

std::string DeckDefaultConfigPath() {
  // XDG: a path in XDG_CONFIG_HOME that is not absolute is invalid and ignored.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return std::string(config) + "/zorbel/deck.toml";
  std::string home;
  if (const char* value = std::getenv("HOME"); value && *value)
    home = value;
  else if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
    home = entry->pw_dir;
  return home + "/.config/zorbel/deck.toml";
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
