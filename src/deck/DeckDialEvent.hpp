#pragma once
// A "Zorbel Stream Deck Dial" notification (docs/dbus.md): its userInfo checked and read, and
// the line `zorbel-deck watch` prints for it.

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <variant>

namespace deck {

/// Rotations with more ticks than this, either way, are refused: a fast spin gives a few dozen.
inline constexpr long long kMaxDialTicks = 10'000;

struct DeckDialEvent {
  enum class Kind { Rotate, Down, Up, Tap };
  Kind kind = Kind::Rotate;
  std::string context;
  std::string zbID;
  int column = 0;         // from 1
  long long ticks = 0;    // rotate: signed, clockwise positive
  bool pressed = false;   // rotate: turned while pushed
  long long x = 0, y = 0; // tap: the point on the strip
  bool hold = false;      // tap: a long touch
};

/// The event, or why the userInfo is not one (a missing or mistyped member, an unknown event,
/// ticks beyond kMaxDialTicks).
std::variant<DeckDialEvent, std::string> DeckReadDialEvent(const nlohmann::json& userInfo);

/// `watch`'s line for a dial notification, without a line break: "D1 rotate -3 <context>",
/// "D1 down <context>", "D1 up <context>", "D1 tap 120 40 [hold] <context>"; the ID is the
/// zbID, and what is missing or mistyped shows as "?".
std::string DeckDialWatchLine(const nlohmann::json& userInfo);

} // namespace deck
