#pragma once
// What the plug-in needs to know when it runs inside a Flatpak sandbox (as it does under the
// Flatpak build of OpenDeck, which starts its plug-ins in its own sandbox).
//
// Flatpak gives a sandboxed app a filtered session bus unless it is allowed the whole bus. The
// filter lets the app's own broadcasts out (key presses reach the engine) but drops every
// broadcast from a sender the app may not talk to, and the engine sends from its unique name
// only, which no per-name rule can allow: engine commands never arrive. The one override that
// lets them in is the whole session bus (see docs/opendeck.md). The sandbox is described by the
// info file Flatpak puts at the root of it.

#include <optional>
#include <string>

namespace platform {

inline constexpr const char* kFlatpakInfoPath = "/.flatpak-info";
inline constexpr const char* kOpenDeckFlatpakID = "me.amankhanna.opendeck";

struct FlatpakSandbox {
  std::string appID;       // [Application] name=, or OpenDeck's ID when the file names none
  bool sessionBus = false; // the whole session bus is given ([Context] sockets= has session-bus)
};

/// The sandbox described by the Flatpak info file at `infoPath`; nothing when there is no such
/// file (the process does not run inside Flatpak).
std::optional<FlatpakSandbox> FlatpakSandboxAt(const std::string& infoPath = kFlatpakInfoPath);

/// Inside Flatpak, when the session bus cannot be reached (`busAvailable` false) or reaches the
/// plug-in filtered, logs one "display" line that names the command that fixes it. Returns
/// whether it logged.
bool FlatpakReportSessionBus(bool busAvailable, const std::string& infoPath = kFlatpakInfoPath);

} // namespace platform
