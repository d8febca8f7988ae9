#!/usr/bin/env bash
# The plug-in's main job, for now: install what the build needs, build the plug-in, and run it
# with a sample command line of the kind the Stream Deck application passes
# (-port, -pluginUUID, -registerEvent, -info). Without a Stream Deck application listening on
# the port the plug-in logs the failed connection and waits to be ended, as it would under the
# real host; this script ends it after a few seconds and shows the end of its log file.
#   scripts/run.sh [seconds]      (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-5}"
bash scripts/setup.sh

dir=build/run
cmake -G Ninja -S . -B "$dir" -DZB_BENCHMARKS=OFF >/dev/null
cmake --build "$dir" --target zorbel-streamdeck-plugin -j "$(nproc)"

port=28196
info='{"application":{"language":"en","platform":"linux","version":"6.5.0"},"plugin":{"uuid":"com.zorbel.streamdeck","version":"1.0"},"devicePixelRatio":1,"devices":[{"id":"DECK1","name":"Stream Deck","size":{"columns":5,"rows":3},"type":0}]}'
echo "run: $dir/src/app/zorbel-streamdeck-plugin -port $port -pluginUUID 0123456789ABCDEF -registerEvent registerPlugin -info '$info'"
status=0
timeout --preserve-status -s TERM "$seconds" \
  "$dir/src/app/zorbel-streamdeck-plugin" -port "$port" -pluginUUID 0123456789ABCDEF \
  -registerEvent registerPlugin -info "$info" || status=$?
echo "run: plug-in ended with status $status (143 means it was still waiting and ended by this script)"

state="${XDG_STATE_HOME:-}"
case "$state" in /*) ;; *) state="$HOME/.local/state" ;; esac
log="$state/Zorbel/StreamDeck.log"
if [ -f "$log" ]; then
  echo "run: last lines of $log:"
  tail -n 20 "$log"
fi
