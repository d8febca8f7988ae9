#pragma once
// Private to the configuration reader (.cpp files only: it includes toml++). Each top-level
// table of deck.toml other than `keys` has a reader of its own, in its own .cpp file, that fills
// its part of DeckConfig; DeckParseConfig calls it from one line of its top-level loop.

#include "deck/DeckConfig.hpp"

#include <toml++/toml.h>

#include <optional>
#include <string>

namespace deck::detail {

/// [mqtt] (DeckMqttConfig.cpp): the first fault found, in the file's order.
std::optional<DeckConfigError> DeckReadMqttTable(const toml::node& table, const std::string& path,
                                                 DeckConfig& config);

} // namespace deck::detail
