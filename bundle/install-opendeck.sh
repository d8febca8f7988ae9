#!/usr/bin/env bash
# Installs the Zorbel plug-in into OpenDeck for the desktop user: the user who runs it, or the user
# behind sudo (SUDO_USER).
#
#   bash install-opendeck.sh --archive FILE   install from a built com.zorbel.streamdeck.streamDeckPlugin
#   bash install-opendeck.sh --uninstall      remove it from every folder it installs into
#   bash bundle/install-opendeck.sh           (in the repository) build the bundle, then install it
#   bash install-opendeck.sh --dir DIR        install into DIR instead (repeatable)
#   bash install-opendeck.sh --build-dir DIR  build in DIR (default build/install)
#
# OpenDeck's plug-in folders: native $XDG_CONFIG_HOME/opendeck/plugins (~/.config/...) and Flatpak
# ~/.var/app/me.amankhanna.opendeck/config/opendeck/plugins. Every one whose OpenDeck folder exists gets
# a copy; when neither exists, the native one is created. An older copy is replaced in one step (an
# exchange of the two folders, else two renames), after the new one is complete beside it. With
# --archive the script needs nothing else from the repository and may be copied on its own.
#
# Through sudo, root only installs missing build packages (scripts/setup.sh --build); everything else
# (the build, every copy, link and removal in the home folder) runs as the desktop user, with that
# user's uid, gid and groups, so the kernel allows it exactly what the user may do.
set -euo pipefail
name=com.zorbel.streamdeck.sdPlugin
flatpak_id=me.amankhanna.opendeck

say() { echo "install: $*"; }
fail() { echo "install: $*" >&2; exit 1; }
# A path made absolute against the current folder, without resolving links (that is the user's part).
absolute() { case "$1" in /*) printf '%s\n' "$1" ;; *) printf '%s\n' "$PWD/$1" ;; esac; }

archive="" uninstall=0 build_dir="" dirs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --archive) [ $# -ge 2 ] || fail "--archive needs a file"; archive=$(absolute "$2"); shift ;;
    --dir) [ $# -ge 2 ] || fail "--dir needs a folder"; dirs+=("$(absolute "$2")"); shift ;;
    --uninstall) uninstall=1 ;;
    --build-dir) [ $# -ge 2 ] || fail "--build-dir needs a folder"; build_dir=$(absolute "$2"); shift ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) fail "unknown option $1" ;;
    *) build_dir=$(absolute "$1") ;;  # the old form: install-opendeck.sh [build dir]
  esac
  shift
done
self=$(absolute "$0")
repo=$(cd "$(dirname "$self")/.." 2>/dev/null && pwd || true)
building=0
[ -n "$archive" ] || [ "$uninstall" = 1 ] || building=1

# Through sudo: root's part, then the rest as the user.
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  user=$SUDO_USER
  entry=$(getent passwd "$user") || fail "no such user: $user"
  uid=$(echo "$entry" | cut -d: -f3) gid=$(echo "$entry" | cut -d: -f4) home=$(echo "$entry" | cut -d: -f6)
  [ "$uid" -ne 0 ] || fail "$user is root: run it without sudo"
  case "$home" in /*) ;; *) fail "no home folder for $user" ;; esac
  if [ "$building" = 1 ]; then
    [ -f "$repo/scripts/setup.sh" ] || fail "no repository around $self to build: use --archive FILE"
    bash "$repo/scripts/setup.sh" --build || fail "installing the build packages failed"
  fi
  # The script's own text is handed over, so the user need not be able to read its file; paths are
  # absolute already, and the user starts in / (the current folder may be closed to them).
  text=$(cat -- "$self")
  if command -v setpriv >/dev/null; then
    drop=(setpriv --reuid="$uid" --regid="$gid" --init-groups --)
  else
    drop=(runuser -u "$user" --)
  fi
  cd /
  # The options again, with every path made absolute.
  again=()
  [ -n "$archive" ] && again+=(--archive "$archive")
  [ "$uninstall" = 1 ] && again+=(--uninstall)
  [ -n "$build_dir" ] && again+=(--build-dir "$build_dir")
  for dir in "${dirs[@]}"; do again+=(--dir "$dir"); done
  exec "${drop[@]}" env -u SUDO_USER -u SUDO_UID -u SUDO_GID -u SUDO_COMMAND \
    HOME="$home" USER="$user" LOGNAME="$user" bash -c "$text" "$self" "${again[@]}"
fi

# From here on: the desktop user (or root installing for root), in their own tree.
umask 022
user=$(id -un)
[ -n "${HOME:-}" ] || fail "HOME is not set: set it to your home folder (HOME=/home/$user bash $0 ...)"
case "$HOME" in /*) home=$HOME ;; *) fail "HOME ($HOME) is not an absolute path" ;; esac
# The XDG rules: a relative or empty XDG_CONFIG_HOME is ignored, as the plug-in and zorbel-deck do.
case "${XDG_CONFIG_HOME:-}" in /*) config=$XDG_CONFIG_HOME ;; *) config=$home/.config ;; esac
native_root="$config/opendeck"
flatpak_root="$home/.var/app/$flatpak_id"
unit_dir="$config/systemd/user"
link="$home/.local/bin/zorbel-deck"

# mkdir -p whose new folders are 0755 whatever the umask.
make_dir() {
  local dir=$1 missing=()
  while [ ! -d "$dir" ]; do missing=("$dir" "${missing[@]}"); dir=$(dirname "$dir"); done
  for dir in "${missing[@]}"; do mkdir -m 0755 "$dir"; done
}

# What an interrupted or failed run leaves is undone on the way out: half-made copies go, and a copy
# that was set aside goes back when its replacement did not arrive.
work="" pending=() aside="" aside_for=""
cleanup() {
  local path
  if [ -n "$aside" ] && [ -e "$aside" ] && [ ! -e "$aside_for" ]; then mv -T "$aside" "$aside_for" || true; fi
  for path in "${pending[@]}" ${aside:+"$aside"} ${work:+"$work"}; do rm -rf -- "$path" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Swaps two paths in one step; fails where the kernel or the file system cannot.
exchange() {
  command -v python3 >/dev/null || return 1
  python3 -c '
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, RENAME_EXCHANGE = -100, 2
sys.exit(0 if libc.renameat2(AT_FDCWD, sys.argv[1].encode(), AT_FDCWD, sys.argv[2].encode(), RENAME_EXCHANGE) == 0 else 1)
' "$1" "$2" 2>/dev/null
}

# Where OpenDeck keeps plug-ins.
# $OPENDECK_PLUGINS_DIR, the first installer's setting, stands for one --dir.
if [ ${#dirs[@]} -eq 0 ] && [ -n "${OPENDECK_PLUGINS_DIR:-}" ]; then dirs+=("$(absolute "$OPENDECK_PLUGINS_DIR")"); fi

# OpenDeck counts as found when its folder exists or when it is installed (then it makes the rest of
# its folder at its next start).
found=()
if [ -d "$native_root" ] || command -v opendeck >/dev/null 2>&1; then found+=(native); fi
if [ -d "$flatpak_root" ] || { command -v flatpak >/dev/null 2>&1 && flatpak info "$flatpak_id" >/dev/null 2>&1; }; then
  found+=("Flatpak ($flatpak_id)")
fi
if [ ${#dirs[@]} -eq 0 ]; then
  [[ " ${found[*]} " == *" native "* ]] && dirs+=("$native_root/plugins")
  [[ " ${found[*]} " == *Flatpak* ]] && dirs+=("$flatpak_root/config/opendeck/plugins")
  if [ ${#dirs[@]} -eq 0 ] && [ "$uninstall" = 0 ]; then dirs+=("$native_root/plugins"); fi
fi

if [ "$uninstall" = 1 ]; then
  removed=0 status=0
  remove() {  # remove PATH [what to say]
    if rm -rf -- "$1"; then [ -z "${2:-}" ] || say "$2"; else status=1; fi
  }
  for dir in "${dirs[@]}"; do
    if [ -e "$dir/$name" ]; then remove "$dir/$name" "removed $dir/$name" && removed=1; fi
    for path in "$dir/.$name".new.* "$dir/.$name".old.*; do [ -e "$path" ] && remove "$path"; done
  done
  if [ -L "$link" ] && [[ "$(readlink "$link")" == */$name/zorbel-deck ]]; then remove "$link" "removed $link"; fi
  if [ -e "$unit_dir/zorbel-deck.service" ] || [ -L "$unit_dir/zorbel-deck.service" ]; then
    remove "$unit_dir/zorbel-deck.service" "removed $unit_dir/zorbel-deck.service"
  fi
  [ "$removed" = 1 ] || say "the plug-in was not installed for $user"
  say "restart OpenDeck to let it forget the plug-in"
  [ "$status" = 0 ] || fail "some of it could not be removed (see above)"
  exit 0
fi

# The bundle: unpacked from the archive, or built.
work=$(mktemp -d)
if [ -n "$archive" ]; then
  [ -f "$archive" ] || fail "$archive: no such file"
  [ -r "$archive" ] || fail "$archive: $user may not read it"
  if command -v python3 >/dev/null; then
    python3 - "$archive" "$work" "$name" <<'EOF'
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
    unzip -q "$archive" -d "$work" || fail "$archive: unzip failed"
    [ "$(ls -A "$work")" = "$name" ] || fail "$archive holds more than $name/"
  else
    fail "unpacking $archive needs python3 or unzip; install one of them: sudo apt-get install unzip"
  fi
  bundle="$work/$name"
else
  [ -f "$repo/scripts/setup.sh" ] || fail "no repository around $self to build: use --archive FILE"
  cd "$repo" 2>/dev/null || fail "$user may not enter $repo"
  build_dir=${build_dir:-$repo/build/install}
  if ! bash scripts/setup.sh --build; then
    fail "the build packages above are missing: run this again through sudo (sudo bash $self)"
  fi
  [ -d "$build_dir" ] && [ "$(stat -c %U "$build_dir")" != "$user" ] && fail "$build_dir belongs to $(stat -c %U "$build_dir"), not $user"
  cmake -G Ninja -S . -B "$build_dir" -DZB_TESTS=OFF -DZB_BENCHMARKS=OFF >/dev/null
  cmake --build "$build_dir" --target zb_bundle
  bundle="$build_dir/$name"
fi
[ -x "$bundle/zorbel-streamdeck-plugin" ] || fail "$bundle has no zorbel-streamdeck-plugin executable"
odd=$(find "$bundle" ! -type f ! -type d | head -1)
[ -z "$odd" ] || fail "$bundle holds $odd, which is neither a file nor a folder"

# Each copy is made complete beside the old one, then takes its place. Folders are 0755, files 0644
# or, when executable, 0755, whatever the umask and the modes of the source.
installed=()
for dir in "${dirs[@]}"; do
  make_dir "$dir"
  rm -rf "$dir/.$name".new.* "$dir/.$name".old.* 2>/dev/null || true
  new="$dir/.$name.new.$$"
  pending+=("$new")
  cp -R -- "$bundle" "$new"
  chmod -R u=rwX,go=rX -- "$new"
  if [ -e "$dir/$name" ]; then
    # One exchange of the two folders (renameat2 RENAME_EXCHANGE) where the file system has it, else
    # two renames: the old copy aside, the new one in.
    if exchange "$new" "$dir/$name"; then
      rm -rf -- "$new"
    else
      aside="$dir/.$name.old.$$" aside_for="$dir/$name"
      mv -T "$dir/$name" "$aside"
      mv -T "$new" "$dir/$name"
      rm -rf -- "$aside"
      aside=""
    fi
  else
    mv -T "$new" "$dir/$name"
  fi
  installed+=("$dir/$name")
done

# The deck service, when the bundle has it: a command in ~/.local/bin and a systemd user unit. The
# unit is written beside its place and renamed over it, so whatever was there (a link too) is replaced,
# never written through.
if [ -x "${installed[0]}/zorbel-deck" ]; then
  make_dir "$(dirname "$link")"
  ln -sfn "${installed[0]}/zorbel-deck" "$link"
  if [ -f "${installed[0]}/zorbel-deck.service" ]; then
    make_dir "$unit_dir"
    unit_new="$unit_dir/.zorbel-deck.service.new.$$"
    pending+=("$unit_new")
    cp -- "${installed[0]}/zorbel-deck.service" "$unit_new"
    chmod 0644 -- "$unit_new"
    mv -fT -- "$unit_new" "$unit_dir/zorbel-deck.service"
  fi
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
