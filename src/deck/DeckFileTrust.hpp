#pragma once
// Whether a file that holds a secret (a password file) or says what the engine runs may be
// trusted: nobody but the user (or root) can have written it.
// A minimal version, for the MQTT password checks; the configuration reader's full one replaces it.

#include <optional>
#include <string>

namespace deck {

/// nullopt when the file at `path` may be trusted: a regular file owned by the user or root that
/// its group and others cannot write; with `secret`, not readable by them either. Else a
/// sentence that names the file and the reason.
std::optional<std::string> DeckUntrustedFileReason(const std::string& path, bool secret);

} // namespace deck
