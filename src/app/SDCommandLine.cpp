#include "app/SDCommandLine.hpp"

#include "platform/UTF8.hpp"
#include "streamdeck/SDUtilities.hpp"

#include <cstring>
#include <string_view>

namespace {

std::optional<std::string> Argument(const char* argument) {
  if (!argument) return std::nullopt;
  std::string_view text(argument);
  if (!platform::IsValidUTF8(text)) return std::nullopt;
  return std::string(text);
}

} // namespace

std::variant<SDCommandLine, std::string> SDParseCommandLine(int argc, const char* const* argv) {
  if (argc != 9) return "Invalid number of parameters " + std::to_string(argc) + " instead of 9";
  SDCommandLine line;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::optional<std::string> flag = Argument(argv[i]);
    std::optional<std::string> value = Argument(argv[i + 1]);
    if (!flag) continue;
    if (*flag == "-port")
      line.port = value ? SDIntValue(*value) : 0;
    else if (*flag == "-pluginUUID")
      line.pluginUUID = value;
    else if (*flag == "-registerEvent")
      line.registerEvent = value;
    else if (*flag == "-info")
      line.info = value;
  }
  if (line.port == 0) return std::string("Invalid port number");
  if (!line.pluginUUID || line.pluginUUID->empty()) return std::string("Invalid plugin UUID");
  if (!line.registerEvent || line.registerEvent->empty()) return std::string("Invalid registerEvent");
  return line;
}
