#include "notifications/SessionBusAddress.hpp"

#include <cstdlib>

namespace platform {

std::optional<std::string> SessionBusAddressValue(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out += value[i];
      continue;
    }
    if (i + 2 >= value.size()) return std::nullopt;
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int high = hex(value[i + 1]), low = hex(value[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::optional<std::string> SessionBusUnixSocketOf(const std::optional<std::string>& address) {
  std::string text;
  if (address) {
    text = *address;
  } else if (const char* variable = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
    text = variable;
  } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
    return std::string(runtime) + "/bus";
  } else {
    return std::nullopt;
  }
  std::string_view rest(text);
  if (rest.find(';') != std::string_view::npos || !rest.starts_with("unix:")) return std::nullopt;
  rest.remove_prefix(5);
  std::optional<std::string> socket;
  while (!rest.empty()) {
    auto comma = rest.find(',');
    auto pair = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    auto equals = pair.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    auto key = pair.substr(0, equals);
    auto value = SessionBusAddressValue(pair.substr(equals + 1));
    if (!value || value->empty()) return std::nullopt;
    if (key == "path")
      socket = *value;
    else if (key == "abstract")
      socket = std::string(1, '\0') + *value;
    else if (key != "guid")
      return std::nullopt;
  }
  return socket;
}

std::string SessionBusAddressForMessages(const std::optional<std::string>& address) {
  if (address) return *address;
  if (const char* variable = std::getenv("DBUS_SESSION_BUS_ADDRESS"); variable && *variable) return variable;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string("unix:path=") + runtime + "/bus";
  return "(none: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)";
}

std::string SessionBusUnreachableSentence(const std::optional<std::string>& address) {
  return "cannot reach the D-Bus session bus at " + SessionBusAddressForMessages(address);
}

} // namespace platform
