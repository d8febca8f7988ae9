#include "app/SDCommandLine.hpp"

#include "streamdeck/SDUtilities.hpp"

#include <cstring>
#include <string_view>

namespace {

bool ValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    unsigned char c = *p;
    std::size_t n;
    if (c < 0x80)
      n = 1;
    else if (c >= 0xC2 && c <= 0xDF)
      n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
      n = 3;
    else if (c >= 0xF0 && c <= 0xF4)
      n = 4;
    else
      return false;
    if (static_cast<std::size_t>(end - p) < n) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((p[k] & 0xC0) != 0x80) return false;
    if (c == 0xE0 && p[1] < 0xA0) return false; // overlong
    if (c == 0xED && p[1] > 0x9F) return false; // surrogate
    if (c == 0xF0 && p[1] < 0x90) return false; // overlong
    if (c == 0xF4 && p[1] > 0x8F) return false; // above U+10FFFF
    p += n;
  }
  return true;
}

std::optional<std::string> Argument(const char* argument) {
  if (!argument) return std::nullopt;
  std::string_view text(argument);
  if (!ValidUtf8(text)) return std::nullopt;
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
