"""The engine side of the D-Bus contract, shared by the host simulator's scenarios and the e2e tests.

A notification is the broadcast signal `Notification` of interface com.zorbel.DistributedNotifications at
object path /com/zorbel/DistributedNotifications on the session bus, with the body
(s name, s object, a{sv} userInfo). The object of every notification exchanged with the plug-in is
"com.zorbel.streamdeck".

GLib delivers signals on the thread that runs the main context in which they were subscribed. `Bus` runs
a private main context on its own thread and hands every notification to an asyncio loop, so asyncio code
can wait for a notification with a deadline instead of polling.
"""

import threading

INTERFACE = "com.zorbel.DistributedNotifications"
PATH = "/com/zorbel/DistributedNotifications"
MEMBER = "Notification"
OBJECT = "com.zorbel.streamdeck"

KEY = "Zorbel Stream Deck Key"
SHOW_ALERT = "Zorbel Stream Deck Show Alert"
SHOW_OK = "Zorbel Stream Deck Show OK"
SET_TITLE = "Zorbel Stream Deck Set Title"
SET_IMAGE = "Zorbel Stream Deck Set Image"
ENGINE_NAMES = (SHOW_ALERT, SHOW_OK, SET_TITLE, SET_IMAGE)


def _variant(value):
    from gi.repository import GLib

    if isinstance(value, bool):
        return GLib.Variant("b", value)
    if isinstance(value, int):
        return GLib.Variant("i", value)
    if isinstance(value, float):
        return GLib.Variant("d", value)
    if isinstance(value, dict):  # a Set Feedback's feedback: a nested a{sv}
        return GLib.Variant("a{sv}", {str(k): _variant(v) for k, v in value.items()})
    if isinstance(value, list):
        return GLib.Variant("av", [_variant(v) for v in value])
    return GLib.Variant("s", str(value))


def body(name, user_info, obj=OBJECT):
    """The signal body for one notification; Python bools, ints, floats, strings, dicts and lists become
    b, i, d, s, a{sv} and av."""
    from gi.repository import GLib

    return GLib.Variant("(ssa{sv})", (name, obj, {k: _variant(v) for k, v in user_info.items()}))


class Bus:
    """A D-Bus connection that posts notifications and feeds received ones to an asyncio loop.

    `on_notification(name, obj, user_info)` runs on the asyncio loop for every notification on the bus,
    including the ones this connection posts itself. Without `address` the connection is GIO's shared
    session bus; with one it is a connection of its own to that bus, which outlives the bus daemon (the
    shared one would end this process when the daemon goes away), so a test can restart the daemon.
    With `flush_each_post` false, posts are sent by `flush()` (or when GIO gets to them).
    """

    def __init__(self, loop, on_notification, address=None, flush_each_post=True):
        from gi.repository import Gio, GLib

        self._loop = loop
        self._on_notification = on_notification
        self._flush_each_post = flush_each_post
        self._context = GLib.MainContext.new()
        self._main_loop = GLib.MainLoop.new(self._context, False)
        ready = threading.Event()
        failure = []

        def run():
            self._context.push_thread_default()
            try:
                if address is None:
                    self._connection = Gio.bus_get_sync(Gio.BusType.SESSION, None)
                else:
                    flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                             | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
                    self._connection = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
                    self._connection.set_exit_on_close(False)
                self._subscription = self._connection.signal_subscribe(
                    None, INTERFACE, MEMBER, PATH, None, Gio.DBusSignalFlags.NONE, self._signal)
                # The daemon handles a connection's messages in order: after this reply the match rule
                # is in force, so nothing posted after the constructor returns can be missed.
                self._connection.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                           "GetId", None, None, Gio.DBusCallFlags.NONE, -1, None)
            except Exception as error:  # reported to the constructor's caller below
                failure.append(error)
                ready.set()
                self._context.pop_thread_default()
                return
            ready.set()
            self._main_loop.run()
            try:
                self._connection.signal_unsubscribe(self._subscription)
                self._connection.flush_sync(None)
            except GLib.Error:  # the daemon is gone: nothing left to send
                pass
            finally:
                self._context.pop_thread_default()

        self._thread = threading.Thread(target=run, name="dbus", daemon=True)
        self._thread.start()
        ready.wait()
        if failure:
            raise failure[0]

    def _signal(self, _connection, _sender, _path, _interface, _member, parameters):
        name, obj, user_info = parameters.unpack()
        self._loop.call_soon_threadsafe(self._on_notification, name, obj, user_info)

    def post(self, name, user_info, obj=OBJECT):
        """Broadcasts one notification (no destination: every subscriber on the bus receives it)."""
        self._connection.emit_signal(None, PATH, INTERFACE, MEMBER, body(name, user_info, obj))
        if self._flush_each_post:
            self.flush()

    def flush(self):
        self._connection.flush_sync(None)

    def close(self, timeout=None):
        self._context.invoke_full(0, lambda: (self._main_loop.quit(), False)[1])
        self._thread.join(timeout)
