#include "notifications/FlatpakSandbox.hpp"

#include "platform/Log.hpp"

#include <fstream>
#include <sstream>
#include <string_view>

namespace platform {

namespace {

std::string_view Trimmed(std::string_view text) {
  const auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

} // namespace

std::optional<FlatpakSandbox> FlatpakSandboxAt(const std::string& infoPath) {
  std::ifstream in(infoPath);
  if (!in) return std::nullopt;
  // A key file: [Section] lines, then key=value lines; lists are ';'-separated.
  FlatpakSandbox sandbox;
  std::string section;
  for (std::string line; std::getline(in, line);) {
    const std::string_view text = Trimmed(line);
    if (text.empty() || text[0] == '#') continue;
    if (text.front() == '[' && text.back() == ']') {
      section = text.substr(1, text.size() - 2);
      continue;
    }
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = Trimmed(text.substr(0, equals)), value = Trimmed(text.substr(equals + 1));
    if (section == "Application" && key == "name") sandbox.appID = value;
    if (section == "Context" && key == "sockets") {
      std::istringstream items{std::string(value)};
      for (std::string item; std::getline(items, item, ';');)
        if (Trimmed(item) == "session-bus") sandbox.sessionBus = true;
    }
  }
  if (sandbox.appID.empty()) sandbox.appID = kOpenDeckFlatpakID;
  return sandbox;
}

bool FlatpakReportSessionBus(bool busAvailable, const std::string& infoPath) {
  const auto sandbox = FlatpakSandboxAt(infoPath);
  if (!sandbox || (busAvailable && sandbox->sessionBus)) return false;
  XLOG("display",
       "Distributed notifications cannot work inside the Flatpak sandbox of %@: %@. To let the plug-in "
       "and the Zorbel engine reach each other, run `flatpak override --user --socket=session-bus %@` and "
       "restart it",
       sandbox->appID,
       busAvailable ? "its session bus is filtered, so the engine's commands never arrive"
                    : "the sandbox gives it no session bus",
       sandbox->appID);
  return true;
}

} // namespace platform
