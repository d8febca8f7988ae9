#!/usr/bin/env bash
# Installs the Debian packages the plug-in's build needs, and those the tests and the tools need.
# Quiet and idempotent: runs `apt-get update` once per machine, then installs only what is missing.
#   scripts/setup.sh           both sets (what scripts/test.sh and scripts/run.sh need)
#   scripts/setup.sh --build   only the build set: the plug-in, its bundle and its archive
#                              (configured with -DZB_TESTS=OFF -DZB_BENCHMARKS=OFF)
set -euo pipefail

build_packages=(
  build-essential cmake ninja-build
  libboost1.81-dev libboost-url1.81-dev libssl-dev nlohmann-json3-dev
  libsdbus-c++-dev libsystemd-dev duktape-dev libtomlplusplus-dev libmosquitto-dev
  python3 patchelf
)
test_packages=(
  clang clang-format clang-tidy libclang-rt-14-dev
  dbus dbus-bin libglib2.0-bin
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-websockets python3-gi gir1.2-glib-2.0 chromium nodejs
  openssl ca-certificates tinyproxy microsocks
  libwebsocketpp-dev libwebsockets-dev python3-matplotlib linux-perf valgrind
  debootstrap sudo unzip
  libboost-json1.81-dev libsimdjson-dev
  mosquitto mosquitto-clients python3-paho-mqtt
)

case "${1:-}" in
  --build) packages=("${build_packages[@]}") ;;
  "") packages=("${build_packages[@]}" "${test_packages[@]}")
      # Node.js from outside Debian carries its own npm; Debian's nodejs needs the npm package.
      command -v npm >/dev/null 2>&1 || packages+=(npm) ;;
  *) echo "setup.sh: unknown option $1" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
stamp=/var/lib/apt/periodic/zorbel-streamdeck-update-stamp
if [ ! -e "$stamp" ]; then
  apt-get update -qq
  mkdir -p "$(dirname "$stamp")" && touch "$stamp"
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
