#pragma once
// `zorbel-deck setup`: makes an unpacked bundle usable from a shell and at login. It links the
// bundle's zorbel-deck into ~/.local/bin and installs the bundle's systemd user unit, and
// `--uninstall` undoes exactly that.
//
// Everything happens inside the user's own folders, and nothing there is trusted to be what its
// name says: each folder below the home (or below the configuration home) is opened without
// following a symbolic link, so a link planted at ~/.local/bin or ~/.config/systemd never
// redirects a write; an existing ~/.local/bin/zorbel-deck is replaced only when it is a link to
// a zorbel-deck, and an existing unit only when it is ours. Files are written beside their place
// and renamed over it, which replaces a link instead of writing through it.

#include <string>

namespace deck {

struct DeckSetupPlaces {
  std::string bundle;     // the folder holding zorbel-deck and zorbel-deck.service
  std::string home;       // HOME
  std::string configHome; // XDG_CONFIG_HOME when it is absolute, else empty (home/.config)
  std::string path;       // PATH, to say whether ~/.local/bin is on it
};

struct DeckSetupReport {
  int status = 0;     // 0 done, 1 something could not be done (the rest still is)
  std::string text;   // what it did, one line each, and what is left to the user
  std::string errors; // what it could not do and why, one line each
};

DeckSetupReport DeckSetup(const DeckSetupPlaces& places, bool uninstall);

/// The places of this process: its executable's folder, HOME, XDG_CONFIG_HOME and PATH.
DeckSetupPlaces DeckSetupPlacesOfThisProcess();

} // namespace deck
