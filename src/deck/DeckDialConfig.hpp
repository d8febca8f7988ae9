#pragma once
// A dial's part of the scripting engine's configuration: one table per dial in deck.toml, beside
// the keys' tables.
//
//   [dials.D1]                  the dial's button ID; D<n> also gives its position
//   rotate   = "command"        run on rotation, with ZB_TICKS (signed) and ZB_PRESSED (1 or 0)
//   push     = "command"        run when the dial is pushed down
//   release  = "command"        run when it comes up again
//   touch    = "command"        run on a tap on its strip, with ZB_X, ZB_Y and ZB_HOLD (1 or 0)
//   feedback = "command"        its output sets the strip: a plain first line is the value, a JSON
//                               object sets any of title, value, indicator and icon
//   show     = "status"         "status": Show OK on exit 0, Show Alert otherwise; "none"
//   every    = "5s"             rerun `feedback` this often
//   timeout  = "10s"            the time limit of every command of the dial
//   column   = 2                the position, when the ID is not D<n>
//
// The table is parsed in DeckDialConfig.cpp; DeckParseConfig hands it over.

#include <chrono>
#include <optional>
#include <string>

namespace deck {

struct DeckDial {
  std::string id;
  int column = 0; // the dial's position, from 1; 0 when it has none (then it runs no rotate,
                  // push, release or touch command: events name dials by position)
  std::string rotate;
  std::string push;
  std::string release;
  std::string touch;
  std::string feedback;
  bool showStatus = true; // show = "status" (the default) or "none"
  std::optional<std::chrono::milliseconds> every;
  std::chrono::milliseconds timeout{10'000}; // the keys' default
};

/// The position a dial's button ID of the form D<n> names (1 to 99), if it has it.
std::optional<int> DeckColumnOfDialID(const std::string& id);

} // namespace deck
