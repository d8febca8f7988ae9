#pragma once
// What each zorbel-deck subcommand does, once its command line is checked. Each returns the
// process's exit status: 0 success, 1 failure (no session bus, a bad configuration or image),
// with a message on standard error.

#include "deck/DeckCommandLine.hpp"

namespace deck {

/// Runs `invocation` on the main run loop; returns the exit status.
int DeckRunInvocation(const DeckInvocation& invocation);

/// The session bus address a connection tries, for messages: DBUS_SESSION_BUS_ADDRESS, else
/// unix:path=$XDG_RUNTIME_DIR/bus.
std::string DeckSessionBusAddress();

} // namespace deck
