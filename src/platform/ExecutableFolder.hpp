#pragma once
// The folder the running program was started from, and whether others could change what it runs.
//
// A bundle unpacked under a permissive umask (by a host, or by hand with umask 0000) can leave its
// folder or its lib/ writable by the group or by everyone: anyone who may write there can replace the
// executable or a library it loads. The programs say so in one log line at start, with the fix.

#include <optional>
#include <string>

namespace platform {

/// The folder holding the running executable (from /proc/self/exe), "" when it cannot be read.
std::string ExecutableFolder();

/// One sentence naming `folder` and/or `folder`/lib when its group or others may write to them, with
/// the command that fixes it; nullopt when neither may (or neither can be examined).
std::optional<std::string> WritableFolderWarning(const std::string& folder);

/// Logs WritableFolderWarning(`folder`) in the "display" category when there is one; true when it did.
bool LogWhenFolderIsWritable(const std::string& folder);

} // namespace platform
