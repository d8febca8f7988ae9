"""zorbel-deck end to end: the real executable and the real plug-in, with the host simulator as the
Stream Deck application, on the private session bus of dbus-run-session (ZB_DECK, ZB_PLUGIN)."""

import asyncio
import base64
import json
import os
import select
import shutil
import signal
import tempfile
import time
import unittest
from pathlib import Path

from hostsim import host as simulator
from hostsim import notifications

DECK = os.environ.get("ZB_DECK", "")
PLUGIN = os.environ.get("ZB_PLUGIN", "")
DEADLINE = 20
PNG = base64.b64decode("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==")

ENGINE_CONFIG = """
[keys.R1C1]
press = 'env | grep -E "^ZB_(ID|ROW|COLUMN|CONTEXT|PRESSED)=" | sort > "$HOME/env.txt"; pwd >> "$HOME/env.txt"'

[keys.R1C2]
press = "exit 1"
image = "icons/key.png"

[keys.R1C3]
title = 'n=$(cat n 2>/dev/null || echo 0); n=$((n+1)); echo $n > n; echo "tick $n"'
every = "1s"

[keys.R2C2]
press = 'echo started >> "$HOME/starts"; exec sleep 60'
timeout = "1s"

[keys.Lights]
row = 3
column = 5
press = "if [ -e lights ]; then rm lights; else touch lights; fi"
title = "if [ -e lights ]; then echo on; else echo off; fi"
"""

# D1's commands say what they run with on the FIFO "ran"; rotate moves the level and then waits for a
# line on the FIFO "gate", so that the test decides when it ends; the strip shows the level.
DIAL_ENGINE_CONFIG = r"""
[dials.D1]
rotate = 'echo "rotate $ZB_TICKS $ZB_PRESSED $ZB_ID $ZB_CONTEXT" > ran; echo $(( $(cat level) + ZB_TICKS )) > level.new; mv level.new level; read go < gate'
push = 'echo "push $ZB_PRESSED $ZB_ID" > ran'
release = 'echo "release $ZB_PRESSED $ZB_ID" > ran'
touch = 'echo "touch $ZB_X $ZB_Y $ZB_HOLD $ZB_ID $ZB_CONTEXT" > ran'
feedback = 'n=$(cat level); printf "{\"title\": \"Volume\", \"value\": \"%s%%\", \"indicator\": %s}\n" $n $n'
"""


def held_fifo(path):
    """A new FIFO held open both ways by the test: a writer never waits for a reader, a read waits for
    a line, not for a writer."""
    os.mkfifo(path)
    return os.open(path, os.O_RDWR | os.O_CLOEXEC)


def read_line(fd, timeout):
    """The next line written to the FIFO `fd`, or None when none is complete within `timeout` s."""
    line = b""
    deadline = time.monotonic() + timeout
    while not line.endswith(b"\n"):
        if not select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            return None
        line += os.read(fd, 1)
    return line.decode().rstrip("\n")


RELOADED_CONFIG = """
[keys.R1C1]
title = "echo reloaded"

[keys.R1C2]
press = "exit 1"
"""


@unittest.skipUnless(DECK and PLUGIN, "ZB_DECK and ZB_PLUGIN name the executables")
class DeckTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="zb-deck-")
        self.home = Path(self.folder.name)
        for name, sub in (("HOME", ""), ("XDG_CONFIG_HOME", "config"), ("XDG_STATE_HOME", "state")):
            os.environ[name] = str(self.home / sub)
        self.host_log = open(self.home / "host.log", "w")
        # Four dials as well, without the action unless a case gives it to one.
        self.host = simulator.Host(plugin=PLUGIN, log=self.host_log, dials=4)
        # The last key to appear shows a stored title: once it is on the key, the plug-in knows them all.
        # It carries a button ID of its own, as set in the inspector.
        last = self.host.key((2, 4))
        last.settings = {"title": "ready", "zbID": "Lights"}
        await self.host.start()
        await self.host.start_plugin()
        await self.host.wait_registered()
        await self.host.wait_for(lambda: last.title == "ready", DEADLINE, "the keys to appear")
        self.engine = None

    async def asyncTearDown(self):
        if self.engine and self.engine.returncode is None:
            self.engine.terminate()
            self.assertEqual(await asyncio.wait_for(self.engine.wait(), DEADLINE), 0)
            await self.engine_reader
        await self.host.close()
        self.host_log.close()
        self.folder.cleanup()

    def key(self, row, column):
        return self.host.key((row, column))

    async def until(self, predicate, what):
        await self.host.wait_for(predicate, DEADLINE, what)

    async def deck(self, *args, stdin=b"", env=None):
        process = await asyncio.create_subprocess_exec(
            DECK, *[a if isinstance(a, bytes) else str(a) for a in args], stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE, env={**os.environ, **(env or {})})
        out, err = await asyncio.wait_for(process.communicate(stdin), DEADLINE)
        return process.returncode, out.decode(), err.decode()

    # ----- the engine, with its log lines as events -----

    async def start_engine(self, config, *flags):
        path = self.home / "deck.toml"
        path.write_text(config)
        self.engine_lines = []
        self.engine_changed = asyncio.Condition()
        self.engine = await asyncio.create_subprocess_exec(DECK, "run", *flags, str(path),
                                                           stdin=asyncio.subprocess.DEVNULL,
                                                           stderr=asyncio.subprocess.PIPE)

        engine, lines, changed = self.engine, self.engine_lines, self.engine_changed

        async def read():
            while line := await engine.stderr.readline():
                lines.append(line.decode().rstrip("\n"))
                async with changed:
                    changed.notify_all()
        self.engine_reader = asyncio.ensure_future(read())
        await self.engine_log("Loaded ")
        return path

    async def engine_log(self, text):
        """The first engine line that contains `text`, once it is there."""
        def found():
            return next((line for line in self.engine_lines if text in line), None)

        async def wait():
            async with self.engine_changed:
                await self.engine_changed.wait_for(lambda: found() is not None or self.engine.returncode is not None)
        try:
            await asyncio.wait_for(wait(), DEADLINE)
        except asyncio.TimeoutError:
            self.fail(f"no engine line with {text!r} in {self.engine_lines}")
        self.assertIsNotNone(found(), self.engine_lines)
        return found()

    # ----- tests -----

    async def test_commands_reach_the_host_for_the_right_key(self):
        (self.home / "icon.bin").write_bytes(PNG)
        steps = [
            (("title", "R1C1", "Hi"), b"", lambda: self.key(0, 0).title == "Hi"),
            (("image", "R1C2", self.home / "icon.bin"), b"",
             lambda: (self.key(0, 1).image or "").startswith("data:image/png;base64,iVBORw0KGgo")),
            (("image", "R1C3", "-"), b"GIF89a;", lambda: self.key(0, 2).image == "data:image/gif;base64,R0lGODlhOw=="),
            (("alert", "R1C3"), b"", lambda: self.key(0, 2).alerts == 1),
            (("ok", "R2C2"), b"", lambda: self.key(1, 1).oks == 1),
            (("clear", "R1C2"), b"", lambda: self.key(0, 1).image is None and self.key(0, 1).title == ""),
        ]
        for args, stdin, arrived in steps:
            self.assertEqual(await self.deck(*args, stdin=stdin), (0, "", ""), args)
            await self.until(arrived, f"{args} at the host")
        self.assertEqual(self.key(0, 1).title, "")  # the clear, not a stray title
        self.assertEqual((self.key(0, 0).alerts, self.key(0, 1).alerts, self.key(1, 1).alerts), (0, 0, 0))
        self.assertEqual(self.host.problems, [])

    async def test_failures_exit_with_their_status_and_say_why(self):
        (self.home / "notes.png").write_text("not a picture")
        os.mkfifo(self.home / "fifo.png")
        bad = self.home / "bad.toml"
        bad.write_text('[keys.R1C1]\npress = "x"\nevery = "fast"\n')
        good = self.home / "good.toml"
        good.write_text('[keys.R1C1]\npress = "x"\n')
        cases = [
            ((), {}, 2, "usage: zorbel-deck"),
            (("title", "R1C1"), {}, 2, "usage: zorbel-deck title <id> <text>"),
            (("image", "R1C1", self.home / "notes.png"), {}, 1, "not a PNG, JPEG, GIF, SVG or WebP image"),
            (("ok", "R1C1"), {"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}, 1,
             "cannot reach the D-Bus session bus at unix:path=/nonexistent/bus"),
            (("run", "--check", bad), {}, 1, f"{bad}:3: bad duration \"fast\""),
            (("run", bad), {}, 1, f"{bad}:3:"),
            (("run", "--check", good), {}, 0, ""),
            (("image", "R1C1", self.home / "fifo.png"), {}, 1, "fifo.png: not a regular file"),
            (("title", "R1C1", b"caf\xe9"), {}, 1, "the title is not valid UTF-8"),
            (("alert", b"R\xffC1"), {}, 1, "the key ID is not valid UTF-8"),
        ]
        for args, env, status, message in cases:
            code, out, err = await self.deck(*args, env=env)
            self.assertEqual(code, status, (args, err))
            self.assertEqual(out, "OK: 1 keys\n" if args == ("run", "--check", good) else "")
            self.assertIn(message, err, args) if message else self.assertEqual(err, "")
        code, out, _ = await self.deck("watch", "--help")
        self.assertEqual(code, 0)
        self.assertIn("usage: zorbel-deck watch [--json]", out)

    async def test_watch_prints_a_press_the_host_made(self):
        watchers = [await asyncio.create_subprocess_exec(DECK, "watch", *flags, stdout=asyncio.subprocess.PIPE)
                    for flags in (["--json"], [])]
        key = self.key(1, 1)
        lines = [None, None]
        # Each watcher prints presses from the moment it observes them: press until both have one.
        for _ in range(DEADLINE * 4):
            await self.host.key_down(key)
            for i, watcher in enumerate(watchers):
                if lines[i] is None:
                    try:
                        lines[i] = await asyncio.wait_for(watcher.stdout.readline(), 0.25)
                    except asyncio.TimeoutError:
                        pass
            if all(lines):
                break
        for watcher in watchers:
            watcher.send_signal(signal.SIGINT)
            self.assertEqual(await asyncio.wait_for(watcher.wait(), DEADLINE), 0)
        self.assertEqual(json.loads(lines[0]), {"context": key.context, "row": 2, "column": 2, "pressed": True})
        self.assertEqual(lines[1].decode(), f"R2C2 down {key.context}\n")

    async def test_run_answers_presses_and_keeps_titles_up_to_date(self):
        (self.home / "icons").mkdir()
        (self.home / "icons" / "key.png").write_bytes(PNG)
        path = await self.start_engine(ENGINE_CONFIG)
        # Images and titles at start, and titles again on the `every` timer.
        await self.until(lambda: (self.key(0, 1).image or "").startswith("data:image/png;base64,"), "the image")
        await self.until(lambda: self.key(2, 4).title == "off", "the Lights title at start")
        await self.until(lambda: self.key(0, 2).title == "tick 3", "the third tick")

        # A press runs its command in the home folder with the key's environment; exit 0 shows OK.
        await self.host.key_down(self.key(0, 0))
        await self.until(lambda: self.key(0, 0).oks == 1, "Show OK for R1C1")
        context = self.key(0, 0).context
        self.assertEqual((self.home / "env.txt").read_text().splitlines(), [
            "ZB_COLUMN=1", f"ZB_CONTEXT={context}", "ZB_ID=R1C1", "ZB_PRESSED=1", "ZB_ROW=1", str(self.home)])
        await self.host.key_up(self.key(0, 0))  # no release command: nothing happens

        # Exit 1 shows the alert; a key named by ID is found by its row and column, and its title follows.
        await self.host.key_down(self.key(0, 1))
        await self.until(lambda: self.key(0, 1).alerts == 1, "Show Alert for R1C2")
        await self.engine_log("R1C2: the press command failed: exit status 1")
        await self.host.key_down(self.key(2, 4))
        await self.until(lambda: self.key(2, 4).title == "on" and self.key(2, 4).oks == 1, "Lights on")

        # A second press while the command runs is ignored; past its limit the command is killed.
        await self.host.key_down(self.key(1, 1))
        await self.host.key_down(self.key(1, 1))
        await self.engine_log("R2C2: press ignored, the key's command is still running")
        await self.until(lambda: self.key(1, 1).alerts == 1, "Show Alert for the command that hangs")
        await self.engine_log("R2C2: the press command failed: timed out after 1 s and was killed")
        self.assertEqual((self.home / "starts").read_text(), "started\n")
        self.assertEqual(self.key(1, 1).oks, 0)

        # SIGHUP reloads; a file that is wrong keeps the configuration that works.
        path.write_text(RELOADED_CONFIG)
        self.engine.send_signal(signal.SIGHUP)
        await self.until(lambda: self.key(0, 0).title == "reloaded", "the reloaded title")
        await self.engine_log(f"Reloaded {path}: 2 keys")
        path.write_text('[keys.R1C2]\npresss = "exit 0"\n')
        self.engine.send_signal(signal.SIGHUP)
        await self.engine_log(f'Kept the previous configuration: {path}:2: unknown field "presss"')
        await self.host.key_down(self.key(0, 1))
        await self.until(lambda: self.key(0, 1).alerts == 2, "Show Alert from the kept configuration")
        self.assertEqual(self.host.problems, [])

    async def test_watch_escapes_forged_lines_and_ends_with_its_reader(self):
        read_end, write_end = os.pipe2(os.O_CLOEXEC)
        watchers = [await asyncio.create_subprocess_exec(DECK, "watch", *flags, stdout=out)
                    for flags, out in ((["--json"], asyncio.subprocess.PIPE), ([], write_end))]
        os.close(write_end)
        reader = os.fdopen(read_end, "rb", buffering=0)
        bus = notifications.Bus(asyncio.get_running_loop(), lambda *_: None)
        forged = "x\nR1C1 down y\x1b[2J\x7f\u0085\u2028"
        lines = [None, None]
        try:
            # Each watcher prints from the moment it observes: post until both have a line.
            for _ in range(DEADLINE * 4):
                bus.post(notifications.KEY, {"context": forged, "row": 2, "column": 3, "pressed": True})
                if lines[0] is None:
                    try:
                        lines[0] = await asyncio.wait_for(watchers[0].stdout.readline(), 0.25)
                    except asyncio.TimeoutError:
                        pass
                if lines[1] is None:
                    ready = await asyncio.get_running_loop().run_in_executor(
                        None, lambda: select.select([reader], [], [], 0.25)[0])
                    if ready:
                        lines[1] = reader.read(4096)
                if all(lines):
                    break
        finally:
            bus.close(DEADLINE)
        self.assertEqual(lines[0], b'{"column":3,"context":"x\\nR1C1 down y\\u001b[2J\\u007f\\u0085\\u2028",'
                                   b'"pressed":true,"row":2}\n')
        self.assertEqual(lines[1].split(b"\n")[0], b"R2C3 down x\\nR1C1 down y\\u001b[2J\\u007f\\u0085\xe2\x80\xa8")
        # The reader goes away: the watch ends at once, without another press.
        reader.close()
        self.assertEqual(await asyncio.wait_for(watchers[1].wait(), DEADLINE), 0)
        watchers[0].send_signal(signal.SIGINT)
        self.assertEqual(await asyncio.wait_for(watchers[0].wait(), DEADLINE), 0)

    async def test_a_stopped_bus_fails_within_seconds(self):
        daemon = await asyncio.create_subprocess_exec(
            "dbus-daemon", "--session", "--nofork", "--print-address=1",
            f"--address=unix:path={self.home}/stopped-bus", stdout=asyncio.subprocess.PIPE)
        try:
            address = (await asyncio.wait_for(daemon.stdout.readline(), DEADLINE)).decode().strip()
            daemon.send_signal(signal.SIGSTOP)
            env = {"DBUS_SESSION_BUS_ADDRESS": address}
            (self.home / "stopped.toml").write_text('[keys.R1C1]\npress = "true"\n')
            started = time.monotonic()
            results = await asyncio.gather(self.deck("title", "R1C1", "x", env=env),
                                           self.deck("run", self.home / "stopped.toml", env=env))
            self.assertLess(time.monotonic() - started, 10)
            for code, out, err in results:
                self.assertEqual(code, 1, err)
                self.assertIn(f"cannot reach the D-Bus session bus at {address}: no answer within 5 s", err)
        finally:
            daemon.send_signal(signal.SIGCONT)
            daemon.terminate()
            await daemon.wait()

    async def test_one_engine_runs_and_replace_takes_over(self):
        await self.start_engine('[keys.R1C1]\ntitle = "echo first"\n')
        first = self.engine
        await self.until(lambda: self.key(0, 0).title == "first", "the first engine's title")
        code, out, err = await self.deck("run", self.home / "deck.toml")
        self.assertEqual(code, 1)
        self.assertIn(f"another zorbel-deck run (pid {first.pid}) already runs", err)
        self.assertIn("--replace", err)
        first_lines, first_reader = self.engine_lines, self.engine_reader

        await self.start_engine('[keys.R1C1]\ntitle = "echo second"\n', "--replace")
        self.assertEqual(await asyncio.wait_for(first.wait(), DEADLINE), 0)
        await first_reader
        self.assertTrue(any("Another zorbel-deck run took over com.zorbel.deck" in line for line in first_lines),
                        first_lines)
        await self.until(lambda: self.key(0, 0).title == "second", "the second engine's title")
        self.assertEqual(self.host.problems, [])

    async def test_setup_links_the_bundle_and_installs_its_unit(self):
        bundle, home = self.home / "bundle", self.home / "user"
        bundle.mkdir()
        home.mkdir()
        shutil.copy2(DECK, bundle / "zorbel-deck")  # its own folder is the bundle
        unit = Path(__file__).resolve().parents[2] / "bundle" / "zorbel-deck.service"
        shutil.copy2(unit, bundle / "zorbel-deck.service")
        env = {"HOME": str(home), "XDG_CONFIG_HOME": "relative/ignored", "PATH": "/usr/bin:/bin"}
        code, out, err = await self.deck_at(bundle / "zorbel-deck", "setup", env=env)
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(os.readlink(home / ".local/bin/zorbel-deck"), str(bundle / "zorbel-deck"))
        self.assertEqual((home / ".config/systemd/user/zorbel-deck.service").read_text(), unit.read_text())
        self.assertIn("systemctl --user enable --now zorbel-deck", out)
        self.assertIn(f"{home}/.local/bin is not on your PATH", out)
        # Through the link it is the same program, and it undoes what it did.
        code, out, err = await self.deck_at(home / ".local/bin/zorbel-deck", "setup", "--uninstall", env=env)
        self.assertEqual((code, err), (0, ""))
        self.assertFalse(os.path.lexists(home / ".local/bin/zorbel-deck"))
        self.assertFalse(os.path.lexists(home / ".config/systemd/user/zorbel-deck.service"))

    async def deck_at(self, executable, *args, env):
        process = await asyncio.create_subprocess_exec(
            str(executable), *args, stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE, env={**os.environ, **env})
        out, err = await asyncio.wait_for(process.communicate(), DEADLINE)
        return process.returncode, out.decode(), err.decode()

    async def test_run_answers_a_key_that_appears(self):
        (self.home / "icons").mkdir()
        (self.home / "icons" / "key.png").write_bytes(PNG)
        # The title command also lists the descriptors it has, under an engine with its bus connection.
        await self.start_engine("""
[keys.R2C2]
title = 'ls /proc/self/fd > "$HOME/fds"; n=$(cat n 2>/dev/null || echo 0); n=$((n+1)); echo $n > n; echo "seen $n"'
image = "icons/key.png"
""")
        key = self.key(1, 1)
        await self.until(lambda: (key.title or "").startswith("seen ") and (key.image or "").startswith("data:image/png"),
                         "the title and image at start")
        self.assertEqual((self.home / "fds").read_text().split(), ["0", "1", "2", "3"])  # 3: ls's own
        self.assertEqual(await self.deck("clear", "R2C2"), (0, "", ""))
        await self.until(lambda: key.title == "" and key.image is None, "the key cleared")
        bus = notifications.Bus(asyncio.get_running_loop(), lambda *_: None)
        try:
            bus.post("Zorbel Stream Deck Key Appeared", {"context": key.context, "row": 2, "column": 2, "zbID": "R2C2"})
        finally:
            bus.close(DEADLINE)
        await self.until(lambda: (key.title or "").startswith("seen ") and (key.image or "").startswith("data:image/png"),
                         "the title and image again")
        self.assertEqual(self.host.problems, [])

    async def test_a_dial_runs_its_commands_and_keeps_its_strip(self):
        (self.home / "level").write_text("50\n")
        ran, gate = held_fifo(self.home / "ran"), held_fifo(self.home / "gate")
        self.addCleanup(os.close, ran)
        self.addCleanup(os.close, gate)

        async def next_run():
            return await asyncio.get_running_loop().run_in_executor(None, read_line, ran, DEADLINE)

        def strip(level):
            return {"title": "Volume", "value": f"{level}%", "indicator": level}

        def sent(event, since=0):
            return [r["message"].get("payload") for r in self.host.records[since:]
                    if r.get("source") == "plugin" and isinstance(r.get("message"), dict)
                    and r["message"].get("event") == event and r["message"].get("context") == dial.context]

        # The first dial gets the action; its stored title tells when the plug-in knows it as D1.
        dial = self.host.dial(0)
        dial.settings = {"title": "knob"}
        await self.host.appear(dial)
        await self.until(lambda: dial.title == "knob", "the dial to appear")
        await self.start_engine(DIAL_ENGINE_CONFIG)
        await self.until(lambda: dial.feedback == strip(50), "the strip at start")

        # Turns while the rotate command runs are summed into one more run. The touch after them runs
        # meanwhile: once it has, the engine has had the turns too.
        await self.host.dial_rotate(dial, 2, pressed=True)
        self.assertEqual(await next_run(), f"rotate +2 1 D1 {dial.context}")
        for ticks in (3, -1, 4):
            await self.host.dial_rotate(dial, ticks)
        await self.host.touch_tap(dial, 120, 40, hold=True)
        self.assertEqual(await next_run(), f"touch 120 40 1 D1 {dial.context}")
        await self.until(lambda: dial.oks == 1, "Show OK for the touch")
        os.write(gate, b"go\n")
        self.assertEqual(await next_run(), f"rotate +6 0 D1 {dial.context}")
        os.write(gate, b"go\n")
        await self.until(lambda: dial.feedback == strip(58) and dial.oks == 3, "the strip after the turns")
        self.assertIsNone(read_line(ran, 0), "a rotate command beyond the summed one")
        for act, line in ((self.host.dial_down, "push 1 D1"), (self.host.dial_up, "release 0 D1")):
            oks = dial.oks
            await act(dial)
            self.assertEqual(await next_run(), line)
            await self.until(lambda: dial.oks == oks + 1, f"Show OK after {line}")

        # A built-in layout reaches the strip; one outside the bundle never does (the OK after it shows
        # that the plug-in has had it).
        self.assertEqual(await self.deck("layout", "D1", "$A1"), (0, "", ""))
        await self.until(lambda: dial.layout == "$A1", "the layout")
        oks = dial.oks
        self.assertEqual(await self.deck("layout", "D1", "../../etc/x"), (0, "", ""))
        self.assertEqual(await self.deck("ok", "D1"), (0, "", ""))
        await self.until(lambda: dial.oks == oks + 1, "Show OK after the refused layout")
        self.assertEqual(sent("setFeedbackLayout"), [{"layout": "$A1"}])

        # The host forgets the strip when the dial goes; the plug-in sends it again when it comes back.
        await self.until(lambda: dial.settings.get("layout") == "$A1" and dial.settings.get("feedback") == strip(58),
                         "the strip in the dial's settings")
        since = len(self.host.records)
        await self.host.disappear(dial)
        await self.host.appear(dial)
        await self.until(lambda: sent("setFeedbackLayout", since) == [{"layout": "$A1"}]
                         and sent("setFeedback", since) == [strip(58)], "the strip again")
        self.assertEqual((dial.layout, dial.feedback, dial.title), ("$A1", strip(58), "knob"))
        self.assertEqual((self.key(0, 0).title, self.host.problems), (None, []))  # R1C1 is not D1


DIAL = "Zorbel Stream Deck Dial"
SET_FEEDBACK = "Zorbel Stream Deck Set Feedback"
SET_FEEDBACK_LAYOUT = "Zorbel Stream Deck Set Feedback Layout"

# D1's rotate command logs its environment, moves the level and waits for a line on the gate, so that
# the test decides when it ends; the strip shows the level. Tools logs what it runs with.
DIAL_CONFIG = r"""
[dials.D1]
rotate = 'echo "rotate $ZB_TICKS $ZB_PRESSED $ZB_ID $ZB_COLUMN $ZB_CONTEXT" > started; echo $(( $(cat level 2>/dev/null || echo 50) + ZB_TICKS )) > level.new; mv level.new level; read go < gate'
feedback = 'n=$(cat level 2>/dev/null || echo 50); printf "{\"title\": \"Volume\", \"value\": \"%s%%\", \"indicator\": %s}\n" $n $n'
show = "none"

[dials.Tools]
column = 2
push = 'echo "push $ZB_PRESSED $ZB_ID $ZB_COLUMN $ZB_CONTEXT" >&2'
release = 'echo "release $ZB_PRESSED $ZB_ID $ZB_COLUMN $ZB_CONTEXT" >&2; exit 3'
touch = 'echo "touch $ZB_X $ZB_Y $ZB_HOLD $ZB_ID $ZB_COLUMN $ZB_CONTEXT" >&2; echo touched > tools.new; mv tools.new tools'
feedback = "cat tools 2>/dev/null || echo tools"
"""


@unittest.skipUnless(DECK, "ZB_DECK names the executable")
class DeckDialTest(unittest.IsolatedAsyncioTestCase):
    """Dials: the test plays the plug-in's part on the bus, posting dial events and reading what the
    engine and the one-shot commands post."""

    start_engine = DeckTest.start_engine
    engine_log = DeckTest.engine_log
    deck = DeckTest.deck

    async def asyncSetUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="zb-deck-dials-")
        self.home = Path(self.folder.name)
        for name, sub in (("HOME", ""), ("XDG_CONFIG_HOME", "config"), ("XDG_STATE_HOME", "state")):
            os.environ[name] = str(self.home / sub)
        self.seen = []
        self.seen_changed = asyncio.Condition()
        loop = asyncio.get_running_loop()

        def on_notification(name, obj, user_info):
            self.seen.append((name, obj, user_info))
            loop.create_task(self._notify())
        self.bus = notifications.Bus(loop, on_notification)
        self.engine = None

    async def _notify(self):
        async with self.seen_changed:
            self.seen_changed.notify_all()

    async def asyncTearDown(self):
        if self.engine and self.engine.returncode is None:
            self.engine.terminate()
            self.assertEqual(await asyncio.wait_for(self.engine.wait(), DEADLINE), 0)
            await self.engine_reader
        self.bus.close(DEADLINE)
        self.folder.cleanup()

    def posted(self, name, zb_id=None):
        return [info for n, obj, info in self.seen
                if n == name and obj == notifications.OBJECT and (zb_id is None or info.get("zbID") == zb_id)]

    async def until(self, predicate, what):
        async def wait():
            async with self.seen_changed:
                await self.seen_changed.wait_for(predicate)
        try:
            await asyncio.wait_for(wait(), DEADLINE)
        except asyncio.TimeoutError:
            self.fail(f"timed out waiting for {what}; seen {self.seen}")

    def dial(self, event, column=1, zb_id="D1", context="ctx1", **fields):
        self.bus.post(DIAL, {"context": context, "column": column, "zbID": zb_id, "event": event, **fields})

    async def test_dials_run_their_commands_and_keep_their_strip(self):
        os.mkfifo(self.home / "gate")
        # Held open for writing by the test, so the rotate command's read waits for a line, not a writer.
        gate = os.open(self.home / "gate", os.O_RDWR | os.O_CLOEXEC)
        self.addCleanup(os.close, gate)
        # Each rotate command announces itself here as it starts (held open for reading likewise).
        os.mkfifo(self.home / "started")
        started = os.open(self.home / "started", os.O_RDWR | os.O_CLOEXEC)
        self.addCleanup(os.close, started)

        def read_started(timeout):
            return read_line(started, timeout)

        async def next_rotate():
            return await asyncio.get_running_loop().run_in_executor(None, read_started, DEADLINE)

        path = await self.start_engine(DIAL_CONFIG)
        self.assertIn(f"Loaded {path}: 0 keys, 2 dials", self.engine_lines)
        volume = {"title": "Volume", "value": "50%", "indicator": 50}
        await self.until(lambda: self.posted(SET_FEEDBACK, "D1") == [{"zbID": "D1", "feedback": volume}],
                         "the strip at start")
        await self.until(lambda: self.posted(SET_FEEDBACK, "Tools"), "the Tools strip at start")

        # A burst while the rotate command runs is summed, per pressed state, first come first.
        self.dial("rotate", ticks=5, pressed=False)
        self.assertEqual(await next_rotate(), "rotate +5 0 D1 1 ctx1")
        for ticks, pressed in ((2, False), (3, True), (-1, False), (100, True)):
            self.dial("rotate", ticks=ticks, pressed=pressed)
        # Malformed events are refused with a line and run nothing.
        self.dial("rotate", ticks="3", pressed=False)
        self.dial("rotate", ticks=99999, pressed=False)
        self.bus.post(DIAL, {"context": "ctx1", "column": 1, "event": "down"})
        await self.engine_log("Ignored a dial notification: ticks is not an integer")
        await self.engine_log("Ignored a dial notification: ticks 99999 is beyond 10000")
        await self.engine_log("Ignored a dial notification: no zbID")
        for expected in ("rotate +1 0 D1 1 ctx1", "rotate +103 1 D1 1 ctx1"):
            os.write(gate, b"go\n")
            self.assertEqual(await next_rotate(), expected)
        os.write(gate, b"go\n")
        final = {"title": "Volume", "value": "159%", "indicator": 100}
        await self.until(lambda: any(info["feedback"] == final for info in self.posted(SET_FEEDBACK, "D1")),
                         "the strip after the burst")
        self.assertIsNone(read_started(0), "no rotate command beyond the summed ones")
        strips = [info["feedback"] for info in self.posted(SET_FEEDBACK, "D1")]
        self.assertTrue(all(a != b for a, b in zip(strips, strips[1:])), strips)  # posted only when changed
        self.assertTrue(all(type(strip["indicator"]) is int for strip in strips), strips)
        self.assertEqual(self.posted(notifications.SHOW_OK, "D1") + self.posted(notifications.SHOW_ALERT, "D1"), [])

        # Push, release and touch, each with its environment; the outcome shows on the dial.
        self.dial("down", column=2, zb_id="Tools", context="ctx2")
        await self.until(lambda: len(self.posted(notifications.SHOW_OK, "Tools")) == 1, "Show OK after push")
        self.dial("up", column=2, zb_id="Tools", context="ctx2")
        await self.until(lambda: len(self.posted(notifications.SHOW_ALERT, "Tools")) == 1, "Show Alert after release")
        await self.engine_log("Tools: the release command failed: exit status 3")
        self.dial("tap", column=2, zb_id="Tools", context="ctx2", x=120, y=40, hold=True)
        await self.until(lambda: {"value": "touched"} in [i["feedback"] for i in self.posted(SET_FEEDBACK, "Tools")],
                         "the Tools strip after the touch")
        # Their standard error reaches the log under the dial's ID and the command's kind.
        for line in ("Tools push: push 1 Tools 2 ctx2", "Tools release: release 0 Tools 2 ctx2",
                     "Tools touch: touch 120 40 1 Tools 2 ctx2"):
            await self.engine_log(line)
        self.assertEqual([i["feedback"] for i in self.posted(SET_FEEDBACK, "Tools")],
                         [{"value": "tools"}, {"value": "touched"}])

    async def test_feedback_layout_and_watch_from_the_command_line(self):
        (self.home / "icon.png").write_bytes(PNG)
        self.assertEqual(await self.deck("feedback", "D2", "--title", "Bright", "--indicator", "150",
                                         "--icon", self.home / "icon.png", "--value=7"), (0, "", ""))
        await self.until(lambda: self.posted(SET_FEEDBACK, "D2"), "Set Feedback")
        feedback = self.posted(SET_FEEDBACK, "D2")[0]["feedback"]
        self.assertEqual({k: v for k, v in feedback.items() if k != "icon"},
                         {"title": "Bright", "value": "7", "indicator": 100})
        self.assertTrue(feedback["icon"].startswith("data:image/png;base64,iVBORw0KGgo"), feedback)
        self.assertEqual(await self.deck("layout", "D2", "$A1"), (0, "", ""))
        await self.until(lambda: self.posted(SET_FEEDBACK_LAYOUT), "Set Feedback Layout")
        self.assertEqual(self.posted(SET_FEEDBACK_LAYOUT), [{"zbID": "D2", "layout": "$A1"}])
        for args, message in ((("feedback", "D2"), "at least one of --title"),
                              (("feedback", "D2", "--indicator", "high"), "--indicator must be a whole number")):
            code, out, err = await self.deck(*args)
            self.assertEqual((code, out), (2, ""), args)
            self.assertIn(message, err)

        watchers = [await asyncio.create_subprocess_exec(DECK, "watch", *flags, stdout=asyncio.subprocess.PIPE)
                    for flags in (["--json"], [])]
        events = [({"event": "rotate", "ticks": -3, "pressed": False}, "D1 rotate -3 ctx1"),
                  ({"event": "down"}, "D1 down ctx1"), ({"event": "up"}, "D1 up ctx1"),
                  ({"event": "tap", "x": 120, "y": 40, "hold": True}, "D1 tap 120 40 hold ctx1")]
        # Each watcher prints from the moment it observes: rotate until both have a line, then the rest.
        first = [None, None]
        for _ in range(DEADLINE * 4):
            self.dial(**events[0][0])
            for i, watcher in enumerate(watchers):
                if first[i] is None:
                    try:
                        first[i] = await asyncio.wait_for(watcher.stdout.readline(), 0.25)
                    except asyncio.TimeoutError:
                        pass
            if all(first):
                break
        for fields, _ in events[1:]:
            self.dial(**fields)
        lines = [[], []]
        for i, watcher in enumerate(watchers):
            while len(lines[i]) < 3:
                line = await asyncio.wait_for(watcher.stdout.readline(), DEADLINE)
                if b" rotate " not in line and b'"rotate"' not in line:
                    lines[i].append(line)
            watcher.send_signal(signal.SIGINT)
            self.assertEqual(await asyncio.wait_for(watcher.wait(), DEADLINE), 0)
        self.assertEqual(json.loads(first[0]),
                         {"context": "ctx1", "column": 1, "zbID": "D1", "event": "rotate", "ticks": -3, "pressed": False})
        self.assertEqual([json.loads(line)["event"] for line in lines[0]], ["down", "up", "tap"])
        self.assertEqual(json.loads(lines[0][2])["hold"], True)
        self.assertEqual([first[1].decode()] + [line.decode() for line in lines[1]],
                         [text + "\n" for _, text in events])


if __name__ == "__main__":
    unittest.main()
