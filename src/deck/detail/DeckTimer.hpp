#pragma once
// The rhythm of `every` timers (.cpp files only: it includes Asio).

#include <boost/asio/steady_timer.hpp>

#include <chrono>

namespace deck::detail {

/// Sets `timer` to one `every` after its last expiry, keeping the rhythm; after a suspension
/// (an expiry already past) the next run comes one period from now.
inline void DeckNextTick(boost::asio::steady_timer& timer, std::chrono::milliseconds every) {
  auto next = timer.expiry() + every;
  if (next <= std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now() + every;
  timer.expires_at(next);
}

} // namespace deck::detail
