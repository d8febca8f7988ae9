#pragma once
// The readers of deck.toml's top-level tables other than `keys`, each in a file of its own and
// called from DeckParseConfig's top-level loop. toml++ is in here: include from .cpp files only.

#include "deck/DeckConfig.hpp"

#include <toml++/toml.h>

#include <optional>
#include <string>

namespace deck {

/// Reads the top-level `dials` table (`node`, at `line` of `path`) into `config.dials`, in the
/// file's order; the first fault in the file when there is one.
std::optional<DeckConfigError> DeckReadDialsTable(const toml::node& node, int line, const std::string& path,
                                                  DeckConfig& config);

} // namespace deck
