#include "deck/DeckMqttRemoteOptions.hpp"

namespace deck {

const char* const kDeckMqttRemoteHelp =
    "\nOver MQTT (the deck's zorbel-deck run has an [mqtt] table), from any machine:\n"
    "  zorbel-deck --broker mqtt[s]://host[:port] [--prefix P] [--username U]\n"
    "              [--password-file F] [--ca-file F] title|image|alert|ok|clear|watch …\n"
    "ZORBEL_DECK_BROKER and ZORBEL_DECK_PREFIX stand for --broker and --prefix. Missing settings come\n"
    "from the [mqtt] table of the configuration file, if it has one; the prefix defaults to\n"
    "zorbel/<this host name>.\n";

std::optional<std::string> DeckReadMqttRemoteOptions(const std::vector<std::string>& arguments,
                                                     DeckMqttRemoteOptions& options, std::size_t& used) {
  used = 0;
  while (used < arguments.size()) {
    const std::string& name = arguments[used];
    std::string* into = name == "--broker"          ? &options.broker
                        : name == "--prefix"        ? &options.prefix
                        : name == "--username"      ? &options.username
                        : name == "--password-file" ? &options.passwordFile
                        : name == "--ca-file"       ? &options.caFile
                                                    : nullptr;
    if (!into) break;
    if (used + 1 >= arguments.size() || arguments[used + 1].empty()) return name + " needs a value";
    if (!into->empty()) return name + " given twice";
    *into = arguments[used + 1];
    used += 2;
  }
  return std::nullopt;
}

} // namespace deck
