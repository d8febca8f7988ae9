// Property: any text as a configuration gives either a configuration that keeps every rule the
// engine relies on, or an error that is one line with a reason; never a crash, an exception or
// a runaway recursion. When the pre-scan refuses the text, the parser is never reached and the
// error is the pre-scan's.

#include "deck/DeckConfig.hpp"
#include "deck/DeckConfigScan.hpp"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto scanned = deck::DeckScanConfigText(text);
  const auto result = deck::DeckParseConfig(text, "fuzz.toml");
  if (const auto* error = std::get_if<deck::DeckConfigError>(&result)) {
    const std::string description = error->description();
    if (error->reason.empty() || description.find('\n') != std::string::npos) std::abort();
    if (scanned && (error->line != scanned->line || error->reason != scanned->reason)) std::abort();
    return 0;
  }
  if (scanned) std::abort(); // refused text must never be parsed
  const auto& config = std::get<deck::DeckConfig>(result);
  if (config.keys.size() > deck::kDeckMaxKeys) std::abort();
  std::set<std::pair<int, int>> positions;
  for (const deck::DeckKey& key : config.keys) {
    if (key.id.empty()) std::abort();
    if (key.every && *key.every < deck::kDeckMinimumEvery) std::abort();
    if (key.timeout.count() <= 0) std::abort();
    if ((key.row == 0) != (key.column == 0) || key.row < 0 || key.row > 999 || key.column > 999) std::abort();
    if (key.row == 0 && (!key.press.empty() || !key.release.empty())) std::abort();
    if (key.row != 0 && !positions.emplace(key.row, key.column).second) std::abort();
    for (const std::string* command : {&key.press, &key.release, &key.title, &key.icon, &key.image})
      if (command->find('\0') != std::string::npos) std::abort();
  }
  return 0;
}
