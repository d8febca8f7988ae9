#pragma once
// The configuration reference that `zorbel-deck help config` prints: the "Configuration" section
// of docs/zorbel-deck.md, taken from the document when the program is built, so that the two
// cannot differ.

#include <string_view>

namespace deck {

/// The section's text (Markdown), from its heading to the next one, ending with a line break.
std::string_view DeckConfigReference();

} // namespace deck
