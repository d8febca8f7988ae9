#!/usr/bin/env bash
# The plug-in's main job on a machine without Stream Deck hardware: builds the plug-in and its bundle,
# starts a private D-Bus session bus when none is running, the Stream Deck host simulator (which starts
# the plug-in exactly as a host does) and a demo Zorbel engine that answers every key press with a
# counting title and an OK mark. Prints the deck page's URL and gdbus commands to try; Ctrl-C stops
# everything it started.
#   scripts/run.sh [--port N] [--fake-plugin]
#     --port N         serve the deck page and the plug-in's WebSocket on port N (default: a free port)
#     --fake-plugin    use the Python stand-in of the plug-in (tests/e2e/fake_plugin.py) instead
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

port=0 fake=0
while [ $# -gt 0 ]; do
  case "$1" in
    --port) port="$2"; shift ;;
    --fake-plugin) fake=1 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/setup.sh

dir=build/run
cmake -G Ninja -S . -B "$dir" -DZB_BENCHMARKS=OFF >/dev/null
targets=(zb_bundle)
[ "$fake" = 1 ] || targets+=(zorbel-streamdeck-plugin)
cmake --build "$dir" --target "${targets[@]}" -j "$(nproc)"
bundle="$root/$dir/com.zorbel.streamdeck.sdPlugin"
plugin_args=(--bundle "$bundle")
[ "$fake" = 1 ] && plugin_args+=(--plugin "$root/tests/e2e/fake_plugin.py")

work=$(mktemp -d)
pids=() bus_pid=""
cleanup() {
  trap - INT TERM EXIT
  # The simulator closes the plug-in's connection, and the plug-in exits as it does under a real host.
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "$bus_pid" ]; then kill -TERM "$bus_pid" 2>/dev/null || true; wait "$bus_pid" 2>/dev/null || true; fi
  rm -rf "$work"
  echo "run: stopped"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The bus the plug-in and the engine meet on: the user's session bus, or a private one for this run.
if ! gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.GetId >/dev/null 2>&1; then
  mkfifo "$work/bus"
  dbus-daemon --session --nofork --nopidfile --print-address=1 >"$work/bus" &
  bus_pid=$!
  exec 3<"$work/bus"
  read -r -t 10 address <&3 || { echo "run: the private session bus did not start" >&2; exit 1; }
  exec 3<&-
  export DBUS_SESSION_BUS_ADDRESS="$address"
  echo "run: started a private session bus at $address"
fi

mkfifo "$work/simulator"
state="${XDG_STATE_HOME:-$HOME/.local/state}/zorbel-host-simulator/deck.json"
/usr/bin/python3 tools/host-simulator/host_simulator.py "${plugin_args[@]}" --port "$port" --state "$state" \
  >"$work/simulator" &
pids+=($!)
exec 4<"$work/simulator"
url=""
while read -r -t 20 line <&4; do
  case "$line" in "Deck page: "*) url=${line#Deck page: }; break ;; esac
done
[ -n "$url" ] || { echo "run: the host simulator did not start" >&2; exit 1; }

/usr/bin/python3 tools/demo-engine/demo_engine.py &
pids+=($!)

notify="gdbus emit --session --object-path /com/zorbel/DistributedNotifications --signal com.zorbel.DistributedNotifications.Notification"
cat <<EOF

  Deck page: $url
  Open it in a browser; press the keys with the mouse: the demo engine answers each press with a
  counting title and an OK mark. The gear of a key opens its property inspector.

  Try the engine's commands yourself (keys are addressed by button ID; R1C1 is row 1, column 1):
${bus_pid:+    export DBUS_SESSION_BUS_ADDRESS='$DBUS_SESSION_BUS_ADDRESS'
}    $notify "'Zorbel Stream Deck Set Title'" "'com.zorbel.streamdeck'" "{'zbID': <'R1C1'>, 'title': <'Hello'>}"
    $notify "'Zorbel Stream Deck Show Alert'" "'com.zorbel.streamdeck'" "{'zbID': <'R1C2'>}"
    $notify "'Zorbel Stream Deck Show OK'" "'com.zorbel.streamdeck'" "{'zbID': <'R1C2'>}"
    $notify "'Zorbel Stream Deck Set Image'" "'com.zorbel.streamdeck'" "{'zbID': <'R1C3'>, 'image': <'data:image/svg+xml;base64,$(printf '<svg xmlns="http://www.w3.org/2000/svg" width="72" height="72"><rect width="72" height="72" fill="#2a7"/></svg>' | base64 -w0)'>}"
  Watch the key presses the plug-in posts and the engine's answers (gdbus monitor: docs/opendeck.md):
    dbus-monitor --session "type='signal',interface='com.zorbel.DistributedNotifications'"

  Ctrl-C stops the simulator, the plug-in, the demo engine${bus_pid:+ and the private bus}.

EOF

# Until Ctrl-C, or until the simulator or the engine ends by itself.
wait -n "${pids[@]}" || true
