#pragma once
// A cheap pass over a configuration's text before the TOML parser sees it. The parser builds one
// nested table per part of a dotted key or table name and frees them recursively, so a long
// enough `a.a.a.…` overflows the stack: measured with toml++ 3.3 (-O2), about 130,000 parts survive
// on the default 8 MiB stack, about 16,000 on 1 MiB and 3,800 on 256 KiB (some 64 bytes a level).
// Its own limit on nested arrays and inline tables is 256. The bounds here keep the deepest
// table the parser can build near a thousand levels (32 nestings of 32-part keys), well below
// what even a 256 KiB stack survives, while the deepest real configuration needs four.

#include <optional>
#include <string>
#include <string_view>

namespace deck {

/// The most parts a dotted key or a table name may have (`a.b.c` has three).
inline constexpr int kDeckMaxKeyParts = 32;
/// The most arrays and inline tables one value may have open at once.
inline constexpr int kDeckMaxNesting = 32;

struct DeckConfigScanProblem {
  int line = 0;
  int column = 0;
  std::string reason;
};

/// The first place where `text` goes past one of the bounds above; nullopt when it stays within
/// them. It tells nothing more: the TOML parser reports every other fault.
std::optional<DeckConfigScanProblem> DeckScanConfigText(std::string_view text);

} // namespace deck
