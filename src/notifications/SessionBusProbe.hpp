#pragma once
// A bounded first look at a session bus before sd-bus connects to it. sd-bus connects and
// authenticates synchronously and waits up to 90 s for a bus that accepts the connection but
// does not answer (a daemon under SIGSTOP, a wedged one); a program that connects once and exits
// (a cron job's one-shot command) asks first whether the bus answers at all.

#include <chrono>
#include <optional>
#include <string>

namespace platform {

/// Connects to the unix socket of the bus at `address` (nullopt: the usual session bus lookup)
/// and sends an empty AUTH, which a bus answers at once with the mechanisms it offers. nullopt
/// when an answer came within `timeout`, or when the address is not one plain unix socket (then
/// there is nothing to ask before sd-bus); else why not, as a phrase ("No such file or
/// directory", "no answer within 5 s").
std::optional<std::string> SessionBusSignOfLife(const std::optional<std::string>& address,
                                                std::chrono::milliseconds timeout);

} // namespace platform
