#!/usr/bin/env bash
# Installs the Zorbel plug-in into OpenDeck for the desktop user: the user who runs it, or the user
# behind sudo (SUDO_USER), with that user's ownership.
#
#   bash bundle/install-plugin.sh                  build the bundle, install it where OpenDeck looks
#   bash bundle/install-plugin.sh --archive FILE   install from a built com.zorbel.streamdeck.streamDeckPlugin
#   bash bundle/install-plugin.sh --dir DIR        install into DIR instead (repeatable)
#   bash bundle/install-plugin.sh --uninstall      remove it from every folder it installs into
#   bash bundle/install-plugin.sh --build-dir DIR  build in DIR (default build/install)
#
# OpenDeck's plug-in folders: native $XDG_CONFIG_HOME/opendeck/plugins (~/.config/...) and Flatpak
# ~/.var/app/me.amankhanna.opendeck/config/opendeck/plugins. Every one whose OpenDeck folder exists gets
# a copy; when neither exists, the native one is created. An older copy is replaced in one step (an
# exchange of the two folders, else two renames), after the new one is complete beside it. Root is
# needed only to install missing build packages (scripts/setup.sh --build); the build itself runs as
# the desktop user.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
name=com.zorbel.streamdeck.sdPlugin
flatpak_id=me.amankhanna.opendeck

archive="" uninstall=0 build_dir="" dirs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --archive) archive=$(realpath "$2"); shift ;;
    --dir) dirs+=("$2"); shift ;;
    --uninstall) uninstall=1 ;;
    --build-dir) build_dir="$2"; shift ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "install: unknown option $1" >&2; exit 2 ;;
    *) build_dir="$1" ;;  # the old form: install-opendeck.sh [build dir]
  esac
  shift
done

say() { echo "install: $*"; }
fail() { echo "install: $*" >&2; exit 1; }

# The desktop user and their folders.
user=$(id -un)
home=$HOME
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  user=$SUDO_USER
  home=$(getent passwd "$user" | cut -d: -f6)
  [ -n "$home" ] || fail "no home folder for $user"
fi
group=$(id -gn "$user")
config=${XDG_CONFIG_HOME:-$home/.config}
native_root="$config/opendeck"
flatpak_root="$home/.var/app/$flatpak_id"
as_user() {
  if [ "$(id -un)" = "$user" ]; then "$@"; else runuser -u "$user" -- env HOME="$home" USER="$user" LOGNAME="$user" "$@"; fi
}
# mkdir -p that gives every folder it creates to the desktop user.
make_dir() {
  local dir=$1 missing=()
  while [ ! -d "$dir" ]; do missing=("$dir" "${missing[@]}"); dir=$(dirname "$dir"); done
  for dir in "${missing[@]}"; do
    mkdir -m 0755 "$dir"
    [ "$(id -un)" = "$user" ] || chown "$user:$group" "$dir"
  done
}

# Swaps two paths in one step; fails where the kernel or the file system cannot.
exchange() {
  [ -x /usr/bin/python3 ] || return 1
  /usr/bin/python3 -c '
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, RENAME_EXCHANGE = -100, 2
sys.exit(0 if libc.renameat2(AT_FDCWD, sys.argv[1].encode(), AT_FDCWD, sys.argv[2].encode(), RENAME_EXCHANGE) == 0 else 1)
' "$1" "$2" 2>/dev/null
}

# Where OpenDeck keeps plug-ins.
# $OPENDECK_PLUGINS_DIR, the first installer's setting, stands for one --dir.
if [ ${#dirs[@]} -eq 0 ] && [ -n "${OPENDECK_PLUGINS_DIR:-}" ]; then dirs+=("$OPENDECK_PLUGINS_DIR"); fi

# OpenDeck counts as found when its folder exists or when it is installed (then it makes the rest of
# its folder at its next start).
found=()
if [ -d "$native_root" ] || command -v opendeck >/dev/null 2>&1; then found+=(native); fi
if [ -d "$flatpak_root" ] || { command -v flatpak >/dev/null 2>&1 && as_user flatpak info "$flatpak_id" >/dev/null 2>&1; }; then
  found+=("Flatpak ($flatpak_id)")
fi
if [ ${#dirs[@]} -eq 0 ]; then
  [[ " ${found[*]} " == *" native "* ]] && dirs+=("$native_root/plugins")
  [[ " ${found[*]} " == *Flatpak* ]] && dirs+=("$flatpak_root/config/opendeck/plugins")
  if [ ${#dirs[@]} -eq 0 ] && [ "$uninstall" = 0 ]; then dirs+=("$native_root/plugins"); fi
fi

unit_dir="$config/systemd/user"
link="$home/.local/bin/zorbel-deck"

if [ "$uninstall" = 1 ]; then
  removed=0
  for dir in "${dirs[@]}"; do
    if [ -e "$dir/$name" ]; then rm -rf "${dir:?}/$name"; say "removed $dir/$name"; removed=1; fi
    rm -rf "$dir/.$name".new.* "$dir/.$name".old.* 2>/dev/null || true
  done
  if [ -L "$link" ] && [[ "$(readlink "$link")" == */$name/zorbel-deck ]]; then rm -f "$link"; say "removed $link"; fi
  if [ -e "$unit_dir/zorbel-deck.service" ]; then
    rm -f "$unit_dir/zorbel-deck.service"; say "removed $unit_dir/zorbel-deck.service"
  fi
  [ "$removed" = 1 ] || say "the plug-in was not installed for $user"
  say "restart OpenDeck to let it forget the plug-in"
  exit 0
fi

# The bundle: unpacked from the archive, or built.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"
if [ -n "$archive" ]; then
  [ -f "$archive" ] || fail "$archive: no such file"
  if [ -x /usr/bin/python3 ]; then
    /usr/bin/python3 - "$archive" "$work" "$name" <<'EOF'
import stat, sys, zipfile
from pathlib import Path
archive, out, top = sys.argv[1], Path(sys.argv[2]), sys.argv[3]
with zipfile.ZipFile(archive) as z:
    for info in z.infolist():
        parts = Path(info.filename).parts
        if not parts or parts[0] != top or ".." in parts or Path(info.filename).is_absolute():
            sys.exit(f"install: {archive} holds {info.filename!r}, outside {top}/")
        z.extract(info, out)
        mode = info.external_attr >> 16
        if not info.is_dir() and stat.S_IMODE(mode):
            (out / info.filename).chmod(stat.S_IMODE(mode))
EOF
  elif command -v unzip >/dev/null; then
    unzip -q "$archive" -d "$work"
  else
    fail "unpacking $archive needs /usr/bin/python3 or unzip"
  fi
  bundle="$work/$name"
else
  build_dir=${build_dir:-build/install}
  cd "$repo"
  if ! bash scripts/setup.sh --build; then
    fail "the build packages above are missing: run this again through sudo (sudo bash $0)"
  fi
  [ -d "$build_dir" ] && [ "$(stat -c %U "$build_dir")" != "$user" ] && fail "$build_dir belongs to $(stat -c %U "$build_dir"), not $user"
  as_user cmake -G Ninja -S . -B "$build_dir" -DZB_TESTS=OFF -DZB_BENCHMARKS=OFF >/dev/null
  as_user cmake --build "$build_dir" --target zb_bundle
  bundle="$repo/$build_dir/$name"
fi
[ -x "$bundle/zorbel-streamdeck-plugin" ] || fail "$bundle has no zorbel-streamdeck-plugin executable"

# Each copy is made complete beside the old one, then takes its place.
installed=()
for dir in "${dirs[@]}"; do
  make_dir "$dir"
  rm -rf "$dir/.$name".new.* "$dir/.$name".old.* 2>/dev/null || true
  new="$dir/.$name.new.$$"
  cp -R --preserve=mode "$bundle" "$new"
  [ "$(id -un)" = "$user" ] || chown -R "$user:$group" "$new"
  if [ -e "$dir/$name" ]; then
    # One exchange of the two folders (renameat2 RENAME_EXCHANGE) where the file system has it, else
    # two renames: the old copy aside, the new one in.
    if exchange "$new" "$dir/$name"; then
      rm -rf "$new"
    else
      mv -T "$dir/$name" "$dir/.$name.old.$$"
      mv -T "$new" "$dir/$name"
      rm -rf "$dir/.$name.old.$$"
    fi
  else
    mv -T "$new" "$dir/$name"
  fi
  installed+=("$dir/$name")
done

# The deck service, when the bundle has it: a command in ~/.local/bin and a systemd user unit.
if [ -x "${installed[0]}/zorbel-deck" ]; then
  make_dir "$(dirname "$link")"
  ln -sfn "${installed[0]}/zorbel-deck" "$link"
  if [ -f "${installed[0]}/zorbel-deck.service" ]; then
    make_dir "$unit_dir"
    cp "${installed[0]}/zorbel-deck.service" "$unit_dir/zorbel-deck.service"
    [ "$(id -un)" = "$user" ] || chown "$user:$group" "$unit_dir/zorbel-deck.service"
  fi
  [ "$(id -un)" = "$user" ] || chown -h "$user:$group" "$link"
fi

for path in "${installed[@]}"; do say "installed $path for $user"; done
if [ ${#found[@]} -gt 0 ]; then
  say "OpenDeck found: $(IFS=,; echo "${found[*]}" | sed 's/,/, /g')"
elif [[ "${dirs[0]}" == "$native_root/plugins" ]]; then
  say "OpenDeck not found for $user: created its native plug-ins folder; install OpenDeck to use it"
else
  say "OpenDeck not found for $user"
fi
say "next: restart OpenDeck; the action \"Zorbel Key\" is in the \"Zorbel\" category"
if [[ " ${found[*]} " == *Flatpak* ]] || [[ "${installed[*]}" == *"/.var/app/$flatpak_id/"* ]]; then
  say "Flatpak OpenDeck: let the plug-in use the session bus (docs/opendeck.md):"
  say "  flatpak override --user --socket=session-bus $flatpak_id"
fi
if [ -L "$link" ] && [ -e "$unit_dir/zorbel-deck.service" ]; then
  say "deck service: systemctl --user daemon-reload && systemctl --user enable --now zorbel-deck"
fi
