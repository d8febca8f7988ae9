#pragma once
// Private to the configuration reader (.cpp files only: it includes toml++). Each top-level
// table of deck.toml has a reader of its own, in its own .cpp file, that fills its part of
// DeckConfig from the parsed table; DeckParseConfig calls it from one line of its table list.
// The helpers below carry the rules every table shares, so that a duration, a command or an
// error reads the same wherever it is written: each returns nullopt when the value fits, else
// the reason, which DeckErrorAt() turns into an error with the value's line. A reader's .cpp
// belongs to the library zb_deck_config, with DeckParseConfig.

#include "deck/DeckConfig.hpp"

#include <toml++/toml.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace deck::detail {

/// Reads a top-level table into `config`; the first fault found, in the file's order.
using DeckTableReader = std::optional<DeckConfigError> (*)(const toml::node& table, const std::string& path,
                                                           DeckConfig& config);

/// [keys.<ID>] (DeckConfigKeys.cpp).
std::optional<DeckConfigError> DeckReadKeysTable(const toml::node& table, const std::string& path,
                                                 DeckConfig& config);

/// [dials.<ID>] (DeckDialConfig.cpp).
std::optional<DeckConfigError> DeckReadDialsTable(const toml::node& table, const std::string& path,
                                                  DeckConfig& config);

/// [mqtt] (DeckMqttConfig.cpp).
std::optional<DeckConfigError> DeckReadMqttTable(const toml::node& table, const std::string& path,
                                                 DeckConfig& config);

/// The line where `node` (or `key`) starts, from 1.
int DeckLineOf(const toml::node& node);
int DeckLineOf(const toml::key& key);

DeckConfigError DeckErrorAt(const std::string& path, const toml::node& node, std::string reason);
DeckConfigError DeckErrorAt(const std::string& path, const toml::key& key, std::string reason);

/// The entries of `table` sorted by their line: toml++ iterates in key order, but the first
/// fault reported must be the first one in the file.
std::vector<std::pair<const toml::key*, const toml::node*>> DeckInFileOrder(const toml::table& table);

/// A string (`field` names it in the reason).
std::optional<std::string> DeckReadString(const toml::node& value, std::string_view field, std::string& into);

/// A command run with sh -c: a string without NUL characters ("" means none).
std::optional<std::string> DeckReadCommand(const toml::node& value, std::string_view field,
                                           std::string& into);

/// A duration in quotes (DeckParseDuration) of at least `minimum`.
std::optional<std::string> DeckReadDuration(const toml::node& value, std::string_view field,
                                            Milliseconds& into, Milliseconds minimum = Milliseconds(1));

/// A whole number from `low` to `high`.
std::optional<std::string> DeckReadInteger(const toml::node& value, std::string_view field, long long low,
                                           long long high, long long& into);

/// One of `choices` (a string).
std::optional<std::string> DeckReadChoice(const toml::node& value, std::string_view field,
                                          std::initializer_list<std::string_view> choices, std::string& into);

} // namespace deck::detail
