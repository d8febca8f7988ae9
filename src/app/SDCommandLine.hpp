#pragma once
// The plug-in's command line, as the Stream Deck application starts it:
//   zorbel-streamdeck-plugin -port <port> -pluginUUID <uuid> -registerEvent <event> -info <json>
// exactly four flag/value pairs, in any order.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

struct SDCommandLine {
  std::int32_t port = 0;
  std::optional<std::string> pluginUUID;
  std::optional<std::string> registerEvent;
  std::optional<std::string> info;
};

/// The four values, or the diagnostic for standard error (no newline) after which the process
/// exits with status 1. Arguments that are not valid UTF-8 count as absent.
std::variant<SDCommandLine, std::string> SDParseCommandLine(int argc, const char* const* argv);
