#!/usr/bin/python3
"""A stand-in for zorbel-streamdeck-plugin, for testing the host simulator and the property inspector
while the real executable is not there.

It behaves like the plug-in where a host or an engine can see it: the command line, the registration,
the button IDs and virtual rows and columns, the key notification, the four engine notifications and the
inspector's zbID / zbRow / zbColumn messages, and exit status 0 when the host closes the connection.

ZB_FAKE_PLUGIN_FAULT makes it misbehave on purpose, so that the tests can show they catch the fault:
"no-restore" (titles and images are not sent again on willAppear), "trim-nothing" (button IDs are
stored untrimmed), "exit-1" (exit status 1 when the host closes the connection).
"""

import asyncio
import json
import os
import sys
import websockets

from hostsim import notifications
from hostsim.keys import default_id, int_value, virtual
from hostsim.keys import is_empty as empty


FAULT = os.environ.get("ZB_FAKE_PLUGIN_FAULT", "")


class Plugin:
    def __init__(self, ws, bus):
        self.ws = ws
        self.bus = bus
        self.settings = {}
        self.ids = {}
        self.coordinates = {}

    async def send(self, message):
        await self.ws.send(json.dumps(message))

    async def event(self, message):
        event, context = message.get("event"), message.get("context")
        payload = message.get("payload") or {}
        if event in ("keyDown", "keyUp"):
            settings = self.settings.get(context)
            coordinates = payload.get("coordinates")
            self.bus.post(notifications.KEY, {
                "context": context or "UNKNOWN", "row": virtual(settings, coordinates, "zbRow", "row"),
                "column": virtual(settings, coordinates, "zbColumn", "column"), "pressed": event == "keyDown"})
        elif event == "willAppear":
            coordinates = payload.get("coordinates") or {"row": 777, "column": 777}
            settings = dict(payload.get("settings") or {})
            self.coordinates[context] = coordinates
            zb_id = settings.get("zbID")
            self.ids[context] = default_id(settings, coordinates) if empty(zb_id) else zb_id
            self.settings[context] = settings
            if "image" in settings and FAULT != "no-restore":
                await self.send({"event": "setImage", "context": context,
                                 "payload": {"target": 0, "image": settings["image"]}})
            if "title" in settings and FAULT != "no-restore":
                await self.send({"event": "setTitle", "context": context,
                                 "payload": {"title": settings["title"], "target": 0}})
        elif event == "willDisappear":
            for table in (self.coordinates, self.ids, self.settings):
                table.pop(context, None)
        elif event == "sendToPlugin":
            if "zbID" in payload:
                await self.update_id(payload["zbID"], context)
            elif "zbRow" in payload:
                await self.update_row_or_column("zbRow", payload["zbRow"], context)
            elif "zbColumn" in payload:
                await self.update_row_or_column("zbColumn", payload["zbColumn"], context)

    async def update_id(self, new_id, context):
        settings = self.settings.get(context)
        if isinstance(new_id, str) and FAULT != "trim-nothing":
            new_id = new_id.strip()
        if settings is not None:
            if empty(new_id):
                settings.pop("zbID", None)
            else:
                settings["zbID"] = new_id
        if empty(new_id):
            new_id = default_id(settings, self.coordinates.get(context))
        self.ids[context] = new_id
        if settings is not None:
            await self.send({"event": "setSettings", "context": context, "payload": settings})

    async def update_row_or_column(self, key, value, context):
        settings = self.settings.get(context)
        if settings is None:
            return
        v = int_value(value)
        if 1 <= v <= 999:
            settings[key] = str(v)
        else:
            settings.pop(key, None)
        if "zbID" in settings:
            await self.send({"event": "setSettings", "context": context, "payload": settings})
        else:
            await self.update_id(None, context)

    async def notification(self, name, obj, user_info):
        if obj != notifications.OBJECT or name not in notifications.ENGINE_NAMES:
            return
        zb_id = user_info.get("zbID")
        contexts = [] if empty(zb_id) else [c for c, i in self.ids.items() if i == zb_id]
        for context in contexts:
            if name == notifications.SHOW_ALERT:
                await self.send({"event": "showAlert", "context": context})
            elif name == notifications.SHOW_OK:
                await self.send({"event": "showOk", "context": context})
            elif name == notifications.SET_TITLE:
                title = user_info.get("title", "UNKNOWN")
                await self.send({"event": "setTitle", "context": context, "payload": {"title": title, "target": 0}})
                settings = self.settings.get(context)
                if settings is not None:
                    if empty(title):
                        settings.pop("title", None)
                    else:
                        settings["title"] = title
                    await self.send({"event": "setSettings", "context": context, "payload": settings})
            elif name == notifications.SET_IMAGE:
                image = user_info.get("image")
                image = None if empty(image) else image
                payload = {"target": 0} if image is None else {"target": 0, "image": image}
                await self.send({"event": "setImage", "context": context, "payload": payload})
                settings = self.settings.get(context)
                if settings is not None:
                    if image is None:
                        settings.pop("image", None)
                    else:
                        settings["image"] = image
                    await self.send({"event": "setSettings", "context": context, "payload": settings})


async def main(argv):
    if len(argv) != 9:
        sys.stderr.write(f"Invalid number of parameters {len(argv)} instead of 9")
        return 1
    values = {}
    for i in range(1, 9, 2):
        values[argv[i]] = argv[i + 1]
    port = int_value(values.get("-port"))
    if port == 0:
        sys.stderr.write("Invalid port number")
        return 1
    if not values.get("-pluginUUID"):
        sys.stderr.write("Invalid plugin UUID")
        return 1
    if not values.get("-registerEvent"):
        sys.stderr.write("Invalid registerEvent")
        return 1
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()
    bus = notifications.Bus(loop, lambda *n: queue.put_nowait(n))
    try:
        async with websockets.connect(f"ws://localhost:{port}", max_size=16 * 1024 * 1024) as ws:
            await ws.send(json.dumps({"event": values["-registerEvent"], "uuid": values["-pluginUUID"]}))
            plugin = Plugin(ws, bus)

            async def engine():
                while True:
                    await plugin.notification(*await queue.get())

            engine_task = asyncio.ensure_future(engine())
            try:
                async for data in ws:
                    try:
                        message = json.loads(data)
                    except ValueError:
                        continue
                    if isinstance(message, dict):
                        await plugin.event(message)
            except websockets.ConnectionClosed:
                pass
            engine_task.cancel()
    finally:
        bus.close()
    return 1 if FAULT == "exit-1" else 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv)))
