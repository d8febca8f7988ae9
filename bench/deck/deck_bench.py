"""zorbel-deck's figures, end to end through the real plug-in and the host simulator on a private bus:

- press -> command started: the host sends keyDown -> the key's command (sh -c) writes its first byte
  into a FIFO that this process reads;
- command exit -> showOk at the host: that byte -> the plug-in's showOk reaches the host's WebSocket;
- idle: the engine's CPU ticks (utime + stime of all its threads) and context switches over 30 s with
  one key whose title is refreshed every second (the title commands' own ticks are printed apart).

Timestamps are taken in this process with one monotonic clock. Run under dbus-run-session:
  PYTHONPATH=tools/host-simulator dbus-run-session -- python3 bench/deck/deck_bench.py --plugin P --deck D [--presses N] [--idle S] [--json F]
"""

import argparse
import asyncio
import json
import os
import statistics
import tempfile
import time
from pathlib import Path

from hostsim import host as simulator

TARGET_MS = 5.0


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def cpu(pid):
    """(own ticks, waited-for children's ticks, context switches of every thread)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    own, children = int(fields[11]) + int(fields[12]), int(fields[13]) + int(fields[14])
    switches = 0
    for task in Path(f"/proc/{pid}/task").iterdir():
        for line in (task / "status").read_text().splitlines():
            if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                switches += int(line.split()[1])
    return own, children, switches


async def start_engine(deck, home, config):
    path = home / f"deck-{time.monotonic_ns()}.toml"
    path.write_text(config)
    engine = await asyncio.create_subprocess_exec(deck, "run", str(path), stdin=asyncio.subprocess.DEVNULL,
                                                  stderr=asyncio.subprocess.PIPE)
    line = await asyncio.wait_for(engine.stderr.readline(), 20)
    if b"Loaded" not in line:
        raise RuntimeError(f"the engine did not start: {line!r}")
    return engine


async def stop_engine(engine):
    engine.terminate()
    await asyncio.wait_for(engine.wait(), 20)


async def presses(host, deck, home, count):
    fifo = home / "started"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    keeper = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)  # no end of file between commands
    engine = await start_engine(deck, home, f"[keys.R1C1]\npress = 'printf s > {fifo}'\n")
    loop = asyncio.get_running_loop()
    started, ok = asyncio.Event(), asyncio.Event()
    stamps = {}

    def on_fifo():
        os.read(reader, 64)
        stamps["started"] = time.monotonic()
        started.set()
    loop.add_reader(reader, on_fifo)

    plugin_message = host._plugin_message

    async def stamped(message, raw):
        if isinstance(message, dict) and message.get("event") == "showOk":
            stamps["ok"] = time.monotonic()
            ok.set()
        await plugin_message(message, raw)
    host._plugin_message = stamped

    key = host.key((0, 0))
    to_start, to_ok = [], []
    for _ in range(count):
        started.clear()
        ok.clear()
        sent = time.monotonic()
        await host.key_down(key)
        await asyncio.wait_for(started.wait(), 20)
        await asyncio.wait_for(ok.wait(), 20)
        to_start.append((stamps["started"] - sent) * 1000)
        to_ok.append((stamps["ok"] - stamps["started"]) * 1000)
        await host.key_up(key)
    loop.remove_reader(reader)
    os.close(reader)
    os.close(keeper)
    host._plugin_message = plugin_message
    await stop_engine(engine)
    return to_start, to_ok


async def idle(deck, home, seconds):
    engine = await start_engine(deck, home, '[keys.R1C2]\ntitle = "echo idle"\nevery = "1s"\n')
    await asyncio.sleep(1.5)  # past the start
    before = cpu(engine.pid)
    await asyncio.sleep(seconds)  # the quiet being measured
    after = cpu(engine.pid)
    await stop_engine(engine)
    return tuple(b - a for a, b in zip(before, after))


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--deck", required=True)
    parser.add_argument("--presses", type=int, default=1000)
    parser.add_argument("--idle", type=float, default=30)
    parser.add_argument("--json")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="zb-deck-bench-") as folder:
        home = Path(folder)
        for name, sub in (("HOME", ""), ("XDG_CONFIG_HOME", "config"), ("XDG_STATE_HOME", "state")):
            os.environ[name] = str(home / sub)
        with open(home / "host.log", "w") as log:
            host = simulator.Host(plugin=args.plugin, log=log)
            await host.start()
            await host.start_plugin()
            await host.wait_registered()
            await host.wait_for(lambda: host.key((2, 4)).visible, 20, "the keys")
            to_start, to_ok = await presses(host, args.deck, home, args.presses)
            ticks, child_ticks, switches = await idle(args.deck, home, args.idle)
            await host.close()
    result = {"presses": args.presses, "idleSeconds": args.idle, "clockTicksPerSecond": os.sysconf("SC_CLK_TCK")}
    for name, values in (("pressToCommandStartedMs", to_start), ("commandExitToShowOkMs", to_ok)):
        result[name] = {"p50": round(statistics.median(values), 3), "p99": round(percentile(values, 99), 3)}
    result.update(idleCpuTicks=ticks, idleTitleCommandTicks=child_ticks, idleContextSwitches=switches)
    for label, name in (("press -> command started", "pressToCommandStartedMs"),
                        ("command exit -> showOk at the host", "commandExitToShowOkMs")):
        figures = result[name]
        verdict = "met" if figures["p99"] < TARGET_MS else "MISSED"
        print(f"{label}: p50 {figures['p50']:.2f} ms, p99 {figures['p99']:.2f} ms over {args.presses} presses "
              f"(target p99 < {TARGET_MS:g} ms: {verdict})")
    print(f"engine idle {args.idle:g} s with an every = \"1s\" key: {ticks} CPU ticks "
          f"({result['clockTicksPerSecond']} per second), {switches} context switches; "
          f"the title commands took {child_ticks} ticks")
    if args.json:
        Path(args.json).write_text(json.dumps(result, indent=1) + "\n")


if __name__ == "__main__":
    asyncio.run(main())
