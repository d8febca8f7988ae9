"""Scripted scenarios: a JSON list of steps that drive the host and the engine side of the D-Bus contract
and check what the plug-in does, without a browser.

A scenario file is {"deck": {...}, "steps": [...]}. "deck" may give "type" ("standard", or "plus" for
2 × 4 keys and 4 dials), "rows", "columns", "dials" (default: the type's), "actions" ([[r, c], ...]),
"dialActions" ([index, ...], 0-based) and "actionOn" (["R2C1", "D1", ...], 1-based as button IDs).
Each step is an object with one action:

  {"start": {}}                      start the plug-in and wait for its registration (keys then appear)
  {"restart": {}}                    close the plug-in's connection, wait for it to exit, start it again
  {"stop": {"exitStatus": 0}}        close the connection and check the exit status
  {"appear": [r, c]}                 put the action on a key (willAppear)
  {"disappear": [r, c]}              willDisappear (the key keeps its action and settings)
  {"press": [r, c]}                  keyDown then keyUp; also "keyDown" and "keyUp"
  {"inspector": {"key": [r, c], "payload": {...}}}   a property-inspector message, relayed as sendToPlugin
  {"post": {"name": ..., "userInfo": {...}}}         an engine notification on the session bus
  {"expect": {"plugin": {...}, "key": [r, c]}}       wait for a matching plug-in message
  {"expect": {"notification": {...}, "key": [r, c]}} wait for a matching notification from the plug-in
  {"expectNone": {...}}              like expect, but checks that nothing matched so far (no waiting)
  {"check": {"key": [r, c], "title": ..., "image": ..., "settings": {...}}}  the host's view of a key
  {"engine": {"args": [...]}}        start the demo engine (tools/demo-engine) on the session bus
  {"actionOn": "R2C1"}               put the action on the key (or "D<n>" the dial) with that default ID
  {"rotate": {"dial": d, "ticks": n, "pressed": false}}   turn a dial (dialRotate)
  {"push": d}                        dialDown then dialUp; also "dialDown" and "dialUp"
  {"tap": {"dial": d, "x": 10, "y": 20, "hold": false}}  touch the dial's part of the strip (touchTap)
  {"appear": {"dial": d}}, {"disappear": {"dial": d}}      a dial's willAppear and willDisappear
  {"check": {"dial": d, "layout": ..., "feedback": {...}, "title": ..., "settings": {...}}}

A dial `d` is its 0-based index or "D<n>"; in "expect" and "expectNone", "dial": d stands for the dial's
context as "key" does for a key's.

Expectations look at what arrived since the last action step, wait at most "timeout" seconds (default
10) and match partially (see host.matches). "key" stands for the key's context.
"""

import asyncio
import json

from . import notifications
from .dials import DECK_TYPES, parse_place
from .host import REPO, Host, ScenarioError, matches

ACTIONS = ("start", "restart", "stop", "appear", "disappear", "press", "keyDown", "keyUp", "inspector", "post",
           "removeAction", "engine", "actionOn", "rotate", "push", "dialDown", "dialUp", "tap")
DEMO_ENGINE = REPO / "tools" / "demo-engine" / "demo_engine.py"


class Runner:
    def __init__(self, host, bus=None, log=print, default_timeout=10):
        self.host = host
        self.default_timeout = default_timeout
        self.bus = bus
        self.log = log
        self.mark = 0
        self.engines = []

    async def close(self):
        for engine in self.engines:
            if engine.returncode is None:
                engine.terminate()
            await engine.wait()

    async def _drain(self, engine):
        while line := await engine.stdout.readline():
            self.log(line.decode(errors="replace").rstrip())

    def _dial(self, where):
        if isinstance(where, str):
            return self.host.place(where if where[:1] in "Dd" else "?")
        return self.host.dial(where)

    def _target(self, arg):
        """The key [r, c] or the dial {"dial": d} a step names."""
        if isinstance(arg, dict) and "dial" in arg:
            return self._dial(arg["dial"])
        return self.host.key(arg)

    def _find(self, spec):
        context = self.host.key(spec["key"]).context if "key" in spec else None
        if "dial" in spec:
            context = self._dial(spec["dial"]).context
        for record in self.host.records[self.mark:]:
            if "plugin" in spec and record.get("source") == "plugin" and "message" in record:
                message = record["message"]
                if context is not None and (not isinstance(message, dict) or message.get("context") != context):
                    continue
                if matches(spec["plugin"], message):
                    return record
            if "notification" in spec and record.get("source") == "dbus":
                expected = dict(spec["notification"])
                if context is not None:
                    expected.setdefault("userInfo", {})
                    expected["userInfo"] = dict(expected["userInfo"], context=context)
                if matches(expected, record):
                    return record
        return None

    async def step(self, step):
        timeout = step.get("timeout", self.default_timeout)
        action = next((k for k in step if k not in ("timeout", "note")), None)
        arg = step.get(action)
        host = self.host
        if action in ACTIONS:
            self.mark = len(host.records)
        if action == "start":
            await host.start_plugin()
            await host.wait_registered(timeout)
        elif action == "restart":
            await host.restart_plugin()
        elif action == "stop":
            status = await host.stop_plugin()
            if "exitStatus" in arg and status != arg["exitStatus"]:
                raise ScenarioError(f"the plug-in exited with status {status}, expected {arg['exitStatus']}")
        elif action in ("appear", "actionOn"):
            key = host.place(arg) if action == "actionOn" else self._target(arg)
            if key.has_action:
                await host.appear(key)
            else:
                await host.add_action(key)
        elif action == "disappear":
            await host.disappear(self._target(arg))
        elif action == "removeAction":
            await host.remove_action(self._target(arg))
        elif action == "rotate":
            await host.dial_rotate(self._dial(arg["dial"]), arg["ticks"], arg.get("pressed", False))
        elif action == "push":
            await host.dial_down(self._dial(arg))
            await host.dial_up(self._dial(arg))
        elif action == "dialDown":
            await host.dial_down(self._dial(arg))
        elif action == "dialUp":
            await host.dial_up(self._dial(arg))
        elif action == "tap":
            await host.touch_tap(self._dial(arg["dial"]), arg["x"], arg["y"], arg.get("hold", False))
        elif action == "press":
            await host.key_down(host.key(arg))
            await host.key_up(host.key(arg))
        elif action == "keyDown":
            await host.key_down(host.key(arg))
        elif action == "keyUp":
            await host.key_up(host.key(arg))
        elif action == "inspector":
            await host.send_to_plugin_from_inspector(host.key(arg["key"]), arg["payload"])
        elif action == "post":
            if self.bus is None:
                raise ScenarioError("no session bus")
            self.bus.post(arg["name"], arg.get("userInfo", {}), arg.get("object", notifications.OBJECT))
        elif action == "engine":
            engine = await asyncio.create_subprocess_exec(
                "/usr/bin/python3", str(DEMO_ENGINE), *arg.get("args", []),
                stdout=asyncio.subprocess.PIPE)
            self.engines.append(engine)
            try:
                line = await asyncio.wait_for(engine.stdout.readline(), timeout)
            except asyncio.TimeoutError:
                raise ScenarioError("the demo engine did not start") from None
            if b"answering" not in line:
                raise ScenarioError(f"the demo engine did not start: {line!r}")
            asyncio.ensure_future(self._drain(engine))
        elif action == "expect":
            await host.wait_for(lambda: self._find(arg) is not None, timeout, json.dumps(arg))
        elif action == "expectNone":
            found = self._find(arg)
            if found is not None:
                raise ScenarioError(f"unexpected {json.dumps(found.get('message', found))[:300]}")
        elif action == "check":
            key = self._dial(arg["dial"]) if "dial" in arg else host.key(arg["key"])
            name = f"dial {arg['dial']}" if "dial" in arg else f"key {arg['key']}"
            for field in ("title", "image", "visible", "hasAction", "layout", "feedback"):
                if field in arg and not matches(arg[field], key.view().get(field)):
                    raise ScenarioError(f"{name} has {field} {key.view().get(field)!r}, expected {arg[field]!r}")
            if "settings" in arg and not matches(arg["settings"], key.settings):
                raise ScenarioError(f"{name} has settings {key.settings!r}, expected {arg['settings']!r}")
        elif action == "comment":
            pass
        else:
            raise ScenarioError(f"unknown step {step!r}")


async def run(scenario, plugin, state_path=None, verbose=False, log=print, default_timeout=10):
    """Runs one scenario; returns the number of steps. Raises ScenarioError on the first failed step."""
    deck = scenario.get("deck", {})
    kind = DECK_TYPES.get(deck.get("type", "standard"))
    if kind is None:
        raise ScenarioError(f"unknown deck type {deck.get('type')!r}")
    rows, columns, dials = deck.get("rows", kind["rows"]), deck.get("columns", kind["columns"]), deck.get("dials", kind["dials"])
    try:
        action_on = [parse_place(p, rows, columns, dials) for p in deck.get("actionOn", [])]
    except ValueError as error:
        raise ScenarioError(str(error)) from None
    action_on += [("dial", i) for i in deck.get("dialActions", [])]
    host = Host(rows=rows, columns=columns, dials=dials, deck_type=deck.get("type", "standard"),
                actions=[tuple(a) for a in deck.get("actions", [[0, 0]])], action_on=action_on, plugin=plugin,
                state_path=state_path, verbose=verbose)
    loop = asyncio.get_running_loop()

    def on_notification(name, obj, user_info):
        loop.create_task(host._record(source="dbus", name=name, object=obj, userInfo=user_info))

    bus = None
    if scenario.get("dbus", True):
        bus = notifications.Bus(loop, on_notification)
    await host.start()
    steps = scenario["steps"]
    runner = Runner(host, bus, log, default_timeout)
    try:
        for index, step in enumerate(steps, 1):
            log(f"scenario: step {index}/{len(steps)} {json.dumps(step)[:160]}")
            try:
                await runner.step(step)
            except ScenarioError as error:
                raise ScenarioError(f"step {index} {json.dumps(step)[:200]}: {error}") from None
            if host.problems:
                raise ScenarioError(f"step {index}: protocol problem: {host.problems[0]}")
    finally:
        await runner.close()
        await host.close()
        if bus is not None:
            bus.close()
    if host.problems:
        raise ScenarioError(f"protocol problem: {host.problems[0]}")
    return len(steps)

