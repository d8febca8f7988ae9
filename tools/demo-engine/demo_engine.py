#!/usr/bin/python3
"""A tiny Zorbel engine for demos: it answers every key press with a title that counts the presses
of that key, and shows the OK mark on it.

It speaks the plug-in's D-Bus contract on the session bus. A notification is the broadcast signal
com.zorbel.DistributedNotifications.Notification at /com/zorbel/DistributedNotifications with the body
(s name, s object, a{sv} userInfo), object "com.zorbel.streamdeck". The plug-in posts
"Zorbel Stream Deck Key" {context s, row i, column i, pressed b}; this engine answers with
"Zorbel Stream Deck Set Title" {zbID s, title s} and "Zorbel Stream Deck Show OK" {zbID s}.

The key notification names a key by its virtual row and column, not by its button ID, so the engine
addresses a key by its position ID "R<row>C<column>"; a key that was given its own button ID in the
property inspector needs --id ROW,COLUMN=ID to be answered.

  demo_engine.py [--id 1,2=Kitchen ...] [--quiet]
"""

import argparse
import signal
import sys

from gi.repository import Gio, GLib

INTERFACE = "com.zorbel.DistributedNotifications"
PATH = "/com/zorbel/DistributedNotifications"
MEMBER = "Notification"
OBJECT = "com.zorbel.streamdeck"
KEY = "Zorbel Stream Deck Key"


class Engine:
    def __init__(self, bus, ids, quiet=False):
        self.bus = bus
        self.ids = ids
        self.quiet = quiet
        self.presses = {}

    def post(self, name, user_info):
        body = GLib.Variant("(ssa{sv})", (name, OBJECT, {k: GLib.Variant("s", v) for k, v in user_info.items()}))
        self.bus.emit_signal(None, PATH, INTERFACE, MEMBER, body)

    def on_signal(self, _bus, _sender, _path, _interface, _member, parameters):
        name, obj, info = parameters.unpack()
        if name != KEY or obj != OBJECT or not info.get("pressed"):
            return
        row, column = info.get("row"), info.get("column")
        if not isinstance(row, int) or not isinstance(column, int):
            return
        context = info.get("context", "UNKNOWN")
        zb_id = self.ids.get((row, column), f"R{row}C{column}")
        count = self.presses[context] = self.presses.get(context, 0) + 1
        self.post("Zorbel Stream Deck Set Title", {"zbID": zb_id, "title": f"{count}\npress{'es' if count > 1 else ''}"})
        self.post("Zorbel Stream Deck Show OK", {"zbID": zb_id})
        if not self.quiet:
            print(f"demo engine: key {zb_id} pressed ({count})", flush=True)


def round_trip(bus):
    bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", None, None,
                  Gio.DBusCallFlags.NONE, -1, None)


def parse_id(text):
    where, _, zb_id = text.partition("=")
    row, _, column = where.partition(",")
    if not zb_id or not row.strip().isdigit() or not column.strip().isdigit():
        raise argparse.ArgumentTypeError("expected ROW,COLUMN=ID, for example 1,2=Kitchen")
    return (int(row), int(column)), zb_id


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--id", type=parse_id, action="append", default=[],
                        help="button ID of the key at a virtual ROW,COLUMN (1-based)")
    parser.add_argument("--quiet", action="store_true")
    args = parser.parse_args(argv)
    try:
        bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    except GLib.Error as error:
        print(f"demo engine: no session bus: {error.message}", file=sys.stderr)
        return 1
    engine = Engine(bus, dict(args.id), args.quiet)
    # arg0 filters on the notification name in the bus daemon, so other notifications never wake us.
    bus.signal_subscribe(None, INTERFACE, MEMBER, PATH, KEY, Gio.DBusSignalFlags.NONE, engine.on_signal)
    # The bus daemon handles a connection's messages in order: once this call returns, the match rule
    # above is in force, and a press posted after "ready" below cannot be missed.
    round_trip(bus)
    loop = GLib.MainLoop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, lambda: (loop.quit(), GLib.SOURCE_REMOVE)[1])
    print("demo engine: answering key presses on the session bus", flush=True)
    loop.run()
    bus.flush_sync(None)
    return 0


if __name__ == "__main__":
    sys.exit(main())
