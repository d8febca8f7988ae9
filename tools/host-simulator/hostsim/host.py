"""A Stream Deck host stand-in: a virtual deck, the plug-in's WebSocket server, its process, the
property inspectors and the deck page, all on one loopback port.

The host starts the plug-in with the command line a real host uses (-port, -pluginUUID, -registerEvent
registerPlugin, -info), accepts the plug-in's WebSocket and checks that its first message is the
registration, then sends the events of a real host (deviceDidConnect, willAppear with the stored
settings and coordinates, keyDown/keyUp, willDisappear, sendToPlugin), shaped like OpenDeck's, extra
fields included. It keeps the settings of each key from setSettings and returns them on the next
willAppear, across plug-in restarts and, with a state file, across restarts of the host itself.

The same port serves the deck page (HTTP), the page's own WebSocket (path /ui), the property inspector
files (/plugin/...) and the inspectors' WebSocket (registered with "registerPropertyInspector"), as a
real host serves its plug-ins and inspectors on one port.
"""

import asyncio
import copy
import http
import json
import mimetypes
import os
import secrets
import signal
import socket
import sys
import time
import uuid
from pathlib import Path

import websockets

from . import dials as dialmod

PLUGIN_UUID = "com.zorbel.streamdeck"
ACTION_UUID = "com.zorbel.streamdeck.key"
REGISTER_PLUGIN = "registerPlugin"
REGISTER_INSPECTOR = "registerPropertyInspector"
DEVICE_ID = "5A1D0C0FFEE0000000000000DECC0001"
SIMULATOR = Path(__file__).resolve().parents[1]  # tools/host-simulator
REPO = SIMULATOR.parent.parent
MAX_MESSAGE = 16 * 1024 * 1024
# A plug-in gets this long to exit by itself after the host closes its connection.
EXIT_GRACE = 5.0


class ScenarioError(Exception):
    pass


class Key(dialmod.Control):
    """One key of the virtual deck."""

    controller = "Keypad"

    def view(self):
        return {
            "row": self.row, "column": self.column, "context": self.context,
            "hasAction": self.has_action, "visible": self.visible, "settings": self.settings,
            "title": self.title, "image": self.image, "state": self.state, "alerts": self.alerts,
            "oks": self.oks, "setSettingsCount": self.set_settings_count,
        }


def free_port():
    """A port that is free on 127.0.0.1 (and ::1, when the machine has it) at the time of the call."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if not has_ipv6_loopback():
            return port
        try:
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
                s.bind(("::1", port))
            return port
        except OSError:
            continue
    raise OSError("no free port on the loopback interfaces")


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def matches(expected, actual):
    """Partial match: every key of `expected` must be in `actual` with a matching value.

    "$absent" requires the key to be missing, "$any" only present, "$prefix:TEXT" a string starting
    with TEXT. Lists match element by element.
    """
    if isinstance(expected, dict):
        if not isinstance(actual, dict):
            return False
        for k, v in expected.items():
            if v == "$absent":
                if k in actual:
                    return False
            elif k not in actual or not matches(v, actual[k]):
                return False
        return True
    if isinstance(expected, list):
        return isinstance(actual, list) and len(expected) == len(actual) and all(
            matches(e, a) for e, a in zip(expected, actual))
    if expected == "$any":
        return True
    if isinstance(expected, str) and expected.startswith("$prefix:"):
        return isinstance(actual, str) and actual.startswith(expected[len("$prefix:"):])
    if isinstance(expected, bool) or isinstance(actual, bool):
        return type(expected) is type(actual) and expected == actual
    return expected == actual


class Host:
    def __init__(self, rows=3, columns=5, actions=((0, 0), (0, 1), (0, 2), (1, 1), (2, 4)),
                 plugin=None, inspector_root=None, inspector_path="inspector/index.html",
                 state_path=None, log=None, verbose=False, dials=0, action_on=(), deck_type="standard"):
        self.rows = rows
        self.columns = columns
        self.dial_count = dials
        self.deck_type = deck_type
        self.dials = {}  # index -> Dial
        # ("key", (row, column)) or ("dial", index): places that get the action whatever the state says
        self.action_on = list(action_on)
        self.plugin_path = plugin
        self.inspector_root = Path(inspector_root or REPO / "bundle").resolve()
        self.inspector_path = inspector_path
        self.state_path = Path(state_path) if state_path else None
        self.log_file = log or sys.stderr
        self.verbose = verbose
        self.port = None
        self.keys = {}
        self._servers = []
        self._process = None
        self._process_waiter = None
        self._plugin_uuid = None
        self._plugin_ws = None
        self.registered = None
        self.plugin_exit = None  # exit status of the last plug-in process
        self.plugin_starts = 0
        self.inspectors = {}  # context -> websocket
        self.ui_clients = set()
        self.records = []  # every message and notification, in arrival order
        self.problems = []  # protocol faults of the plug-in
        self._changed = asyncio.Condition()
        self._load_state(actions)

    # ----- state -----

    def _load_state(self, actions):
        saved = {}
        if self.state_path and self.state_path.exists():
            saved = json.loads(self.state_path.read_text())
        contexts = saved.get("contexts", {})
        for r in range(self.rows):
            for c in range(self.columns):
                # Real hosts name an action instance with an opaque, stable identifier.
                context = contexts.get(f"{r},{c}") or secrets.token_hex(16).upper()
                self.keys[(r, c)] = Key(r, c, context)
        for r, c in saved.get("actions", [list(a) for a in actions]):
            if (r, c) in self.keys:
                self.keys[(r, c)].has_action = True
        dial_contexts = saved.get("dialContexts", {})
        for i in range(self.dial_count):
            self.dials[i] = dialmod.Dial(i, dial_contexts.get(str(i)) or secrets.token_hex(16).upper())
        for i in saved.get("dialActions", []):
            if i in self.dials:
                self.dials[i].has_action = True
        for kind, where in self.action_on:
            (self.keys if kind == "key" else self.dials)[where].has_action = True
        for context, settings in saved.get("settings", {}).items():
            key = self.key_for_context(context)
            if key:
                key.settings = settings
        self._save_state()

    def _save_state(self):
        if not self.state_path:
            return
        data = {
            "contexts": {f"{k.row},{k.column}": k.context for k in self.keys.values()},
            "actions": [[k.row, k.column] for k in self.keys.values() if k.has_action],
            "settings": {k.context: k.settings for k in self.places() if k.settings},
            "dialContexts": {str(d.index): d.context for d in self.dials.values()},
            "dialActions": [d.index for d in self.dials.values() if d.has_action],
        }
        self.state_path.parent.mkdir(parents=True, exist_ok=True)
        tmp = self.state_path.with_suffix(".tmp")
        tmp.write_text(json.dumps(data, indent=1))
        tmp.replace(self.state_path)

    def places(self):
        """Every key, then every dial."""
        return list(self.keys.values()) + list(self.dials.values())

    def key_for_context(self, context):
        """The key or dial with this context."""
        for key in self.places():
            if key.context == context:
                return key
        return None

    def dial(self, index):
        dial = self.dials.get(index) if isinstance(index, int) else None
        if dial is None:
            raise ScenarioError(f"no dial {index}")
        return dial

    def place(self, text):
        """The key or dial named "R<row>C<column>" or "D<n>" (1-based)."""
        try:
            kind, where = dialmod.parse_place(text, self.rows, self.columns, self.dial_count)
        except ValueError as error:
            raise ScenarioError(str(error)) from None
        return self.keys[where] if kind == "key" else self.dials[where]

    def key(self, where):
        key = self.keys.get(tuple(where))
        if key is None:
            raise ScenarioError(f"no key at {where}")
        return key

    def info(self):
        return {
            "application": {"font": "sans-serif", "language": "en", "platform": "linux",
                            "platformVersion": os.uname().release, "version": "6.7.0"},
            "plugin": {"uuid": PLUGIN_UUID, "version": "1.0.0"},
            "devicePixelRatio": 1,
            "colors": {"buttonPressedBackgroundColor": "#303030FF", "buttonPressedBorderColor": "#646464FF",
                       "buttonPressedTextColor": "#969696FF", "highlightColor": "#0078FFFF"},
            "devices": [{"id": DEVICE_ID, "name": dialmod.DECK_TYPES[self.deck_type]["name"],
                         "type": dialmod.DECK_TYPES[self.deck_type]["type"],
                         "size": {"columns": self.columns, "rows": self.rows}}],
        }

    def snapshot(self):
        return {
            "rows": self.rows, "columns": self.columns, "port": self.port,
            "plugin": {"running": self._process is not None and self._process.returncode is None,
                       "registered": bool(self.registered and self.registered.is_set()),
                       "exitStatus": self.plugin_exit, "starts": self.plugin_starts},
            "keys": [k.view() for k in sorted(self.keys.values(), key=lambda k: (k.row, k.column))],
            "dials": [d.view() for d in sorted(self.dials.values(), key=lambda d: d.index)],
            "strip": {"width": dialmod.STRIP_WIDTH, "height": dialmod.STRIP_HEIGHT},
            "problems": self.problems,
        }

    # ----- records and waiting -----

    async def _record(self, **record):
        record["time"] = time.time()
        self.records.append(record)
        async with self._changed:
            self._changed.notify_all()

    def log(self, text):
        print(text, file=self.log_file, flush=True)

    async def wait_for(self, predicate, timeout, what):
        """Waits until predicate() is true, re-testing it whenever something is recorded."""
        async def wait():
            async with self._changed:
                await self._changed.wait_for(predicate)
        try:
            await asyncio.wait_for(wait(), timeout)
        except asyncio.TimeoutError:
            raise ScenarioError(f"timed out after {timeout} s waiting for {what}") from None

    def problem(self, text):
        self.log(f"host: PROBLEM: {text}")
        self.problems.append(text)

    # ----- server -----

    async def start(self, port=0):
        if not port:
            port = free_port()
        self.port = port
        hosts = ["127.0.0.1"] + (["::1"] if has_ipv6_loopback() else [])
        for h in hosts:
            server = await websockets.serve(self._connection, h, port, process_request=self._http,
                                            max_size=MAX_MESSAGE, ping_interval=None)
            self._servers.append(server)

    async def close(self):
        await self.stop_plugin()
        for ws in list(self.inspectors.values()) + list(self.ui_clients):
            await ws.close()
        for server in self._servers:
            server.close()
            await server.wait_closed()
        self._servers = []

    async def _http(self, path, headers):
        if headers.get("Upgrade", "").lower() == "websocket":
            return None
        path = path.split("?", 1)[0]
        if path == "/api/state":
            return self._respond(json.dumps(self.snapshot()).encode(), "application/json")
        if path == "/":
            path = "/deck.html"
        if path.startswith("/plugin/"):
            root, rel = self.inspector_root, path[len("/plugin/"):]
        else:
            root, rel = SIMULATOR / "web", path.lstrip("/")
        target = (root / rel).resolve()
        # Only files inside the served folder: no "..", no symlinks out of it.
        if root.resolve() not in target.parents or not target.is_file():
            return http.HTTPStatus.NOT_FOUND, [("Content-Type", "text/plain")], b"not found\n"
        kind = mimetypes.guess_type(target.name)[0] or "application/octet-stream"
        return self._respond(target.read_bytes(), kind)

    @staticmethod
    def _respond(body, kind):
        return http.HTTPStatus.OK, [("Content-Type", kind), ("Cache-Control", "no-store"),
                                    ("Content-Length", str(len(body)))], body

    async def _connection(self, ws, path=None):
        if ws.path == "/ui":
            await self._serve_ui(ws)
            return
        try:
            first = await asyncio.wait_for(ws.recv(), 10)
        except (asyncio.TimeoutError, websockets.ConnectionClosed):
            return
        message, binary = self._decode(first)
        event = message.get("event") if isinstance(message, dict) else None
        if event == REGISTER_INSPECTOR:
            await self._serve_inspector(ws, message)
        else:
            await self._serve_plugin(ws, message, binary)

    @staticmethod
    def _decode(data):
        binary = isinstance(data, bytes)
        try:
            return json.loads(data.decode() if binary else data), binary
        except (ValueError, UnicodeDecodeError):
            return None, binary

    # ----- the plug-in -----

    async def start_plugin(self):
        if not self.plugin_path:
            raise ScenarioError("no plug-in executable given")
        if self._process and self._process.returncode is None:
            raise ScenarioError("the plug-in is already running")
        self._plugin_uuid = uuid.uuid4().hex.upper()
        self.registered = asyncio.Event()
        self.plugin_exit = None
        argv = [str(self.plugin_path), "-port", str(self.port), "-pluginUUID", self._plugin_uuid,
                "-registerEvent", REGISTER_PLUGIN, "-info", json.dumps(self.info())]
        self.log(f"host: starting {self.plugin_path} -port {self.port} -pluginUUID {self._plugin_uuid}"
                 f" -registerEvent {REGISTER_PLUGIN} -info '...'")
        self._process = await asyncio.create_subprocess_exec(
            *argv, stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE, start_new_session=True)
        self.plugin_starts += 1
        self._process_waiter = asyncio.ensure_future(self._watch_process(self._process))
        await self._broadcast_state()

    async def _watch_process(self, process):
        async def pump(stream, name):
            while line := await stream.readline():
                self.log(f"plugin {name}: {line.decode(errors='replace').rstrip()}")
        await asyncio.gather(pump(process.stdout, "stdout"), pump(process.stderr, "stderr"))
        status = await process.wait()
        self.plugin_exit = status
        self.log(f"host: plug-in exited with status {status}")
        await self._record(source="process", exit=status)
        await self._broadcast_state()

    async def wait_registered(self, timeout=10):
        await self.wait_for(lambda: self.registered.is_set() or self.plugin_exit is not None, timeout,
                            "the plug-in's registration")
        if not self.registered.is_set():
            raise ScenarioError(f"the plug-in exited with status {self.plugin_exit} before registering")

    async def stop_plugin(self, timeout=EXIT_GRACE):
        """Closes the plug-in's connection as a host does when it no longer needs the plug-in, and
        waits for the process to exit; a process still alive after `timeout` is terminated."""
        process = self._process
        if process is None:
            return None
        if self._plugin_ws is not None:
            await self._plugin_ws.close(1000, "host is unloading the plug-in")
        try:
            await asyncio.wait_for(asyncio.shield(self._process_waiter), timeout)
        except asyncio.TimeoutError:
            self.problem(f"the plug-in did not exit within {timeout} s after its connection closed")
            os.killpg(process.pid, signal.SIGTERM)
            try:
                await asyncio.wait_for(asyncio.shield(self._process_waiter), 3)
            except asyncio.TimeoutError:
                os.killpg(process.pid, signal.SIGKILL)
                await self._process_waiter
        self._process = None
        for key in self.places():
            key.visible = False
        await self._broadcast_state()
        return self.plugin_exit

    async def restart_plugin(self):
        await self.stop_plugin()
        await self.start_plugin()
        await self.wait_registered()

    async def _serve_plugin(self, ws, message, binary):
        await self._record(source="plugin", message=message, binary=binary)
        expected = {"event": REGISTER_PLUGIN, "uuid": self._plugin_uuid}
        if self._plugin_uuid is None or self.registered.is_set():
            self.problem(f"unexpected connection whose first message is {message!r}")
            await ws.close(1008, "unexpected connection")
            return
        if message != expected:
            self.problem(f"the first message is {message!r}, expected the registration {expected!r}")
            await ws.close(1008, "registration expected")
            return
        self._plugin_ws = ws
        self.registered.set()
        self.log(f"host: plug-in registered ({'binary' if binary else 'text'} message)")
        await self._broadcast_state()
        await self.send_to_plugin({"event": "deviceDidConnect", "device": DEVICE_ID,
                                   "deviceInfo": self.info()["devices"][0]})
        for key in sorted(self.keys.values(), key=lambda k: (k.row, k.column)):
            if key.has_action:
                await self.appear(key)
        for dial in sorted(self.dials.values(), key=lambda d: d.index):
            if dial.has_action:
                await self.appear(dial)
        try:
            async for data in ws:
                message, binary = self._decode(data)
                await self._record(source="plugin", message=message, binary=binary)
                await self._plugin_message(message, data)
        except websockets.ConnectionClosed:
            pass
        finally:
            if self._plugin_ws is ws:
                self._plugin_ws = None
                for key in self.places():
                    key.visible = False
            await self._record(source="plugin", closed=True)
            await self._broadcast_state()

    async def send_to_plugin(self, message):
        if self._plugin_ws is None:
            raise ScenarioError(f"no plug-in connection to send {message.get('event')}")
        await self._plugin_ws.send(json.dumps(message))
        await self._record(source="host", message=message)
        if self.verbose:
            self.log(f"host -> plugin: {json.dumps(message)[:300]}")
        await self._broadcast({"type": "log", "direction": "out", "message": message})

    async def _plugin_message(self, message, raw):
        if not isinstance(message, dict):
            self.problem(f"a message that is not a JSON object: {raw[:200]!r}")
            return
        await self._broadcast({"type": "log", "direction": "in", "message": message})
        event = message.get("event")
        payload = message.get("payload") if isinstance(message.get("payload"), dict) else {}
        if event == "logMessage":
            self.log(f"plugin log: {payload.get('message')}")
            return
        if event in ("openUrl", "getGlobalSettings", "setGlobalSettings", "switchToProfile"):
            return
        key = self.key_for_context(message.get("context"))
        if key is None or not key.has_action:
            self.problem(f"{event} for unknown context {message.get('context')!r}")
            return
        if event == "setTitle":
            key.title = payload.get("title")
        elif event == "setImage":
            image = payload.get("image")
            if image is not None and not (isinstance(image, str) and image.startswith("data:image")):
                self.problem(f"setImage with an image that is not a data URL: {str(image)[:60]!r}")
            key.image = image
        elif event == "showAlert":
            key.alerts += 1
            await self._broadcast(self._flash(key, "alert"))
        elif event == "showOk":
            key.oks += 1
            await self._broadcast(self._flash(key, "ok"))
        elif event in ("setFeedback", "setFeedbackLayout"):
            if not isinstance(key, dialmod.Dial):
                self.problem(f"{event} for a key, which has no touch strip: {message.get('context')!r}")
                return
            if event == "setFeedback":
                if not isinstance(message.get("payload"), dict):
                    self.problem("setFeedback without a feedback object")
                    return
                problem = self._feedback_problem(payload)
                if problem:
                    self.problem(f"setFeedback with {problem}")
                    return
                key.feedback.update(copy.deepcopy(payload))  # hosts merge each feedback into the strip
                key.feedback_count += 1
            else:
                folder = self.inspector_root if (self.inspector_root / "manifest.json").is_file() else None
                problem = dialmod.layout_problem(payload.get("layout"), folder)
                if problem:
                    self.problem(f"setFeedbackLayout with {problem}")
                    return
                key.layout = payload["layout"]
        elif event == "setSettings":
            if not isinstance(message.get("payload"), dict):
                self.problem("setSettings without a settings object")
                return
            key.settings = copy.deepcopy(message["payload"])
            key.set_settings_count += 1
            self._save_state()
            inspector = self.inspectors.get(key.context)
            if inspector is not None:
                await self._send_inspector(inspector, {
                    "action": ACTION_UUID, "event": "didReceiveSettings", "context": key.context,
                    "device": DEVICE_ID, "payload": {"settings": key.settings, "coordinates": key.coordinates(),
                                                     "isInMultiAction": False}})
        elif event == "setState":
            key.state = payload.get("state", 0)
        elif event == "sendToPropertyInspector":
            inspector = self.inspectors.get(key.context)
            if inspector is not None:
                await self._send_inspector(inspector, {"action": ACTION_UUID, "event": "sendToPropertyInspector",
                                                       "context": key.context, "payload": payload})
        else:
            self.problem(f"unknown command {event!r}")
            return
        await self._broadcast_key(key)

    @staticmethod
    def _feedback_problem(payload):
        indicator = payload.get("indicator")
        if indicator is not None and (isinstance(indicator, bool) or not isinstance(indicator, (int, float))
                                      or not 0 <= indicator <= 100):
            return f"an indicator that is not a number from 0 to 100: {indicator!r}"
        icon = payload.get("icon")
        if icon is not None and not (isinstance(icon, str) and icon.startswith("data:image")):
            return f"an icon that is not a data URL: {str(icon)[:60]!r}"
        for field in ("title", "value"):
            if field in payload and not isinstance(payload[field], str):
                return f"a {field} that is not text: {payload[field]!r}"
        return None

    @staticmethod
    def _flash(key, kind):
        if isinstance(key, dialmod.Dial):
            return {"type": "flash", "dial": key.index, "kind": kind}
        return {"type": "flash", "row": key.row, "column": key.column, "kind": kind}

    # ----- what a host does with a key -----

    def _key_payload(self, key, **extra):
        payload = {"settings": copy.deepcopy(key.settings), "coordinates": key.coordinates(),
                   "state": key.state, "isInMultiAction": False}
        payload.update(extra)
        return payload

    def _key_event(self, event, key, **extra):
        return {"action": ACTION_UUID, "event": event, "context": key.context, "device": DEVICE_ID,
                "payload": self._key_payload(key, **extra)}

    async def appear(self, key):
        key.has_action = True
        key.visible = True
        # A host does not keep titles and images across plug-in runs: the plug-in sends them again
        # from the settings it gets here.
        key.title = None
        key.image = None
        if isinstance(key, dialmod.Dial):
            key.clear_strip()
        self._save_state()
        await self.send_to_plugin(self._key_event("willAppear", key, controller=key.controller))
        await self._broadcast_key(key)

    async def disappear(self, key):
        await self.send_to_plugin(self._key_event("willDisappear", key, controller=key.controller))
        key.visible = False
        await self._broadcast_key(key)

    async def add_action(self, key):
        if key.has_action:
            return
        key.has_action = True
        key.settings = {}
        if self._plugin_ws is not None:
            await self.appear(key)
        else:
            self._save_state()
            await self._broadcast_key(key)

    async def remove_action(self, key):
        if not key.has_action:
            return
        if self._plugin_ws is not None and key.visible:
            await self.disappear(key)
        key.has_action = False
        key.settings, key.title, key.image = {}, None, None
        if isinstance(key, dialmod.Dial):
            key.clear_strip()
        inspector = self.inspectors.pop(key.context, None)
        if inspector is not None:
            await inspector.close()
        self._save_state()
        await self._broadcast_key(key)

    async def key_down(self, key):
        await self.send_to_plugin(self._key_event("keyDown", key))

    async def key_up(self, key):
        await self.send_to_plugin(self._key_event("keyUp", key))

    # ----- what a host does with a dial -----

    def _dial_event(self, event, dial, **extra):
        # Dial events carry no settings-free shortcut: hosts send the same payload as for keys.
        return {"action": ACTION_UUID, "event": event, "context": dial.context, "device": DEVICE_ID,
                "payload": self._key_payload(dial, controller="Encoder", **extra)}

    async def dial_rotate(self, dial, ticks, pressed=False):
        await self.send_to_plugin(self._dial_event("dialRotate", dial, ticks=ticks, pressed=pressed))

    async def dial_down(self, dial):
        await self.send_to_plugin(self._dial_event("dialDown", dial))

    async def dial_up(self, dial):
        await self.send_to_plugin(self._dial_event("dialUp", dial))

    async def touch_tap(self, dial, x, y, hold=False):
        await self.send_to_plugin(self._dial_event("touchTap", dial, tapPos=[x, y], hold=hold))

    async def send_to_plugin_from_inspector(self, key, payload):
        """What a host does with an inspector's sendToPlugin: relays it as a sendToPlugin event."""
        await self.send_to_plugin({"action": ACTION_UUID, "event": "sendToPlugin", "context": key.context,
                                   "payload": payload})

    # ----- property inspectors -----

    def inspector_launch(self, key):
        """The arguments a host passes to the inspector's connectElgatoStreamDeckSocket."""
        return {
            "url": f"/plugin/{self.inspector_path}",
            "port": self.port, "uuid": key.context, "registerEvent": REGISTER_INSPECTOR,
            "info": json.dumps(self.info()),
            "actionInfo": json.dumps({"action": ACTION_UUID, "context": key.context, "device": DEVICE_ID,
                                      "payload": {"settings": key.settings, "coordinates": key.coordinates(),
                                                  "controller": key.controller, "isInMultiAction": False}}),
        }

    async def _serve_inspector(self, ws, message):
        key = self.key_for_context(message.get("uuid"))
        if key is None or not key.has_action:
            self.problem(f"an inspector registered for unknown context {message.get('uuid')!r}")
            await ws.close(1008, "unknown context")
            return
        previous = self.inspectors.get(key.context)
        self.inspectors[key.context] = ws
        if previous is not None:
            await previous.close()
        await self._record(source="inspector", context=key.context, message=message)
        if self._plugin_ws is not None:
            await self.send_to_plugin({"action": ACTION_UUID, "event": "propertyInspectorDidAppear",
                                       "context": key.context, "device": DEVICE_ID})
        try:
            async for data in ws:
                message, _ = self._decode(data)
                await self._record(source="inspector", context=key.context, message=message)
                if not isinstance(message, dict):
                    continue
                if message.get("event") == "sendToPlugin" and isinstance(message.get("payload"), dict):
                    if self._plugin_ws is not None:
                        await self.send_to_plugin_from_inspector(key, message["payload"])
                elif message.get("event") == "getSettings":
                    await self._send_inspector(ws, {"action": ACTION_UUID, "event": "didReceiveSettings",
                                                    "context": key.context, "device": DEVICE_ID,
                                                    "payload": {"settings": key.settings,
                                                                "coordinates": key.coordinates(),
                                                                "isInMultiAction": False}})
        except websockets.ConnectionClosed:
            pass
        finally:
            if self.inspectors.get(key.context) is ws:
                del self.inspectors[key.context]
                if self._plugin_ws is not None and key.has_action:
                    try:
                        await self.send_to_plugin({"action": ACTION_UUID, "event": "propertyInspectorDidDisappear",
                                                   "context": key.context, "device": DEVICE_ID})
                    except websockets.ConnectionClosed:
                        pass

    async def _send_inspector(self, ws, message):
        try:
            await ws.send(json.dumps(message))
        except websockets.ConnectionClosed:
            pass

    # ----- the deck page -----

    async def _serve_ui(self, ws):
        self.ui_clients.add(ws)
        try:
            await ws.send(json.dumps({"type": "state", "state": self.snapshot()}))
            async for data in ws:
                message, _ = self._decode(data)
                if isinstance(message, dict):
                    try:
                        await self._ui_request(ws, message)
                    except ScenarioError as error:
                        await ws.send(json.dumps({"type": "error", "text": str(error)}))
        except websockets.ConnectionClosed:
            pass
        finally:
            self.ui_clients.discard(ws)

    async def _ui_request(self, ws, message):
        kind = message.get("type")
        if kind == "restartPlugin":
            if self._process and self._process.returncode is None:
                await self.restart_plugin()
            else:
                await self.start_plugin()
                await self.wait_registered()
            return
        if "dial" in message:
            await self._ui_dial_request(ws, kind, self.dial(message.get("dial")), message)
            return
        key = self.key((message.get("row"), message.get("column")))
        if kind == "keyDown" and key.has_action and key.visible:
            await self.key_down(key)
        elif kind == "keyUp" and key.has_action and key.visible:
            await self.key_up(key)
        elif kind == "addAction":
            await self.add_action(key)
        elif kind == "removeAction":
            await self.remove_action(key)
        elif kind == "openInspector" and key.has_action:
            await ws.send(json.dumps({"type": "inspector", "row": key.row, "column": key.column,
                                      "launch": self.inspector_launch(key)}))

    async def _ui_dial_request(self, ws, kind, dial, message):
        live = dial.has_action and dial.visible
        if kind == "dialRotate" and live:
            ticks = message.get("ticks")
            if isinstance(ticks, int) and not isinstance(ticks, bool) and ticks:
                await self.dial_rotate(dial, ticks, bool(message.get("pressed")))
        elif kind == "dialDown" and live:
            await self.dial_down(dial)
        elif kind == "dialUp" and live:
            await self.dial_up(dial)
        elif kind == "touchTap" and live:
            x, y = message.get("x"), message.get("y")
            if isinstance(x, int) and isinstance(y, int):
                await self.touch_tap(dial, x, y, bool(message.get("hold")))
        elif kind == "addAction":
            await self.add_action(dial)
        elif kind == "removeAction":
            await self.remove_action(dial)
        elif kind == "openInspector" and dial.has_action:
            await ws.send(json.dumps({"type": "inspector", "dial": dial.index, "launch": self.inspector_launch(dial)}))

    async def _broadcast(self, message):
        if not self.ui_clients:
            return
        text = json.dumps(message)
        for ws in list(self.ui_clients):
            try:
                await ws.send(text)
            except websockets.ConnectionClosed:
                self.ui_clients.discard(ws)

    async def _broadcast_key(self, key):
        if isinstance(key, dialmod.Dial):
            await self._broadcast({"type": "dial", "dial": key.view()})
            return
        await self._broadcast({"type": "key", "key": key.view()})

    async def _broadcast_state(self):
        await self._broadcast({"type": "state", "state": self.snapshot()})
