#!/usr/bin/env bash
# Builds the plug-in bundle and installs it into OpenDeck's plug-ins folder
# ($OPENDECK_PLUGINS_DIR, else ~/.config/opendeck/plugins).
#   bash bundle/install-opendeck.sh [build dir, default build/default]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build/default}"
bash scripts/setup.sh
cmake -G Ninja -S . -B "$dir" >/dev/null
cmake --build "$dir" --target zorbel-streamdeck-plugin zb_bundle
cmake --build "$dir" --target install-opendeck
