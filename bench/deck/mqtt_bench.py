"""zorbel-deck's MQTT bridge, measured against the broker's own round trip (a real mosquitto on loopback):

- press: a "Zorbel Stream Deck Key" notification posted on the bus -> the deck's bridge -> the broker ->
  a mosquitto_sub process printing the message;
- title: an MQTT message to <prefix>/key/R1C1/title/set -> the broker -> the bridge -> the
  "Zorbel Stream Deck Set Title" signal at a D-Bus subscriber in this process;
- floor: an MQTT message published from this process -> the broker -> the same mosquitto_sub process,
  the round trip that neither path can beat;
- idle: the engine's resident memory, and its CPU ticks and context switches over a quiet period.

Rounds interleave the three paths so that the machine's load falls on all alike. One monotonic clock.
Run under dbus-run-session:
  dbus-run-session -- /usr/bin/python3 bench/deck/mqtt_bench.py --deck D [--rounds 5] [--events 200] [--idle 30] [--json F]
"""

import argparse
import getpass
import json
import os
import socket
import statistics
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import paho.mqtt.client as mqtt
from gi.repository import Gio, GLib

PATH, INTERFACE = "/com/zorbel/DistributedNotifications", "com.zorbel.DistributedNotifications"
TARGET_P99_MS, TARGET_RATIO, TARGET_RSS_MIB = 5.0, 1.5, 8.0


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


class Stamp:
    """The time of the next awaited event, set from another thread."""

    def __init__(self):
        self.event, self.at, self.expect = threading.Event(), None, None

    def arm(self, expect):
        self.expect, self.at = expect, None
        self.event.clear()

    def hit(self, value):
        if value == self.expect and not self.event.is_set():
            self.at = time.monotonic()
            self.event.set()

    def wait(self):
        if not self.event.wait(10):
            raise RuntimeError(f"no {self.expect!r} within 10 s")
        return self.at


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--deck", required=True)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--events", type=int, default=200)
    p.add_argument("--idle", type=int, default=30)
    p.add_argument("--flood", type=int, default=100_000)
    p.add_argument("--json")
    args = p.parse_args()
    home = Path(tempfile.mkdtemp(prefix="zb-mqtt-bench-"))
    os.environ["HOME"] = str(home)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    (home / "mosquitto.conf").write_text(f"user {getpass.getuser()}\nlistener {port} 127.0.0.1\nallow_anonymous true\n")
    broker = subprocess.Popen(["mosquitto", "-c", str(home / "mosquitto.conf")], stderr=subprocess.PIPE)
    while b" running" not in broker.stderr.readline():
        pass

    # The bus side: posts presses, stamps Set Title signals.
    title = Stamp()
    bus = Gio.DBusConnection.new_for_address_sync(
        os.environ["DBUS_SESSION_BUS_ADDRESS"],
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    ready = threading.Event()

    def serve():
        context = GLib.MainContext.new()
        context.push_thread_default()
        bus.signal_subscribe(None, INTERFACE, "Notification", PATH, "Zorbel Stream Deck Set Title",
                             Gio.DBusSignalFlags.NONE, lambda *a: title.hit(a[5].unpack()[2].get("title")))
        ready.set()
        GLib.MainLoop(context).run()
    threading.Thread(target=serve, daemon=True).start()
    ready.wait(10)

    # The subscriber for the press path and the floor.
    line = Stamp()
    sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-t", "b/#", "-v"],
                           stdout=subprocess.PIPE)
    threading.Thread(target=lambda: [line.hit(raw.decode().strip()) for raw in sub.stdout], daemon=True).start()
    publisher = mqtt.Client()
    publisher.connect("127.0.0.1", port)
    publisher.loop_start()

    config = home / "deck.toml"
    config.write_text(f'[keys.R1C1]\ntitle = ""\n[mqtt]\nbroker = "mqtt://127.0.0.1:{port}"\nprefix = "b/deck"\n'
                      "discovery = false\n")
    engine = subprocess.Popen([args.deck, "run", str(config)], stderr=subprocess.PIPE)
    while b"MQTT: connected" not in engine.stderr.readline():
        pass
    # Both subscribers take their first message before measuring.
    for _ in range(100):
        line.arm("b/floor warm")
        publisher.publish("b/floor", "warm")
        if line.event.wait(0.1):
            break

    def press(i):
        down = i % 2 == 0
        line.arm("b/deck/key/R1C1 " + ("down" if down else "up"))
        info = {"context": GLib.Variant("s", "c"), "row": GLib.Variant("i", 1), "column": GLib.Variant("i", 1),
                "pressed": GLib.Variant("b", down)}
        start = time.monotonic()
        bus.emit_signal(None, PATH, INTERFACE, "Notification",
                        GLib.Variant("(ssa{sv})", ("Zorbel Stream Deck Key", "com.zorbel.streamdeck", info)))
        bus.flush_sync(None)
        return line.wait() - start

    def set_title(i):
        title.arm(f"t{i}")
        start = time.monotonic()
        publisher.publish("b/deck/key/R1C1/title/set", f"t{i}", qos=0)
        return title.wait() - start

    def floor(i):
        line.arm(f"b/floor f{i}")
        start = time.monotonic()
        publisher.publish("b/floor", f"f{i}", qos=0)
        return line.wait() - start

    paths = {"press": press, "title": set_title, "floor": floor}
    samples = {name: [] for name in paths}
    for _ in range(args.rounds):
        for name, measure in paths.items():
            samples[name] += [measure(i) * 1000 for i in range(args.events)]

    # Idle: nothing happens for a while.
    stat = Path(f"/proc/{engine.pid}/stat")

    def cpu():
        fields = stat.read_text().rsplit(")", 1)[1].split()
        status = Path(f"/proc/{engine.pid}/status").read_text().splitlines()
        switches = sum(int(s.split()[1]) for s in status if s.startswith(("voluntary_ctxt", "nonvoluntary_ctxt")))
        rss = next(int(s.split()[1]) for s in status if s.startswith("VmRSS"))
        return int(fields[11]) + int(fields[12]), switches, rss
    before = cpu()
    time.sleep(args.idle)  # the measurement itself: a quiet period
    after = cpu()

    # A flood: 100,000 titles for one key as fast as the broker takes them; the last one must arrive,
    # most are coalesced, and the engine's peak memory stays put.
    titles = []
    bus.signal_subscribe(None, INTERFACE, "Notification", PATH, "Zorbel Stream Deck Set Title",
                         Gio.DBusSignalFlags.NONE, lambda *a: titles.append(1))
    title.arm("last")
    start = time.monotonic()
    for i in range(args.flood):
        publisher.publish("b/deck/key/R1C1/title/set", f"flood {i}", qos=0)
    publisher.publish("b/deck/key/R1C1/title/set", "last", qos=0)
    flood_ms = (title.wait() - start) * 1000
    peak = next(int(s.split()[1]) for s in Path(f"/proc/{engine.pid}/status").read_text().splitlines()
                if s.startswith("VmHWM"))

    results = {"events_per_round": args.events, "rounds": args.rounds,
               "flood": {"titles": args.flood + 1, "ms_to_last": flood_ms, "peak_rss_kib": peak}}
    for name, values in samples.items():
        results[name] = {"count": len(values), "p50_ms": statistics.median(values), "p99_ms": percentile(values, 99),
                         "max_ms": max(values)}
    results["idle"] = {"seconds": args.idle, "cpu_ticks": after[0] - before[0],
                       "context_switches": after[1] - before[1], "rss_kib": after[2]}
    floor_p99 = results["floor"]["p99_ms"]
    print(f"{'path':<8} {'p50 ms':>8} {'p99 ms':>8} {'max ms':>8}   target")
    for name in ("press", "title", "floor"):
        r = results[name]
        target = "" if name == "floor" else (
            f"p99 < {TARGET_P99_MS} ms: {'met' if r['p99_ms'] < TARGET_P99_MS else 'MISSED'}; "
            f"p99 {r['p99_ms'] / floor_p99:.2f}x the floor's (the bus hop included)")
        print(f"{name:<8} {r['p50_ms']:8.3f} {r['p99_ms']:8.3f} {r['max_ms']:8.3f}   {target}")
    i = results["idle"]
    print(f"idle {i['seconds']} s: {i['cpu_ticks']} CPU ticks, {i['context_switches']} context switches; "
          f"resident {i['rss_kib'] / 1024:.1f} MiB (target < {TARGET_RSS_MIB} MiB)")
    f = results["flood"]
    print(f"flood of {f['titles']:,} titles to one key: the last one on the bus after {f['ms_to_last']:.0f} ms; "
          f"peak resident {f['peak_rss_kib'] / 1024:.1f} MiB")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2) + "\n")
    for process in (engine, sub, broker):
        process.terminate()
        process.wait(10)
    publisher.loop_stop()


if __name__ == "__main__":
    main()
