"""zorbel-deck's MQTT bridge end to end: a real mosquitto broker on a free loopback port, the real
zorbel-deck run on the private session bus of dbus-run-session (ZB_DECK), and this process as both the
other machine (paho-mqtt) and the plug-in's side of the bus (Gio): it posts key presses and reads the
notifications the deck posts."""

import base64
import getpass
import json
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

import paho.mqtt.client as mqtt
from gi.repository import Gio, GLib

DECK = os.environ.get("ZB_DECK", "")
DEADLINE = 20
PNG = base64.b64decode("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==")
PATH, INTERFACE = "/com/zorbel/DistributedNotifications", "com.zorbel.DistributedNotifications"
OBJECT = "com.zorbel.streamdeck"


class Events:
    """A list that other threads append to, with waits on its content."""

    def __init__(self):
        self.items, self.changed = [], threading.Condition()

    def add(self, item):
        with self.changed:
            self.items.append(item)
            self.changed.notify_all()

    def wait(self, predicate, what, deadline=DEADLINE):
        with self.changed:
            if not self.changed.wait_for(lambda: any(predicate(i) for i in self.items), deadline):
                raise AssertionError(f"no {what} in {self.items[-20:]}")
            return next(i for i in self.items if predicate(i))

    def count(self, predicate):
        with self.changed:
            return sum(1 for i in self.items if predicate(i))


def read_lines(stream, events):
    threading.Thread(target=lambda: [events.add(line.decode(errors="replace").rstrip("\n")) for line in stream],
                     daemon=True).start()


class Bus:
    """The session bus from the plug-in's side: posts presses, records the deck's notifications."""

    def __init__(self):
        self.notifications = Events()
        self.connection = Gio.DBusConnection.new_for_address_sync(
            os.environ["DBUS_SESSION_BUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        self.context, ready = GLib.MainContext.new(), threading.Event()

        def serve():
            self.context.push_thread_default()
            self.connection.signal_subscribe(None, INTERFACE, "Notification", PATH, None, Gio.DBusSignalFlags.NONE,
                                             lambda *a: self.notifications.add(a[5].unpack()[::2]))
            self.loop = GLib.MainLoop(self.context)
            ready.set()
            self.loop.run()
        threading.Thread(target=serve, daemon=True).start()
        ready.wait(DEADLINE)

    def close(self):
        self.loop.quit()

    def press(self, row, column, pressed):
        info = {"context": GLib.Variant("s", "ctx"), "row": GLib.Variant("i", row),
                "column": GLib.Variant("i", column), "pressed": GLib.Variant("b", pressed)}
        self.connection.emit_signal(None, PATH, INTERFACE, "Notification",
                                    GLib.Variant("(ssa{sv})", ("Zorbel Stream Deck Key", OBJECT, info)))
        self.connection.flush_sync(None)

    def wait(self, name, info, what):
        return self.notifications.wait(lambda n: n[0] == name and n[1] == info, what)

    def count(self, name, info):
        return self.notifications.count(lambda n: n[0] == name and n[1] == info)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto on loopback with `settings` (listeners and all); restartable on the same ports."""

    def __init__(self, folder, settings):
        self.config = folder / "mosquitto.conf"
        self.config.write_text(f"user {getpass.getuser()}\nlog_dest stderr\npersistence true\n"
                               f"persistence_location {folder}/\n{settings}")
        self.start()

    def start(self):
        self.lines = Events()
        self.process = subprocess.Popen(["mosquitto", "-c", str(self.config)], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        read_lines(self.process.stderr, self.lines)
        self.lines.wait(lambda line: " running" in line, "broker start")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(DEADLINE)


class Client:
    """The other machine: a paho client that records every message it receives."""

    def __init__(self, port, subscriptions=("#",), **tls):
        self.messages, self.subscribed = Events(), threading.Event()
        self.client = mqtt.Client()
        self.client.on_message = lambda c, u, m: self.messages.add((m.topic, m.payload, bool(m.retain)))
        self.client.on_subscribe = lambda *a: self.subscribed.set()
        self.client.on_connect = lambda c, *a: c.subscribe([(s, 1) for s in subscriptions])
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        assert self.subscribed.wait(DEADLINE), "no SUBACK"

    def publish(self, topic, payload, retain=False):
        self.client.publish(topic, payload, qos=1, retain=retain).wait_for_publish(DEADLINE)

    def wait(self, topic, payload, what=None, retained=None):
        return self.messages.wait(lambda m: m[0] == topic and m[1] == payload and retained in (None, m[2]),
                                  what or f"{topic} {payload!r}")

    def close(self):
        if self.client:
            self.client.disconnect()
            self.client.loop_stop()
            self.client = None


@unittest.skipUnless(DECK, "ZB_DECK names the executable")
class DeckMqttTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="zb-deck-mqtt-")
        self.home = Path(self.folder.name)
        for name, sub in (("HOME", ""), ("XDG_CONFIG_HOME", "config"), ("XDG_STATE_HOME", "state")):
            os.environ[name] = str(self.home / sub)
        self.bus = Bus()
        self.engine = None

    def tearDown(self):
        if getattr(self, "watch", None) and self.watch.poll() is None:
            self.watch.kill()
        if self.engine and self.engine.poll() is None:
            self.engine.kill()
            self.engine.wait()
        self.bus.close()
        self.folder.cleanup()

    def start_engine(self, config):
        self.path = self.home / "deck.toml"
        self.path.write_text(config)
        os.chmod(self.path, 0o600)
        self.log = Events()
        self.engine = subprocess.Popen([DECK, "run", str(self.path)], stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        read_lines(self.engine.stderr, self.log)

    def reload(self, config):
        self.path.write_text(config)
        self.engine.send_signal(signal.SIGHUP)

    def line(self, text):
        return self.log.wait(lambda line: text in line, f"engine line with {text!r}")

    def deck(self, *args, env=None):
        return subprocess.run([DECK, *map(str, args)], capture_output=True, timeout=DEADLINE,
                              env={**os.environ, **(env or {})})

    def test_presses_commands_retained_state_discovery_and_the_remote_command_line(self):
        port = free_port()
        broker = Broker(self.home, f"listener {port} 127.0.0.1\nallow_anonymous true\n")
        self.addCleanup(broker.stop)
        other = Client(port)
        self.addCleanup(lambda: other.close())
        keys = ('[keys.R1C1]\npress = "true"\n\n[keys.Lights]\nrow = 3\ncolumn = 5\n\n'
                '[dials.Volume]\ncolumn = 2\nrotate = "true"\n')
        mqtt_table = f'[mqtt]\nbroker = "mqtt://127.0.0.1:{port}"\nprefix = "zt/desk"\ndiscovery_prefix = "ha"\n'
        self.start_engine(keys + mqtt_table)
        other.wait("zt/desk/status", b"online", retained=False)
        for topic in ("ha/device_automation/zt_2fdesk_R1C1_down/config", "ha/text/zt_2fdesk_Lights_title/config",
                      "ha/device_automation/zt_2fdesk_Volume_dial_rotate/config"):
            other.messages.wait(lambda m: m[0] == topic and json.loads(m[1])["availability_topic"] == "zt/desk/status",
                                topic)

        # Presses out, by position.
        for pressed, payload in ((True, b"down"), (False, b"up")):
            self.bus.press(3, 5, pressed)
            other.wait("zt/desk/key/R3C5", payload)

        # Commands in, to the ID they name (escaped in the topic); bad payloads refused.
        steps = [
            ("key/R1C1/title/set", b"Hi", "Zorbel Stream Deck Set Title", {"zbID": "R1C1", "title": "Hi"}),
            ("key/a%2Fb/image/set", PNG, "Zorbel Stream Deck Set Image",
             {"zbID": "a/b", "image": "data:image/png;base64," + base64.b64encode(PNG).decode()}),
            ("key/R1C1/alert/set", b"", "Zorbel Stream Deck Show Alert", {"zbID": "R1C1"}),
            ("key/R1C1/ok/set", b"x", "Zorbel Stream Deck Show OK", {"zbID": "R1C1"}),
            ("dial/D1/feedback/set", b'{"value": "50%"}', "Zorbel Stream Deck Set Feedback",
             {"zbID": "D1", "feedback": {"value": "50%"}}),
        ]
        for topic, payload, name, info in steps:
            other.publish("zt/desk/" + topic, payload)
            self.bus.wait(name, info, f"{name} for {topic}")
        other.publish("zt/desk/dial/D1/feedback/set", b"[1]")
        self.line("MQTT: refused feedback for D1: not a JSON object")

        # Retained state comes back after a broker restart; a retained alert does not; presses made
        # meanwhile are dropped and counted.
        kept = {"zbID": "R1C1", "title": "Kept"}
        other.publish("zt/desk/key/R1C1/title/set", b"Kept", retain=True)
        other.publish("zt/desk/key/R1C1/alert/set", b"", retain=True)
        self.bus.wait("Zorbel Stream Deck Set Title", kept, "the retained title")
        alert = ("Zorbel Stream Deck Show Alert", {"zbID": "R1C1"})
        self.bus.notifications.wait(lambda n: self.bus.count(*alert) == 2, "the alert published while connected")
        other.close()
        broker.stop()
        self.line("MQTT: mqtt://127.0.0.1:%d: the connection was lost" % port)
        self.bus.press(1, 1, True)
        broker.start()
        self.line("1 press dropped while disconnected")
        self.bus.notifications.wait(lambda n: n[:2] == ("Zorbel Stream Deck Set Title", kept)
                                    and self.bus.count(*n[:2]) == 2, "the retained title again")
        other = Client(port)
        other.wait("zt/desk/status", b"online")
        self.assertEqual(self.bus.count(*alert), 2)

        # The remote command line: the same commands, and watch.
        remote = ("--broker", f"mqtt://127.0.0.1:{port}", "--prefix", "zt/desk")
        result = self.deck(*remote, "title", "R1C1", "Remote")
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.bus.wait("Zorbel Stream Deck Set Title", {"zbID": "R1C1", "title": "Remote"}, "the remote title")
        result = self.deck("clear", "a/b", env={"ZORBEL_DECK_BROKER": f"mqtt://127.0.0.1:{port}",
                                                "ZORBEL_DECK_PREFIX": "zt/desk"})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.bus.wait("Zorbel Stream Deck Set Image", {"zbID": "a/b", "image": ""}, "the remote clear")
        watch = self.watch = subprocess.Popen([DECK, *remote, "watch"], stdout=subprocess.PIPE)
        lines = Events()
        read_lines(watch.stdout, lines)
        # The watch prints presses from its subscription on: press until it has one.
        for _ in range(DEADLINE * 4):
            self.bus.press(1, 1, True)
            try:
                lines.wait(lambda line: line == "R1C1 down", "a watched press", 0.25)
                break
            except AssertionError:
                pass
        watch.send_signal(signal.SIGINT)
        self.assertEqual(watch.wait(DEADLINE), 0)
        self.assertIn("R1C1 down", lines.items)
        result = self.deck("--broker", f"mqtt://127.0.0.1:{free_port()}", "ok", "R1C1")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"cannot publish to the MQTT broker", result.stderr)

        # A key or dial that leaves the configuration is withdrawn from discovery.
        self.reload('[keys.R1C1]\npress = "true"\n' + mqtt_table)
        other.wait("ha/text/zt_2fdesk_Lights_title/config", b"", "the withdrawn Lights title")
        other.wait("ha/device_automation/zt_2fdesk_Volume_dial_tap/config", b"", "the withdrawn Volume tap")
        self.assertEqual(other.messages.count(lambda m: m[0] == "ha/text/zt_2fdesk_R1C1_title/config"
                                              and m[1] == b""), 0)

        # offline: on a clean stop from the bridge, and as the will when the process dies.
        self.engine.terminate()
        self.assertEqual(self.engine.wait(DEADLINE), 0)
        other.wait("zt/desk/status", b"offline")
        status = {payload: other.messages.count(lambda m: m[:2] == ("zt/desk/status", payload))
                  for payload in (b"online", b"offline")}
        self.start_engine(keys + mqtt_table)
        other.messages.wait(lambda m: other.messages.count(lambda n: n[:2] == ("zt/desk/status", b"online"))
                            > status[b"online"], "online again")
        self.engine.kill()
        self.engine.wait()
        other.messages.wait(lambda m: other.messages.count(lambda n: n[:2] == ("zt/desk/status", b"offline"))
                            > status[b"offline"], "the will")
        other.close()
        broker.stop()

    def test_passwords_and_certificates_fail_clearly(self):
        ca, server = self.home / "ca", self.home / "server"
        openssl = [["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{ca}.key", "-out", f"{ca}.crt",
                    "-days", "2", "-subj", "/CN=Test CA"],
                   ["req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{server}.key", "-out", f"{server}.csr",
                    "-subj", "/CN=localhost"],
                   ["x509", "-req", "-in", f"{server}.csr", "-CA", f"{ca}.crt", "-CAkey", f"{ca}.key",
                    "-CAcreateserial", "-out", f"{server}.crt", "-days", "2", "-extfile", str(self.home / "ext")]]
        (self.home / "ext").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
        for args in openssl:
            subprocess.run(["openssl", *args], check=True, capture_output=True)
        subprocess.run(["mosquitto_passwd", "-b", "-c", str(self.home / "users"), "deck", "right-pw"], check=True)
        plain, tls = free_port(), free_port()
        broker = Broker(self.home, f"allow_anonymous false\npassword_file {self.home}/users\n"
                                   f"listener {plain} 127.0.0.1\nlistener {tls} 127.0.0.1\ncafile {ca}.crt\n"
                                   f"certfile {server}.crt\nkeyfile {server}.key\n")
        self.addCleanup(broker.stop)
        # A refused connection and an untrusted certificate, from the command line: the reason at once,
        # not the connection timeout.
        for url, reason in ((f"mqtts://127.0.0.1:{free_port()}", "Connection refused"),
                            (f"mqtts://localhost:{tls}", "certificate verify failed"),
                            ("mqtt://broker.invalid", "cannot resolve the host name broker.invalid")):
            result = self.deck("--broker", url, "title", "A", "x")
            self.assertEqual(result.returncode, 1)
            self.assertIn(reason.encode(), result.stderr)
        secret = self.home / "secret"
        secret.write_text("wrong-pw\n")
        os.chmod(secret, 0o644)

        def table(url, extra=""):
            return (f'[mqtt]\nbroker = "{url}"\nusername = "deck"\npassword_file = "~/secret"\nprefix = "zt/t"\n'
                    + extra)

        # Readable by others: refused at start, naming the file.
        result = self.deck("run", self.write("refused.toml", table(f"mqtt://127.0.0.1:{plain}")))
        self.assertEqual(result.returncode, 1)
        self.assertIn(f"{secret}: not trusted: it holds a secret but can be read by others".encode(), result.stderr)
        os.chmod(secret, 0o600)
        # The broker's refusal, then an untrusted certificate, then a trusted one, then insecure.
        self.start_engine(table(f"mqtt://127.0.0.1:{plain}"))
        self.line(f"MQTT: mqtt://127.0.0.1:{plain}: the broker refused the connection: Connection Refused: not "
                  "authorised.; next attempt in ")
        self.reload(table(f"mqtts://localhost:{tls}"))
        self.line("certificate verify failed")
        secret.write_text("right-pw\n")
        self.reload(table(f"mqtts://localhost:{tls}", f'ca_file = "{ca}.crt"\n'))
        self.line(f"MQTT: connected to mqtts://localhost:{tls} as zt/t")
        self.reload(table(f"mqtts://127.0.0.1:{tls}", "insecure = true\n"))
        self.line("MQTT: warning: insecure = true")
        self.log.wait(lambda line: line == f"MQTT: connected to mqtts://127.0.0.1:{tls} as zt/t", "insecure connection")
        self.engine.terminate()
        self.assertEqual(self.engine.wait(DEADLINE), 0)
        self.assertFalse([line for line in self.log.items if "-pw" in line])
        broker.stop()

    def write(self, name, text):
        path = self.home / name
        path.write_text(text)
        os.chmod(path, 0o600)
        return path


if __name__ == "__main__":
    unittest.main()
