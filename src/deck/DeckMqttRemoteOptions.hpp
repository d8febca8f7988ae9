#pragma once
// The options before a subcommand that send it over MQTT instead of D-Bus:
//
//   zorbel-deck --broker URL [--prefix P] [--username U] [--password-file F] [--ca-file F]
//               title|image|alert|ok|clear|watch …
//
// Pure, like the rest of the command line. ZORBEL_DECK_BROKER and ZORBEL_DECK_PREFIX give the
// broker and the prefix when the options do not (DeckMqttRemoteFromEnvironment).

#include <optional>
#include <string>
#include <vector>

namespace deck {

struct DeckMqttRemoteOptions {
  std::string broker; // empty: over D-Bus
  std::string prefix;
  std::string username;
  std::string passwordFile;
  std::string caFile;
  bool operator==(const DeckMqttRemoteOptions&) const = default;
};

/// Reads the remote options at the start of `arguments` into `options`; `used` is how many
/// arguments they took. The error message when one is incomplete or repeated.
std::optional<std::string> DeckReadMqttRemoteOptions(const std::vector<std::string>& arguments,
                                                     DeckMqttRemoteOptions& options, std::size_t& used);

/// The lines of the program's help that describe them.
extern const char* const kDeckMqttRemoteHelp;

} // namespace deck
