#pragma once
// Whether a file that says what the engine runs (the configuration) or holds a secret (a password
// file) may be trusted, by the rules sshd and cron apply to theirs: nobody but the user (or root)
// can have written it or can replace it.

#include <optional>
#include <string>

namespace deck {

/// nullopt when the file at `path` may be trusted: it is a regular file owned by the user or root
/// that its group and others cannot write, and every folder on its way (symbolic links followed,
/// the folder of each link checked too) belongs to the user or root and only its owner can write
/// it, or it is root's and sticky, like /tmp. With `secret`, the file must also not be readable
/// by its group or others. Else a sentence that names the file and the reason.
std::optional<std::string> DeckUntrustedFileReason(const std::string& path, bool secret);

} // namespace deck
