#pragma once
// The rhythm of `every` timers (.cpp files only: it includes Asio).

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>

namespace deck::detail {

/// Runs `tick` when `timer` expires and then every `every`, keeping the rhythm:
/// after a suspension (an expiry already past) the next run comes one period from now. `tick`
/// returns false when its owner is gone or no longer holds `timer`; `timer` is not touched again
/// then, as it may be gone too.
template <class Tick>
void DeckRepeatEvery(boost::asio::steady_timer& timer, std::chrono::milliseconds every, Tick tick) {
  timer.async_wait([&timer, every, tick = std::move(tick)](const boost::system::error_code& ec) mutable {
    if (ec || !tick()) return;
    auto next = timer.expiry() + every;
    if (next <= std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now() + every;
    timer.expires_at(next);
    DeckRepeatEvery(timer, every, std::move(tick));
  });
}

/// A new timer that runs `tick(timer)` one period from now and then as DeckRepeatEvery does.
template <class Tick>
std::unique_ptr<boost::asio::steady_timer> DeckStartEvery(boost::asio::io_context& io,
                                                          std::chrono::milliseconds every, Tick tick) {
  auto timer = std::make_unique<boost::asio::steady_timer>(io, every);
  DeckRepeatEvery(*timer, every, [tick = std::move(tick), raw = timer.get()]() mutable { return tick(raw); });
  return timer;
}

} // namespace deck::detail
