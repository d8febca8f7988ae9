#pragma once
// What `zorbel-deck run --check` finds beyond the configuration's own rules: the files it names.

#include "deck/DeckConfig.hpp"

#include <string>
#include <vector>

namespace deck {

/// One sentence per configured image that is not a regular file (missing, a folder, a FIFO, …),
/// naming the configuration, the key and the file; empty when every image is there. `home` is
/// where "~/" and relative paths start, as in the engine.
std::vector<std::string> DeckConfigFileProblems(const DeckConfig& config, const std::string& home);

/// "OK: <N> keys", what --check prints for a good configuration.
std::string DeckConfigSummary(const DeckConfig& config);

} // namespace deck
