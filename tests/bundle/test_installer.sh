#!/usr/bin/env bash
# The installer (bundle/install-opendeck.sh) from a built archive, in temporary homes: as a normal user
# and, when run as root, through sudo for that user. Each case sets up a home, runs the installer and
# checks where the bundle went, that it is the build's bundle, that everything in the home belongs to
# the user with modes that do not depend on the umask, and what the installer said. As root it also
# plays a user's symlinks into root-owned places (the unit, ~/.local/bin, the plug-ins folder, and
# --uninstall) and checks that those places stay untouched, and a full disk.
#   test_installer.sh <archive> <bundle folder>
# As root a throw-away user is created (and removed); otherwise the cases run as the invoking user,
# and the sudo and root-owned cases are skipped. The installer is copied alone into a temporary folder
# that the user can read (the clone may be in a folder closed to them), and run from there.
set -euo pipefail
umask 022
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
bundle=$(realpath "$2")
name=com.zorbel.streamdeck.sdPlugin
flatpak=.var/app/me.amankhanna.opendeck

work=$(mktemp -d)
chmod 0755 "$work"
home="$work/home"
installer="$work/install-opendeck.sh"
cp "$repo/bundle/install-opendeck.sh" "$installer"
archive="$work/$(basename "$1")"
cp "$1" "$archive"
chmod 0644 "$installer" "$archive"
user="" sudoers="" mounted=""
cleanup() {
  [ -n "$mounted" ] && { umount "$mounted" || umount -l "$mounted" || true; }
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

# A command as the user, with a clean environment (plus the given variables).
as_user() {
  local cmd=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$home" "$@")
  if [ "$(id -un)" = "$user" ]; then "${cmd[@]}"; else runuser -u "$user" -- "${cmd[@]}"; fi
}
# run_installer [VAR=value...] [sudo] [umask MASK] [fails] -- ARGS: the installer as the user, its
# output in $work/out; it must succeed unless "fails" is given, then it must fail.
run_installer() {
  local vars=() via=() mask=022 expect=0
  while [ "$1" != -- ]; do
    case "$1" in
      *=*) vars+=("$1") ;;
      sudo) via=(sudo -n) ;;
      umask) mask=$2; shift ;;
      fails) expect=1 ;;
    esac
    shift
  done
  shift
  local status=0
  as_user "${vars[@]}" "${via[@]}" bash -c 'umask "$1"; shift; exec bash "$@"' umask "$mask" "$installer" "$@" \
    >"$work/out" 2>&1 || status=1
  [ "$status" = "$expect" ] || fail "installer $([ "$expect" = 1 ] && echo succeeded || echo failed): $(cat "$work/out")"
}

fresh_home() {
  rm -rf "$home"
  mkdir -p "$home"
  local dir
  for dir in "$@"; do mkdir -p "$home/$dir"; done
  chown -R "$user:" "$home"
}
# Every entry: path, kind, executable or not, size; and each file's hash. Modes are checked apart.
tree() {
  (cd "$1" && find . -printf '%P %y\n' | sort && find . -type f -printf '%P %s\n' | sort &&
    find . -type f -perm /111 -printf '%P x\n' | sort &&
    find . -type f -print0 | sort -z | xargs -0 sha256sum)
}
# expect_bundle FOLDER [BUNDLE]: FOLDER holds a copy of BUNDLE (the build's), and nothing half-made.
expect_bundle() {
  [ -d "$1/$name" ] || { fail "no bundle in $1"; return; }
  local reference=${2:-$bundle}
  [ "$(tree "$1/$name")" = "$(tree "$reference")" ] || fail "$1/$name differs from $reference"
  [ -z "$(ls -A "$1" | grep "^\.$name" || true)" ] || fail "leftovers in $1: $(ls -A "$1")"
}
expect_absent() { [ ! -e "$1" ] && [ ! -L "$1" ] || fail "$1 exists"; }
expect_said() { grep -qF -- "$1" "$work/out" || fail "the installer did not say \"$1\": $(cat "$work/out")"; }
# Everything in the home belongs to the user; what the installer made has mode 0755 (folders and
# executables) or 0644.
expect_owned() {
  local foreign odd
  foreign=$(find "$home" ! -user "$user" | head -3)
  [ -z "$foreign" ] || fail "not owned by $user: $foreign"
  odd=$(find "$home" \( -type d ! -perm 0755 \) -o \( -type f ! -perm 0644 ! -perm 0755 \) | head -3)
  [ -z "$odd" ] || fail "modes other than 0755 and 0644: $(stat -c '%a %n' $odd)"
}

case="no OpenDeck folder: the native one is created"
fresh_home
run_installer -- --archive "$archive"
expect_bundle "$home/.config/opendeck/plugins"
expect_absent "$home/.var"
expect_said "OpenDeck not found"
expect_said "restart OpenDeck"
expect_owned

case="Flatpak OpenDeck only: its folder, and no native one"
fresh_home "$flatpak/config/opendeck"
run_installer -- --archive "$archive"
expect_bundle "$home/$flatpak/config/opendeck/plugins"
expect_absent "$home/.config/opendeck"
expect_said "OpenDeck found: Flatpak"
expect_said "flatpak override --user --socket=session-bus me.amankhanna.opendeck"
expect_owned

case="both, with XDG_CONFIG_HOME"
fresh_home "cfg/opendeck" "$flatpak"
run_installer XDG_CONFIG_HOME="$home/cfg" -- --archive "$archive"
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
run_installer XDG_CONFIG_HOME="$home/cfg" -- --archive "$archive"
run_installer XDG_CONFIG_HOME="$home/cfg" -- --archive "$archive"
expect_bundle "$plugins"
expect_bundle "$home/$flatpak/config/opendeck/plugins"
[ "$(cat "$plugins/other.sdPlugin/manifest.json" 2>/dev/null)" = keep ] || fail "another plug-in was touched"
expect_owned

case="--uninstall removes only this plug-in"
run_installer XDG_CONFIG_HOME="$home/cfg" -- --uninstall
expect_absent "$plugins/$name"
expect_absent "$home/$flatpak/config/opendeck/plugins/$name"
[ -e "$plugins/other.sdPlugin/manifest.json" ] || fail "another plug-in was removed"
expect_said "removed $plugins/$name"

case="--dir"
fresh_home "$flatpak"
run_installer -- --dir "$home/elsewhere" --archive "$archive"
expect_bundle "$home/elsewhere"
expect_absent "$home/$flatpak/config"
expect_owned

for mask in 0000 0077; do
  case="umask $mask: folders 0755, files 0644 or 0755"
  fresh_home
  run_installer umask "$mask" -- --archive "$archive"
  expect_bundle "$home/.config/opendeck/plugins"
  expect_owned
done

case="HOME unset: a clear refusal"
fresh_home
status=0
as_user env -u HOME bash "$installer" --archive "$archive" >"$work/out" 2>&1 || status=$?
[ "$status" = 1 ] || fail "exit status $status"
expect_said "HOME is not set"
expect_absent "$home/.config"

# The deck service's archive: a bundle with zorbel-deck and its unit.
deck="$work/deck/$name"
mkdir -p "$work/deck"
cp -a "$bundle" "$deck"
printf '#!/bin/sh\necho deck\n' >"$deck/zorbel-deck"
chmod 0755 "$deck/zorbel-deck"
printf '[Service]\nExecStart=%%h/.local/bin/zorbel-deck\n' >"$deck/zorbel-deck.service"
/usr/bin/python3 "$repo/bundle/make_archive.py" "$deck" "$work/deck.streamDeckPlugin"
chmod -R a+rX "$work/deck" "$work/deck.streamDeckPlugin"

case="the deck service: a command in ~/.local/bin and a user unit under XDG_CONFIG_HOME"
fresh_home
run_installer XDG_CONFIG_HOME="$home/cfg" -- --archive "$work/deck.streamDeckPlugin"
[ "$(as_user "$home/.local/bin/zorbel-deck" 2>&1)" = deck ] || fail "~/.local/bin/zorbel-deck does not run the bundle's"
[ -f "$home/cfg/systemd/user/zorbel-deck.service" ] || fail "no unit in \$XDG_CONFIG_HOME/systemd/user"
expect_said "systemctl --user"
expect_owned
run_installer XDG_CONFIG_HOME="$home/cfg" -- --uninstall
expect_absent "$home/.local/bin/zorbel-deck"
expect_absent "$home/cfg/systemd/user/zorbel-deck.service"

for value in "" "relative/cfg"; do
  case="XDG_CONFIG_HOME=\"$value\" is ignored: ~/.config"
  fresh_home
  run_installer XDG_CONFIG_HOME="$value" -- --archive "$work/deck.streamDeckPlugin"
  expect_bundle "$home/.config/opendeck/plugins" "$deck"
  [ -f "$home/.config/systemd/user/zorbel-deck.service" ] || fail "no unit in ~/.config/systemd/user"
  expect_absent "$home/relative"
  expect_owned
done

# The script on its own, without python3 (it unpacks with unzip and replaces with two renames), and
# without unzip either (it names the package). PATH holds every command of the system but those.
if command -v unzip >/dev/null; then
  bare="$work/bare-bin"
  mkdir "$bare"
  declare -A tools=()
  for tool in /usr/sbin/* /sbin/* /usr/bin/* /bin/*; do
    case "${tool##*/}" in python3*) ;; *) tools[${tool##*/}]=$tool ;; esac
  done
  ln -s -t "$bare" "${tools[@]}"
  case="without python3: unzip"
  fresh_home
  run_installer PATH="$bare" -- --archive "$archive"
  run_installer PATH="$bare" -- --archive "$archive"
  expect_bundle "$home/.config/opendeck/plugins"
  expect_owned
  case="without python3 and unzip: the package to install"
  rm "$bare/unzip"
  run_installer PATH="$bare" fails -- --archive "$archive"
  expect_said "apt-get install unzip"
fi

# Interrupted half-way (SIGTERM while the copy is made): the copy goes, the older one stays.
case="interrupted: no half-made copy, the older one kept"
fresh_home
run_installer -- --archive "$archive"
shim="$work/shim"
mkdir -p "$shim"
printf '#!/bin/bash\n/usr/bin/cp "$@"\nkill -TERM $PPID\n' >"$shim/cp"
chmod 0755 "$shim/cp"
before=$(tree "$home/.config/opendeck/plugins/$name")
run_installer PATH="$shim:/usr/sbin:/usr/bin:/sbin:/bin" fails -- --archive "$archive"
[ "$(tree "$home/.config/opendeck/plugins/$name")" = "$before" ] || fail "the older copy changed"
expect_bundle "$home/.config/opendeck/plugins"

# A full disk: a tmpfs smaller than the bundle.
if [ "$(id -u)" -eq 0 ]; then
  full="$work/full"
  mkdir "$full"
  size=$(($(du -sk "$bundle" | cut -f1) / 2))
  if mount -t tmpfs -o "size=${size}k,mode=0755,uid=$(id -u "$user"),gid=$(id -g "$user")" zb-full "$full" 2>/dev/null; then
    mounted=$full
    case="a full disk: the install fails and leaves nothing"
    fresh_home
    run_installer fails -- --dir "$full/plugins" --archive "$archive"
    [ -z "$(ls -A "$full/plugins" 2>/dev/null)" ] || fail "left in $full/plugins: $(ls -A "$full/plugins")"
    umount "$full" && mounted=""
  else
    echo "test_installer: cannot mount a tmpfs: the full disk case is skipped"
  fi
fi

if [ -n "$sudoers" ]; then
  case="through sudo, both folders: for the user, with the user's ownership"
  fresh_home ".config/opendeck/plugins" "$flatpak/config/opendeck/plugins"
  run_installer sudo -- --archive "$archive"
  expect_bundle "$home/.config/opendeck/plugins"
  expect_bundle "$home/$flatpak/config/opendeck/plugins"
  expect_said "for $user"
  expect_owned

  case="through sudo, no folder: the native one is created for the user"
  fresh_home
  run_installer sudo umask 0077 -- --archive "$work/deck.streamDeckPlugin"
  expect_bundle "$home/.config/opendeck/plugins" "$deck"
  [ -L "$home/.local/bin/zorbel-deck" ] || fail "no ~/.local/bin/zorbel-deck"
  expect_owned

  case="through sudo, --uninstall"
  run_installer sudo -- --uninstall
  expect_absent "$home/.config/opendeck/plugins/$name"
  expect_absent "$home/.local/bin/zorbel-deck"
  expect_absent "$home/.config/systemd/user/zorbel-deck.service"
else
  echo "test_installer: not root or no sudo: the sudo cases are skipped"
fi

# A user's links into places of root's: whoever runs the installer (the user, or root through sudo),
# the places stay as they were; the installer may fail there, as the user would.
if [ "$(id -u)" -eq 0 ]; then
  root_zone="$work/root-zone"
  snapshot() { (cd "$root_zone" && find . -printf '%P %y %u %m %s %l\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
  # attack PATH: a fresh home with its OpenDeck folder, PATH a link to the matching root-owned place.
  attack() {
    rm -rf "$root_zone"
    mkdir -p "$root_zone/bin" "$root_zone/plugins/$name"
    echo "root's unit" >"$root_zone/unit.service"
    echo "root's" >"$root_zone/plugins/$name/manifest.json"
    ln -s "/somewhere/$name/zorbel-deck" "$root_zone/bin/zorbel-deck"
    chmod -R go-w "$root_zone"
    fresh_home .config/opendeck .config/systemd/user .local
    case "$1" in
      unit) ln -s "$root_zone/unit.service" "$home/.config/systemd/user/zorbel-deck.service" ;;
      bin) ln -s "$root_zone/bin" "$home/.local/bin" ;;
      plugins) ln -s "$root_zone/plugins" "$home/.config/opendeck/plugins" ;;
    esac
    chown -hR "$user:" "$home"
    expected=$(snapshot)
  }
  expect_untouched() { [ "$(snapshot)" = "$expected" ] || fail "root's files changed: $(diff <(echo "$expected") <(snapshot) | head -5)"; }
  vias=(user)
  [ -n "$sudoers" ] && vias+=(sudo)
  for via in "${vias[@]}"; do
    how=(); [ "$via" = sudo ] && how=(sudo)
    case="$via: the unit a link to a root-owned file: the link is replaced, the file kept"
    attack unit
    run_installer "${how[@]}" -- --archive "$work/deck.streamDeckPlugin"
    expect_untouched
    [ -f "$home/.config/systemd/user/zorbel-deck.service" ] && [ ! -L "$home/.config/systemd/user/zorbel-deck.service" ] ||
      fail "the unit is not the user's own file"
    expect_owned

    case="$via: ~/.local/bin a link to a root-owned folder"
    attack bin
    run_installer "${how[@]}" fails -- --archive "$work/deck.streamDeckPlugin"
    expect_untouched

    case="$via: the plug-ins folder a link to a root-owned folder"
    attack plugins
    run_installer "${how[@]}" fails -- --archive "$work/deck.streamDeckPlugin"
    expect_untouched

    # The unit's link itself goes; what root has in its folders stays, and the installer says so.
    for target in unit bin plugins; do
      case="$via: --uninstall with the $target a link to root's"
      attack "$target"
      outcome=(); [ "$target" = unit ] || outcome=(fails)
      run_installer "${how[@]}" "${outcome[@]}" -- --uninstall
      expect_untouched
      [ "$target" != unit ] || expect_absent "$home/.config/systemd/user/zorbel-deck.service"
    done
  done
fi

if [ "$failures" -ne 0 ]; then
  echo "test_installer: $failures failures"
  exit 1
fi
echo "test_installer: every case passed"
