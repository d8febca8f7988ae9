#pragma once
// D-Bus server addresses ("unix:path=/run/user/1000/bus,guid=…"), as far as the session bus
// center needs them: to tell a unix socket nobody listens at yet from a bus that refuses us, and
// to name the address tried in the messages of the plug-in and zorbel-deck alike.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// The text of a D-Bus address value (%XX escapes decoded); nullopt when it is malformed.
std::optional<std::string> SessionBusAddressValue(std::string_view value);

/// The unix socket the bus at `address` listens on (nullopt: the usual session bus lookup
/// through DBUS_SESSION_BUS_ADDRESS, then XDG_RUNTIME_DIR/bus), when that is one plain unix
/// address: its path, or for an abstract one its name after a NUL byte. nullopt for anything
/// else (several addresses, TCP, launchd…), which is then tried directly.
std::optional<std::string> SessionBusUnixSocketOf(const std::optional<std::string>& address);

/// The session bus address a connection tries, as messages name it: `address` when given, else
/// DBUS_SESSION_BUS_ADDRESS, else unix:path=$XDG_RUNTIME_DIR/bus, else a note that neither is set.
std::string SessionBusAddressForMessages(const std::optional<std::string>& address = std::nullopt);

/// The sentence for a session bus that cannot be reached: "cannot reach the D-Bus session bus at "
/// and SessionBusAddressForMessages(address).
std::string SessionBusUnreachableSentence(const std::optional<std::string>& address = std::nullopt);

} // namespace platform
