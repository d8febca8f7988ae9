"""Soak and fault runs of the real plug-in executable.

One run starts a private D-Bus daemon, a Stream Deck host stand-in (python3-websockets, loopback, free
port) and the plug-in with the host's command line, with its log in a temporary XDG_STATE_HOME. An
engine on the private bus posts the engine's notifications and records the plug-in's key notifications.
Every wait is on the event itself with a deadline.

Scenarios (--scenario):
  soak   mixed key presses, engine commands and property-inspector changes at high rate for --duration
         seconds: every message arrives, in order, with the expected content; no line in the log but the
         informational ones; resident memory after the run within a bound of its value after warm-up.
  stall  the host stops reading while the engine sends megabytes of images: the plug-in keeps turning
         key presses into notifications; when the host reads again, the images arrive in order, the latest
         last (the ones that waited replaced each other).
  flood  (long: about 30 s) the host stops reading for 20 s while the engine floods titles: resident
         memory stays within +32 MB of the start, the latest title of every key arrives once the host
         reads again, and memory is back within +4 MB afterwards.
  pings  the host floods pings without reading the pongs: memory is back within +4 MB once the burst
         is over, and the connection still works.
  kill-inbound   the host sends half of a frame and drops the connection (--how reset: RST, close: FIN);
  kill-outbound  the host drops the connection 1 MB into the plug-in's 8 MB frame: the plug-in neither crashes
         nor hangs; it ends by itself with status 0, as after a close.
  bus    the bus daemon goes away and comes back: the plug-in keeps serving Stream Deck meanwhile; the
         run reports whether its notifications work again after the daemon is back.
Exit status 0 when every check passed; the reason of each failure on standard error.
"""

import argparse
import asyncio
import base64
import json
import os
import random
import re
import socket
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import websockets

from hostsim import notifications as dn  # the engine side of the D-Bus contract, shared with the simulator
from hostsim import keys


PLUGIN_UUID = "com.zorbel.streamdeck"
ACTION = "com.zorbel.streamdeck.key"
DEVICE = "5A1D0C0FFEE0000000000000DECC0001"
COLUMNS, ROWS = 5, 3
ENGINE_EVENTS = ("setTitle", "setImage", "showAlert", "showOk")
DEADLINE = 20.0  # seconds for any single awaited event (sanitizer builds on a loaded machine are slow)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


async def wait_for(predicate, changed, timeout, what):
    """Waits until predicate() holds, re-checking whenever `changed` (an asyncio.Condition) is notified."""
    async def waiter():
        async with changed:
            await changed.wait_for(predicate)
    try:
        await asyncio.wait_for(waiter(), timeout)
    except asyncio.TimeoutError:
        raise Failure(f"timed out after {timeout:.0f} s waiting for {what}") from None


# ---- the private bus ---------------------------------------------------------------------------------------

class BusDaemon:
    """dbus-daemon with the session configuration on a socket of its own; restartable at the same address."""

    def __init__(self, folder):
        self.socket = Path(folder) / "bus"
        self.address = f"unix:path={self.socket}"
        self.process = None

    def start(self):
        if self.socket.exists():
            self.socket.unlink()
        self.process = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", f"--address={self.address}", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.process.stdout.readline()  # printed once the socket is listening
        check(line.strip(), "dbus-daemon did not start")

    def kill(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()

    def stop(self):
        if self.process and self.process.poll() is None:
            self.kill()


# ---- the plug-in process ---------------------------------------------------------------------------------

def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise Failure("no VmRSS")


class Deck:
    """The host's model of the keys and of what the plug-in must send and post."""

    def __init__(self):
        self.keys = []
        for row in range(ROWS):
            for column in range(COLUMNS):
                index = row * COLUMNS + column
                # A stored title makes the plug-in answer the key's willAppear with a setTitle.
                settings = {"title": f"start {index}"}
                if index < 10:
                    settings["zbID"] = f"K{index}"
                self.keys.append({"context": f"CTX{index:02d}{'x' * 20}", "row": row, "column": column,
                                  "settings": settings, "busy": False, "engine": 0})
        self.by_context = {k["context"]: k for k in self.keys}

    @staticmethod
    def coordinates(key):
        return {"row": key["row"], "column": key["column"]}

    def row(self, key):
        return keys.virtual_row(key["settings"], self.coordinates(key))

    def column(self, key):
        return keys.virtual_column(key["settings"], self.coordinates(key))

    def button_id(self, key):
        return keys.button_id(key["settings"], self.coordinates(key))


class Session:
    """One plug-in process against one host connection, with the engine's records."""

    def __init__(self, args, folder, bus):
        self.args = args
        self.folder = Path(folder)
        self.bus = bus
        self.changed = asyncio.Condition()
        self.ws = None
        self.received = []           # every JSON message from the plug-in, in order
        self.by_event = {}           # event -> list of messages
        self.key_posts = []          # userInfo of every "Zorbel Stream Deck Key"
        self.trace = []              # what the soak sent, for failure reports
        self.engine_done = {}        # context -> setTitle, setImage, showAlert and showOk messages received
        self.connected = asyncio.Event()
        self.registered = False
        self.process = None
        self.engine = None
        self.deck = Deck()
        self.log_path = self.folder / "state" / "Zorbel" / "StreamDeck.log"

    # -- notifications of changes --
    async def _notify(self):
        async with self.changed:
            self.changed.notify_all()

    def _on_notification(self, name, obj, user_info):
        if name == dn.KEY:
            self.key_posts.append(user_info)
            asyncio.ensure_future(self._notify())

    def start_engine(self):
        # A connection of its own, which survives the restarts of the bus daemon; posts go out at flush().
        self.engine = dn.Bus(asyncio.get_running_loop(), self._on_notification, address=self.bus.address,
                             flush_each_post=False)

    # -- host --
    async def _handler(self, ws, _path=None):
        if self.ws is not None:
            await ws.close(1008, "one plug-in only")
            return
        self.ws = ws
        self.connected.set()
        try:
            async for message in ws:
                if isinstance(message, bytes):
                    message = message.decode()
                data = json.loads(message)
                if not self.registered:
                    check(data.get("event") == "registerPlugin" and data.get("uuid") == "SOAK-UUID",
                          f"first message is not the registration: {message[:200]}")
                    self.registered = True
                self.received.append(data)
                self.by_event.setdefault(data.get("event"), []).append(data)
                if data.get("event") in ENGINE_EVENTS:
                    self.engine_done[data.get("context")] = self.engine_done.get(data.get("context"), 0) + 1
                await self._notify()
        except websockets.ConnectionClosed:
            pass
        finally:
            await self._notify()

    async def start(self):
        self.server = await websockets.serve(self._handler, "127.0.0.1", 0, max_size=None, compression=None,
                                             ping_interval=None, max_queue=None)
        port = self.server.sockets[0].getsockname()[1]
        env = dict(os.environ)
        env.update({"XDG_STATE_HOME": str(self.folder / "state"), "XDG_CONFIG_HOME": str(self.folder / "config"),
                    "DBUS_SESSION_BUS_ADDRESS": self.bus.address})
        (self.folder / "config").mkdir(exist_ok=True)
        info = {"application": {"language": "en", "platform": "linux", "version": "6.0"},
                "devices": [{"id": DEVICE, "name": "Soak Deck", "size": {"columns": COLUMNS, "rows": ROWS},
                             "type": 0}]}
        self.process = subprocess.Popen(
            [self.args.plugin, "-port", str(port), "-pluginUUID", "SOAK-UUID", "-registerEvent", "registerPlugin",
             "-info", json.dumps(info)], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        await wait_for(lambda: self.registered, self.changed, DEADLINE, "the registration")
        await self.send({"event": "deviceDidConnect", "device": DEVICE,
                         "deviceInfo": {"name": "Soak Deck", "size": {"columns": COLUMNS, "rows": ROWS}, "type": 0}})
        for key in self.deck.keys:
            await self.send(self.event("willAppear", key))
        # The engine's commands travel on the bus and may overtake the willAppear messages: they start
        # once the plug-in has answered every willAppear (with the stored title), and the records
        # start empty then.
        await self.wait_count("setTitle", len(self.deck.keys))
        self.received.clear()
        self.by_event.clear()
        self.engine_done.clear()

    def event(self, name, key, payload=None):
        base = {"settings": key["settings"], "coordinates": {"row": key["row"], "column": key["column"]},
                "isInMultiAction": False}
        if payload is not None:
            base = payload
        return {"event": name, "action": ACTION, "context": key["context"], "device": DEVICE, "payload": base}

    async def send(self, message):
        await self.ws.send(json.dumps(message))

    def count(self, event):
        return len(self.by_event.get(event, []))

    async def wait_count(self, event, n, timeout=DEADLINE):
        try:
            await wait_for(lambda: self.count(event) >= n, self.changed, timeout, f"{n} {event} messages")
        except Failure as failure:
            raise Failure(f"{failure} (got {self.count(event)})") from None

    async def wait_keys(self, n, timeout=DEADLINE):
        try:
            await wait_for(lambda: len(self.key_posts) >= n, self.changed, timeout, f"{n} key notifications")
        except Failure as failure:
            raise Failure(f"{failure} (got {len(self.key_posts)})") from None

    async def wait_settings(self, context, name, value, since, timeout=DEADLINE):
        """Waits for a setSettings of `context` with settings[name] == value among those after index `since`."""
        await wait_for(lambda: any(m["context"] == context and m["payload"].get(name) == value
                                   for m in self.by_event.get("setSettings", [])[since:]),
                       self.changed, timeout, f"setSettings {name}={value} for {context}")

    async def wait_exit(self, timeout=DEADLINE):
        loop = asyncio.get_running_loop()
        try:
            return await asyncio.wait_for(asyncio.shield(loop.run_in_executor(None, self.process.wait)), timeout)
        except asyncio.TimeoutError:
            raise Failure(f"the plug-in did not end within {timeout:.0f} s") from None

    async def close_and_wait_exit(self):
        await self.ws.close(1000, "host quits")
        status = await self.wait_exit()
        check(status == 0, f"the plug-in ended with status {status} after a clean close")

    def log_lines(self):
        if not self.log_path.exists():
            return []
        # The plug-in may be writing a line while it is read: only complete lines count.
        text = self.log_path.read_text(errors="replace")
        return text[:text.rfind("\n") + 1].splitlines()

    def check_log(self, allowed=()):
        # The plug-in's informational lines; anything else is a failure report.
        patterns = [r"Stream Deck Plug In Launched$", r"Set Button ID for context \S+ to \S+$"] + list(allowed)
        bad = [line for line in self.log_lines()
               if not any(re.search(p, line) for p in patterns)]
        check(not bad, "unexpected log lines:\n  " + "\n  ".join(bad[:20]))

    def stderr_text(self):
        if self.process and self.process.stderr and self.process.poll() is not None:
            return self.process.stderr.read().decode(errors="replace")
        return ""

    async def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                await asyncio.wait_for(asyncio.get_running_loop().run_in_executor(None, self.process.wait), 10)
            except asyncio.TimeoutError:
                self.process.kill()
                self.process.wait()
        if self.engine:
            self.engine.close(timeout=5)
        self.server.close()
        await self.server.wait_closed()


# ---- scenarios -------------------------------------------------------------------------------------------

async def press(session, key):
    await session.send(session.event("keyDown", key))
    await session.send(session.event("keyUp", key))


def expected_press(deck, key, pressed):
    return {"context": key["context"], "row": deck.row(key),
            "column": deck.column(key), "pressed": pressed}


def same_press(post, expected):
    return all(post.get(k) == v for k, v in expected.items())


async def scenario_soak(session, args):
    """Mixed load with a bounded number of operations in flight; every effect is checked at the end."""
    deck, engine = session.deck, session.engine
    rng = random.Random(7)
    expected_presses = []            # in the order the host sent them (one connection: the plug-in keeps it)
    expected_titles = {}             # title -> context
    expected_images = {}             # image -> context
    expected_alerts, expected_oks = [], []
    window = 300
    releases = []                    # tasks that wait for the confirmation of an inspector change
    counts = {"press": 0, "title": 0, "image": 0, "alert": 0, "ok": 0, "inspector": 0}

    def outstanding():
        done = (len(session.key_posts) + session.count("setTitle") + session.count("setImage")
                + session.count("showAlert") + session.count("showOk"))
        issued = (len(expected_presses) + len(expected_titles) + len(expected_images)
                  + len(expected_alerts) + len(expected_oks))
        return issued - done

    start = time.monotonic()
    warmup_rss = None
    n = 0
    while time.monotonic() - start < args.duration:
        if warmup_rss is None and time.monotonic() - start > min(10.0, args.duration / 6):
            warmup_rss = rss_kib(session.process.pid)
        if outstanding() > window:
            await wait_for(lambda: outstanding() <= window // 2, session.changed, DEADLINE,
                           f"the plug-in to catch up ({outstanding()} operations in flight)")
        n += 1
        key = rng.choice(deck.keys)
        pending = key["engine"] - session.engine_done.get(key["context"], 0)
        choice = rng.random()
        if choice < 0.45:
            await press(session, key)
            expected_presses += [expected_press(deck, key, True), expected_press(deck, key, False)]
            counts["press"] += 1
        elif choice < 0.85:
            if key["busy"]:
                continue  # its ID is changing: the engine may not address it until the change is confirmed
            kind = rng.random()
            button = deck.button_id(key)
            if kind < 0.5:
                title = f"T{n}"
                expected_titles[title] = key["context"]
                engine.post(dn.SET_TITLE, {"zbID": button, "title": title})
                key["engine"] += 1
                counts["title"] += 1
                session.trace.append(("title", n, key["context"], button))
            elif kind < 0.7:
                image = "data:image/png;base64," + base64.b64encode(f"image {n}".encode() * 8).decode()
                expected_images[image] = key["context"]
                engine.post(dn.SET_IMAGE, {"zbID": button, "image": image})
                key["engine"] += 1
                counts["image"] += 1
            elif kind < 0.85:
                expected_alerts.append(key["context"])
                engine.post(dn.SHOW_ALERT, {"zbID": button})
                key["engine"] += 1
                counts["alert"] += 1
            else:
                expected_oks.append(key["context"])
                engine.post(dn.SHOW_OK, {"zbID": button})
                key["engine"] += 1
                counts["ok"] += 1
        else:
            # Engine commands travel on the bus, inspector changes on the WebSocket: a change of a key's ID
            # waits until the commands sent to its old ID have arrived, and engine commands for the key
            # wait until the plug-in has confirmed the change with setSettings.
            if key["busy"] or pending or "zbID" not in key["settings"]:
                continue
            change = rng.choice(["zbID", "zbRow", "zbColumn"])
            value = f"K{deck.keys.index(key)}-{n}" if change == "zbID" else str(rng.randint(1, 999))
            key["busy"] = True
            key["settings"] = dict(key["settings"], **{change: value})
            confirmations = session.count("setSettings")
            await session.send(session.event("sendToPlugin", key, {change: value}))
            counts["inspector"] += 1

            async def release(key=key, change=change, value=value, since=confirmations):
                await session.wait_settings(key["context"], change, value, since)
                key["busy"] = False
            releases.append(asyncio.ensure_future(release()))
            session.trace.append(("inspector", n, key["context"], change, value))
        if n % 64 == 0:
            await asyncio.sleep(0)  # let the reader and engine callbacks run (a yield, not a wait)
    engine.flush()
    elapsed = time.monotonic() - start

    # Everything arrives: wait for the totals, then compare content.
    await session.wait_keys(len(expected_presses))
    try:
        await session.wait_count("setTitle", len(expected_titles))
    except Failure as failure:
        got = {m["payload"]["title"] for m in session.by_event.get("setTitle", [])}
        missing = [(title, context) for title, context in expected_titles.items() if title not in got]
        history = [(i, m.get("event"), m.get("payload", {}).get("title"), m.get("payload", {}).get("zbID")) for i, m in
                   enumerate(session.received) if missing and m.get("context") == missing[0][1]][-12:]
        sent = [t for t in session.trace if missing and t[2] == missing[0][1]][-12:]
        raise Failure(f"{failure}; missing {missing[:5]}; last messages for that key: {history}; "
                      f"last commands for it: {sent}") from None
    await session.wait_count("setImage", len(expected_images))
    await session.wait_count("showAlert", len(expected_alerts))
    await session.wait_count("showOk", len(expected_oks))
    await asyncio.gather(*releases)  # each fails with its own deadline

    check(len(session.key_posts) == len(expected_presses),
          f"{len(session.key_posts)} key notifications for {len(expected_presses)} presses")
    for i, (post, want) in enumerate(zip(session.key_posts, expected_presses)):
        check(same_press(post, want), f"key notification {i} is {post}, expected {want}")
    titles = {m["payload"]["title"]: m["context"] for m in session.by_event.get("setTitle", [])}
    check(titles == expected_titles, f"setTitle: {len(titles)} distinct of {len(expected_titles)}, "
          f"missing {sorted(set(expected_titles) - set(titles))[:5]}")
    images = {m["payload"]["image"]: m["context"] for m in session.by_event.get("setImage", [])}
    check(images == expected_images, "setImage messages differ from the engine's images")
    check(sorted(m["context"] for m in session.by_event.get("showAlert", [])) == sorted(expected_alerts),
          "showAlert messages differ")
    check(sorted(m["context"] for m in session.by_event.get("showOk", [])) == sorted(expected_oks),
          "showOk messages differ")
    # Titles and images are kept in the key's settings too: the last setSettings of a key carries its last title.
    stored = {}
    for m in session.by_event.get("setSettings", []):
        stored[m["context"]] = m["payload"]
    last_title = {}
    for m in session.by_event.get("setTitle", []):
        last_title[m["context"]] = m["payload"]["title"]
    for context, title in last_title.items():
        check(stored.get(context, {}).get("title") == title,
              f"the settings of {context} keep title {stored.get(context, {}).get('title')}, last sent {title}")

    end_rss = rss_kib(session.process.pid)
    total = sum(counts.values())
    print(f"soak: {elapsed:.1f} s, {total} operations ({total / elapsed:.0f}/s): {counts}; "
          f"{len(session.received)} messages from the plug-in, {len(session.key_posts)} key notifications")
    print(f"soak: resident memory {warmup_rss} KiB after warm-up, {end_rss} KiB at the end "
          f"({end_rss - (warmup_rss or end_rss):+d} KiB)")
    if not args.sanitizer and warmup_rss is not None:
        check(end_rss - warmup_rss <= args.rss_growth_kib,
              f"resident memory grew by {end_rss - warmup_rss} KiB (bound {args.rss_growth_kib} KiB)")
    session.check_log()
    await session.close_and_wait_exit()


async def scenario_stall(session, args):
    """The host stops reading while the plug-in has megabytes to send."""
    deck, engine = session.deck, session.engine
    key = deck.keys[0]
    await press(session, key)
    await session.wait_keys(2)

    transport = session.ws.transport
    transport.pause_reading()
    rss_before = rss_kib(session.process.pid)
    image_count, image_size = 40, 256 * 1024
    images = []
    for i in range(image_count):
        image = "data:image/png;base64," + (f"{i:04d}" * (image_size // 4))
        images.append(image)
        engine.post(dn.SET_IMAGE, {"zbID": deck.button_id(key), "image": image})
    engine.flush()
    # The plug-in stays responsive while its output waits: key presses still become notifications.
    for i in range(50):
        await press(session, deck.keys[1 + i % 5])
    await session.wait_keys(2 + 100)
    # Its output is waiting in its own buffer (the images do not fit in the socket buffers).
    rss_stalled = rss_kib(session.process.pid)
    check(session.count("setImage") < image_count, "every image arrived although the host was not reading")
    print(f"stall: {session.count('setImage')} of {image_count} images arrived while stalled; resident memory "
          f"{rss_before} -> {rss_stalled} KiB; 100 key notifications meanwhile")

    transport.resume_reading()
    # The images that waited replaced each other: those that arrive are in order, the last is the latest.
    await wait_for(lambda: session.by_event.get("setImage") and
                   session.by_event["setImage"][-1]["payload"]["image"] == images[-1],
                   session.changed, DEADLINE * 3, "the latest image")
    got = [m["payload"]["image"] for m in session.by_event["setImage"]]
    check(all(image in images for image in got) and [images.index(image) for image in got] ==
          sorted(images.index(image) for image in got), "the images arrived changed or out of order after the stall")
    await press(session, key)
    await session.wait_keys(2 + 100 + 2)
    print(f"stall: recovered; {len(got)} of {image_count} images in order, the latest last, key presses served")
    session.check_log()
    await session.close_and_wait_exit()


async def wait_rss(session, bound_kib, what):
    """Memory given back is seen by re-reading /proc (nothing reports it): short steps up to a deadline."""
    deadline = time.monotonic() + 10
    while True:
        rss = rss_kib(session.process.pid)
        if rss <= bound_kib or time.monotonic() > deadline:
            break
        await asyncio.sleep(0.05)
    if rss > bound_kib:
        # Where the memory is, for the failure report: the largest resident mappings.
        mapping, sizes = None, []
        for line in open(f"/proc/{session.process.pid}/smaps"):
            if re.match(r"^[0-9a-f]+-", line):
                mapping = line.strip()
            elif line.startswith("Rss:"):
                sizes.append((int(line.split()[1]), mapping))
        for size, name in sorted(sizes, reverse=True)[:8]:
            print(f"  resident {size} KiB: {name}", file=sys.stderr)
    check(rss <= bound_kib, f"{what}: resident memory {rss} KiB, bound {bound_kib} KiB")
    return rss


async def scenario_flood(session, args):
    """The host stops reading for 20 s while the engine floods titles."""
    deck, engine = session.deck, session.engine
    loop = asyncio.get_running_loop()

    def title(label, key):
        # Long titles: the flood is bytes as well as messages.
        return f"{label} {key['context'][:5]} " + "." * 200

    def post_round(label):
        for key in deck.keys:
            engine.post(dn.SET_TITLE, {"zbID": deck.button_id(key), "title": title(label, key)})

    # Warm-up with the host reading, so that the start is measured with every buffer in use once.
    for i in range(20):
        post_round(f"warm{i}")
    engine.flush()
    await session.wait_count("setTitle", 20 * len(deck.keys), timeout=DEADLINE * 2)
    rss_start = rss_kib(session.process.pid)
    session.ws.transport.pause_reading()

    def flood():
        peak, rounds, end = 0, 0, time.monotonic() + args.stall_seconds
        while time.monotonic() < end:
            post_round(f"t{rounds}")
            rounds += 1
            if rounds % 50 == 0:
                engine.flush()
                peak = max(peak, rss_kib(session.process.pid))
        engine.flush()
        return rounds, peak

    rounds, peak = await loop.run_in_executor(None, flood)
    print(f"flood: {rounds} rounds of {len(deck.keys)} titles in {args.stall_seconds:.0f} s; resident memory "
          f"{rss_start} KiB at the start, {peak} KiB at most while the host did not read")
    if not args.sanitizer:
        check(peak - rss_start <= 32 * 1024, f"resident memory grew by {peak - rss_start} KiB while stalled")
    session.ws.transport.resume_reading()
    latest = {key["context"]: title(f"t{rounds - 1}", key) for key in deck.keys}

    def all_latest():
        last = {}
        for message in session.by_event.get("setTitle", []):
            last[message["context"]] = message["payload"].get("title")
        return last == latest
    await wait_for(all_latest, session.changed, DEADLINE * 3, "the latest title of every key")
    if not args.sanitizer:
        rss = await wait_rss(session, rss_start + 4 * 1024, "after the flood")
        print(f"flood: the latest titles arrived; resident memory {rss} KiB")
    session.check_log([r"Stream Deck did not read its messages: \d+ of them were dropped$"])
    await session.close_and_wait_exit()


async def scenario_pings(session, args):
    """The host floods pings and does not read the pongs."""
    key = session.deck.keys[0]
    transport = session.ws.transport
    transport.pause_reading()
    posts = 0

    async def burst(count):
        nonlocal posts
        # About 130 bytes a ping (the host's own buffer holds what the socket does not take yet).
        transport.write(b"".join(bytes([0x89, 125]) + f"ping {i:08d}".encode().ljust(125, b".")
                                 for i in range(count)))
        # A key press behind the pings: once it is posted, every ping has been read.
        await press(session, key)
        posts += 2
        await session.wait_keys(posts, timeout=DEADLINE * 3)

    # A short burst first, so that the start is measured with the threads and code of a burst in use.
    await burst(30_000)
    rss_start = rss_kib(session.process.pid)
    count = 300_000
    await burst(count)
    if not args.sanitizer:
        rss = await wait_rss(session, rss_start + 4 * 1024, "after the ping flood")
        print(f"pings: {count} pings read; resident memory {rss_start} -> {rss} KiB")
    transport.resume_reading()
    await press(session, key)
    await session.wait_keys(posts + 2)
    session.check_log()
    await session.close_and_wait_exit()


async def kill_connection(session, how):
    """Drops the host's TCP connection at once; RST when `how` is 'reset', else FIN."""
    transport = session.ws.transport
    sock = transport.get_extra_info("socket")
    if how == "reset":
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    transport.abort()


async def outcome_after_kill(session, label):
    """The plug-in ends by itself with status 0, whether the drop was a close (FIN) or a reset (RST) and
    whether it was seen as a close or as a failure of the open connection; never a crash, never a sanitizer
    report."""
    status = await session.wait_exit()
    check(status == 0, f"{label}: the plug-in ended with status {status}")
    stderr = session.stderr_text()
    check("Sanitizer" not in stderr and "runtime error" not in stderr, f"{label}: {stderr[-2000:]}")
    check(not any("could not be opened" in line for line in session.log_lines()),
          f"{label}: the open connection's end was logged as a failure to open")
    print(f"kill: {label}: ended with status 0; log: {[line for line in session.log_lines() if 'Launched' not in line]}")


async def scenario_kill_inbound(session, args):
    """The host sends half of a frame and drops the connection."""
    key = session.deck.keys[0]
    await press(session, key)
    await session.wait_keys(2)
    message = json.dumps(session.event("keyDown", key)).encode()
    frame = bytes([0x81, 126]) + struct.pack("!H", len(message)) + message
    session.ws.transport.write(frame[: len(frame) // 2])
    await kill_connection(session, args.how)
    await outcome_after_kill(session, f"host sent half a frame, then {args.how}")
    check(len(session.key_posts) == 2, "the half frame was taken as a key press")


async def scenario_kill_outbound(session, args):
    """The host drops the connection while the plug-in is in the middle of writing a large frame."""
    deck = session.deck
    key = deck.keys[0]
    ws = session.ws
    arrived = {"bytes": 0}
    killed = asyncio.Event()
    deliver = ws.data_received

    def counting(data):
        # Every byte from now on belongs to the image's messages: drop the connection 1 MB into the first.
        arrived["bytes"] += len(data)
        if arrived["bytes"] >= 1024 * 1024 and not killed.is_set():
            killed.set()
            asyncio.ensure_future(kill_connection(session, args.how))
            return
        deliver(data)

    ws.data_received = counting
    image = "data:image/png;base64," + "A" * (8 * 1024 * 1024)
    session.engine.post(dn.SET_IMAGE, {"zbID": deck.button_id(key), "image": image})
    session.engine.flush()
    try:
        await asyncio.wait_for(killed.wait(), DEADLINE)
    except asyncio.TimeoutError:
        raise Failure("the plug-in never sent the image") from None
    await outcome_after_kill(session, f"host dropped the connection ({args.how}) 1 MB into an 8 MB frame")


async def scenario_bus(session, args):
    """The bus daemon goes away and comes back."""
    deck = session.deck
    key = deck.keys[0]
    await press(session, key)
    await session.wait_keys(2)
    session.engine.post(dn.SET_TITLE, {"zbID": deck.button_id(key), "title": "before"})
    await session.wait_count("setTitle", 1)

    session.engine.close(timeout=5)
    session.bus.kill()
    session.engine = None
    # The plug-in keeps serving Stream Deck: presses (nowhere to post them), settings changes, reappearing keys.
    for i in range(20):
        await press(session, deck.keys[i % 5])
    other = deck.keys[2]
    since = session.count("setSettings")
    await session.send(session.event("sendToPlugin", other, {"zbID": "NEW-ID"}))
    await session.wait_settings(other["context"], "zbID", "NEW-ID", since)
    other["settings"]["zbID"] = "NEW-ID"
    await session.send(session.event("willDisappear", other))
    await session.send(session.event("willAppear", other))
    await session.send(session.event("sendToPlugin", other, {"zbRow": "9"}))
    await session.wait_settings(other["context"], "zbRow", "9", since)
    check(session.process.poll() is None, "the plug-in ended when the bus went away")
    print("bus: daemon gone; the plug-in kept serving Stream Deck (settings confirmed, presses taken)")

    session.bus.start()
    session.start_engine()
    before_keys = len(session.key_posts)
    before_titles = session.count("setTitle")
    # It reconnects by itself: within a few seconds both directions work again.
    reconnected = {"post": False, "observe": False}
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and not all(reconnected.values()):
        await press(session, key)
        session.engine.post(dn.SET_TITLE, {"zbID": deck.button_id(key), "title": "after"})
        session.engine.flush()
        try:
            await wait_for(lambda: len(session.key_posts) > before_keys and session.count("setTitle") > before_titles,
                           session.changed, 1.0, "notifications after the restart")
        except Failure:
            pass
        reconnected["post"] = len(session.key_posts) > before_keys
        reconnected["observe"] = session.count("setTitle") > before_titles
    print(f"bus: daemon back; key notifications reach the bus again: {'yes' if reconnected['post'] else 'no'}; "
          f"engine commands reach the plug-in again: {'yes' if reconnected['observe'] else 'no'}")
    check(all(reconnected.values()), "the plug-in did not reconnect to the bus daemon once it was back")
    session.check_log(allowed=[r"Distributed notifications are unavailable: ",
                               r"Dropped the distributed notification ",
                               r"Last message repeated \d+ times$",
                               r"Distributed notifications are available again: "])
    await session.close_and_wait_exit()


SCENARIOS = {
    "soak": scenario_soak,
    "stall": scenario_stall,
    "kill-inbound": scenario_kill_inbound,
    "kill-outbound": scenario_kill_outbound,
    "bus": scenario_bus,
    "flood": scenario_flood,
    "pings": scenario_pings,
}


async def run(args):
    with tempfile.TemporaryDirectory(prefix="zb-soak-") as folder:
        bus = BusDaemon(folder)
        bus.start()
        session = Session(args, folder, bus)
        try:
            session.start_engine()
            await session.start()
            await SCENARIOS[args.scenario](session, args)
        except Failure as failure:
            print(f"FAILED ({args.scenario}): {failure}", file=sys.stderr)
            for line in session.log_lines()[-20:]:
                print(f"  log: {line}", file=sys.stderr)
            if session.process and session.process.poll() is not None:
                print(f"  plug-in status {session.process.returncode}: {session.stderr_text()[-3000:]}",
                      file=sys.stderr)
            return 1
        finally:
            await session.stop()
            bus.stop()
    print(f"passed ({args.scenario})")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plugin", required=True, help="the zorbel-streamdeck-plugin executable")
    parser.add_argument("--scenario", choices=sorted(SCENARIOS), required=True)
    parser.add_argument("--duration", type=float, default=60.0, help="seconds of load (soak)")
    parser.add_argument("--how", choices=["close", "reset"], default="reset", help="how the host drops (kill-*)")
    parser.add_argument("--sanitizer", default="", help="the build's sanitizer: memory bounds are then not checked")
    parser.add_argument("--stall-seconds", type=float, default=20.0, help="how long the host does not read (flood)")
    parser.add_argument("--rss-growth-kib", type=int, default=1024, help="allowed growth after warm-up (soak)")
    args = parser.parse_args()
    return asyncio.run(run(args))


if __name__ == "__main__":
    sys.exit(main())
