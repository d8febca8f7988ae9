#include "deck/DeckMqttTopics.hpp"

#include <array>

namespace deck {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool NeedsEscape(unsigned char c) {
  return c == '%' || c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7F;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

struct CommandName {
  DeckMqttCommandKind kind;
  std::string_view table; // "key" or "dial"
  std::string_view name;
};

constexpr std::array<CommandName, 6> kCommands = {{
    {DeckMqttCommandKind::Title, "key", "title"},
    {DeckMqttCommandKind::Image, "key", "image"},
    {DeckMqttCommandKind::Alert, "key", "alert"},
    {DeckMqttCommandKind::OK, "key", "ok"},
    {DeckMqttCommandKind::Feedback, "dial", "feedback"},
    {DeckMqttCommandKind::Layout, "dial", "layout"},
}};

// The levels of `topic` after "<prefix>/"; nullopt when it is not under the prefix.
std::optional<std::vector<std::string_view>> LevelsUnder(const std::string& prefix, std::string_view topic) {
  if (topic.size() <= prefix.size() || !topic.starts_with(prefix) || topic[prefix.size()] != '/')
    return std::nullopt;
  std::vector<std::string_view> levels;
  std::string_view rest = topic.substr(prefix.size() + 1);
  for (;;) {
    auto slash = rest.find('/');
    levels.push_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return levels;
}

} // namespace

std::string DeckMqttEscape(std::string_view id) {
  std::string out;
  out.reserve(id.size());
  for (char c : id) {
    auto u = static_cast<unsigned char>(c);
    if (NeedsEscape(u)) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> DeckMqttUnescape(std::string_view level) {
  std::string out;
  out.reserve(level.size());
  for (std::size_t i = 0; i < level.size(); ++i) {
    if (level[i] != '%') {
      out += level[i];
      continue;
    }
    if (i + 2 >= level.size()) return std::nullopt;
    int high = HexValue(level[i + 1]), low = HexValue(level[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string DeckMqttStatusTopic(const std::string& prefix) { return prefix + "/status"; }

std::string DeckMqttPressTopic(const std::string& prefix, int row, int column) {
  return prefix + "/key/R" + std::to_string(row) + "C" + std::to_string(column);
}

std::string DeckMqttDialTopic(const std::string& prefix, std::string_view id) {
  return prefix + "/dial/" + DeckMqttEscape(id);
}

std::string DeckMqttCommandTopic(const std::string& prefix, DeckMqttCommandKind kind, std::string_view id) {
  for (auto& command : kCommands)
    if (command.kind == kind)
      return prefix + "/" + std::string(command.table) + "/" + DeckMqttEscape(id) + "/" +
             std::string(command.name) + "/set";
  return {};
}

std::optional<DeckMqttCommand> DeckMqttParseCommandTopic(const std::string& prefix, std::string_view topic) {
  auto levels = LevelsUnder(prefix, topic);
  if (!levels || levels->size() != 4 || (*levels)[3] != "set") return std::nullopt;
  auto id = DeckMqttUnescape((*levels)[1]);
  if (!id || id->empty()) return std::nullopt;
  for (auto& command : kCommands)
    if (command.table == (*levels)[0] && command.name == (*levels)[2])
      return DeckMqttCommand{command.kind, *id};
  return std::nullopt;
}

std::vector<std::string> DeckMqttCommandSubscriptions(const std::string& prefix) {
  return {prefix + "/key/+/+/set", prefix + "/dial/+/+/set"};
}

std::optional<std::pair<bool, std::string>> DeckMqttParseEventTopic(const std::string& prefix,
                                                                    std::string_view topic) {
  auto levels = LevelsUnder(prefix, topic);
  if (!levels || levels->size() != 2 || ((*levels)[0] != "key" && (*levels)[0] != "dial"))
    return std::nullopt;
  auto id = DeckMqttUnescape((*levels)[1]);
  if (!id || id->empty()) return std::nullopt;
  return std::pair((*levels)[0] == "dial", *id);
}

std::optional<std::string> DeckMqttPrefixProblem(const std::string& prefix) {
  if (prefix.empty()) return "the prefix is empty";
  if (prefix.find_first_of("+#") != std::string::npos) return "the prefix must not contain + or #";
  if (prefix.find('\0') != std::string::npos) return "the prefix must not contain NUL";
  if (prefix[0] == '$') return "the prefix must not begin with $ (the broker's own topics)";
  if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos)
    return "the prefix must not have empty levels (a leading, trailing or double /)";
  return std::nullopt;
}

std::string DeckMqttDefaultPrefix(const std::string& hostName) {
  return "zorbel/" + DeckMqttEscape(hostName.empty() ? "deck" : hostName);
}

std::variant<DeckMqttBroker, std::string> DeckMqttParseBroker(const std::string& url) {
  DeckMqttBroker broker;
  std::string_view rest(url);
  if (rest.starts_with("mqtt://")) {
    rest.remove_prefix(7);
  } else if (rest.starts_with("mqtts://")) {
    rest.remove_prefix(8);
    broker.tls = true;
    broker.port = 8883;
  } else {
    return "the broker must be mqtt://host[:port] or mqtts://host[:port], not \"" + url + "\"";
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  std::string_view port;
  if (rest.starts_with("[")) {
    auto close = rest.find(']');
    if (close == std::string_view::npos) return "the broker's IPv6 address has no closing ]";
    broker.host = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return "unexpected text after the broker's address in \"" + url + "\"";
      port = rest.substr(1);
      if (port.empty()) return "the broker's port is empty";
    }
  } else {
    auto colon = rest.find(':');
    broker.host = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos) {
      port = rest.substr(colon + 1);
      if (port.empty()) return "the broker's port is empty";
    }
  }
  if (broker.host.empty()) return "the broker URL \"" + url + "\" has no host";
  if (broker.host.find_first_of("/@?# ") != std::string::npos)
    return "the broker URL \"" + url + "\" must be only a host and a port (no user, path or query)";
  if (!port.empty()) {
    int value = 0;
    for (char c : port) {
      if (c < '0' || c > '9' || value > 65535) return "bad port in the broker URL \"" + url + "\"";
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return "bad port in the broker URL \"" + url + "\"";
    broker.port = value;
  }
  return broker;
}

} // namespace deck
