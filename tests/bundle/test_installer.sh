#!/usr/bin/env bash
# The installer (bundle/install-opendeck.sh) from a built archive, in temporary homes: as a normal user
# and, when run as root, through sudo for that user. Each case sets up a home, runs the installer and
# checks where the bundle went, that it is the build's bundle, that everything in the home belongs to
# the user, and what the installer said.
#   test_installer.sh <archive> <bundle folder>
# As root a throw-away user is created (and removed); otherwise the cases run as the invoking user,
# and the sudo cases are skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
archive=$(realpath "$1")
bundle=$(realpath "$2")
name=com.zorbel.streamdeck.sdPlugin
installer="$repo/bundle/install-opendeck.sh"
flatpak=.var/app/me.amankhanna.opendeck

work=$(mktemp -d)
chmod 0755 "$work"
home="$work/home"
user="" sudoers=""
cleanup() {
  [ -n "$sudoers" ] && rm -f "$sudoers"
  [ -n "$user" ] && [ "$user" != "$(id -un)" ] && userdel "$user" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$(id -u)" -eq 0 ]; then
  user=zb-install-$$
  useradd --no-create-home --home-dir "$home" --shell /bin/bash "$user"
  if command -v sudo >/dev/null; then
    sudoers=/etc/sudoers.d/zb-install-$$
    echo "$user ALL=(root) NOPASSWD: ALL" >"$sudoers"
    chmod 0440 "$sudoers"
  fi
else
  user=$(id -un)
fi

failures=0
fail() { echo "FAIL [$case]: $*"; failures=$((failures + 1)); }

# The installer as the user, with a clean environment (plus the given variables).
as_user() {
  local cmd=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$home" "$@")
  if [ "$(id -un)" = "$user" ]; then "${cmd[@]}"; else runuser -u "$user" -- "${cmd[@]}"; fi
}
install_as_user() { local vars=(); while [[ "${1:-}" == *=* ]]; do vars+=("$1"); shift; done
  as_user "${vars[@]}" bash "$installer" "$@" >"$work/out" 2>&1 || { fail "installer failed: $(cat "$work/out")"; }; }
install_through_sudo() {
  as_user sudo -n bash "$installer" "$@" >"$work/out" 2>&1 || { fail "installer failed: $(cat "$work/out")"; }; }

fresh_home() {
  rm -rf "$home"
  mkdir -p "$home"
  local dir
  for dir in "$@"; do mkdir -p "$home/$dir"; done
  chown -R "$user:" "$home"
}
tree() { (cd "$1" && find . -printf '%P %y %m %s\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
expect_bundle() {
  [ -d "$1/$name" ] || { fail "no bundle in $1"; return; }
  [ "$(tree "$1/$name")" = "$(tree "$bundle")" ] || fail "$1/$name differs from the build's bundle"
  [ -z "$(ls -A "$1" | grep "^\.$name" || true)" ] || fail "leftovers in $1: $(ls -A "$1")"
}
expect_absent() { [ ! -e "$1" ] || fail "$1 exists"; }
expect_said() { grep -qF -- "$1" "$work/out" || fail "the installer did not say \"$1\": $(cat "$work/out")"; }
expect_owned() {
  local foreign
  foreign=$(find "$home" ! -user "$user" | head -3)
  [ -z "$foreign" ] || fail "not owned by $user: $foreign"
}

case="no OpenDeck folder: the native one is created"
fresh_home
install_as_user --archive "$archive"
expect_bundle "$home/.config/opendeck/plugins"
expect_absent "$home/.var"
expect_said "OpenDeck not found"
expect_said "restart OpenDeck"
expect_owned

case="Flatpak OpenDeck only: its folder, and no native one"
fresh_home "$flatpak/config/opendeck"
install_as_user --archive "$archive"
expect_bundle "$home/$flatpak/config/opendeck/plugins"
expect_absent "$home/.config/opendeck"
expect_said "OpenDeck found: Flatpak"
expect_said "flatpak override --user --socket=session-bus me.amankhanna.opendeck"
expect_owned

case="both, with XDG_CONFIG_HOME"
fresh_home "cfg/opendeck" "$flatpak"
install_as_user XDG_CONFIG_HOME="$home/cfg" --archive "$archive"
expect_bundle "$home/cfg/opendeck/plugins"
expect_bundle "$home/$flatpak/config/opendeck/plugins"
expect_absent "$home/.config"
expect_said "OpenDeck found: native, Flatpak"
expect_owned

case="again over an older copy: replaced whole, other plug-ins kept, idempotent"
plugins="$home/cfg/opendeck/plugins"
echo stale >"$plugins/$name/stale.txt"
mkdir -p "$plugins/.$name.new.1234" "$plugins/other.sdPlugin"
echo keep >"$plugins/other.sdPlugin/manifest.json"
chown -R "$user:" "$home"
install_as_user XDG_CONFIG_HOME="$home/cfg" --archive "$archive"
install_as_user XDG_CONFIG_HOME="$home/cfg" --archive "$archive"
expect_bundle "$plugins"
expect_bundle "$home/$flatpak/config/opendeck/plugins"
[ "$(cat "$plugins/other.sdPlugin/manifest.json" 2>/dev/null)" = keep ] || fail "another plug-in was touched"
expect_owned

case="--uninstall removes only this plug-in"
install_as_user XDG_CONFIG_HOME="$home/cfg" --uninstall
expect_absent "$plugins/$name"
expect_absent "$home/$flatpak/config/opendeck/plugins/$name"
[ -e "$plugins/other.sdPlugin/manifest.json" ] || fail "another plug-in was removed"
expect_said "removed $plugins/$name"

case="--dir"
fresh_home "$flatpak"
install_as_user --dir "$home/elsewhere" --archive "$archive"
expect_bundle "$home/elsewhere"
expect_absent "$home/$flatpak/config"
expect_owned

case="the deck service: a command in ~/.local/bin and a user unit under XDG_CONFIG_HOME"
deck="$work/deck/$name"
mkdir -p "$work/deck"
cp -a "$bundle" "$deck"
printf '#!/bin/sh\necho deck\n' >"$deck/zorbel-deck"
chmod 0755 "$deck/zorbel-deck"
printf '[Service]\nExecStart=%%h/.local/bin/zorbel-deck\n' >"$deck/zorbel-deck.service"
/usr/bin/python3 "$repo/bundle/make_archive.py" "$deck" "$work/deck.streamDeckPlugin"
chmod -R a+rX "$work/deck" "$work/deck.streamDeckPlugin"
fresh_home
install_as_user XDG_CONFIG_HOME="$home/cfg" --archive "$work/deck.streamDeckPlugin"
[ "$(as_user "$home/.local/bin/zorbel-deck" 2>&1)" = deck ] || fail "~/.local/bin/zorbel-deck does not run the bundle's"
[ -f "$home/cfg/systemd/user/zorbel-deck.service" ] || fail "no unit in \$XDG_CONFIG_HOME/systemd/user"
expect_said "systemctl --user"
expect_owned
install_as_user XDG_CONFIG_HOME="$home/cfg" --uninstall
expect_absent "$home/.local/bin/zorbel-deck"
expect_absent "$home/cfg/systemd/user/zorbel-deck.service"

if [ -n "$sudoers" ]; then
  case="through sudo, both folders: for the user, with the user's ownership"
  fresh_home ".config/opendeck/plugins" "$flatpak/config/opendeck/plugins"
  install_through_sudo --archive "$archive"
  expect_bundle "$home/.config/opendeck/plugins"
  expect_bundle "$home/$flatpak/config/opendeck/plugins"
  expect_said "for $user"
  expect_owned

  case="through sudo, no folder: the native one is created for the user"
  fresh_home
  install_through_sudo --archive "$archive"
  expect_bundle "$home/.config/opendeck/plugins"
  expect_owned

  case="through sudo, --uninstall"
  install_through_sudo --uninstall
  expect_absent "$home/.config/opendeck/plugins/$name"
else
  echo "test_installer: not root or no sudo: the sudo cases are skipped"
fi

if [ "$failures" -ne 0 ]; then
  echo "test_installer: $failures failures"
  exit 1
fi
echo "test_installer: every case passed"
