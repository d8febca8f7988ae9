"""Tests of the host simulator itself: the checks it makes of a plug-in must catch real faults, and what
it serves must be safe, or the end-to-end tests built on it would prove nothing."""

import asyncio
import contextlib
import io
import json
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

from hostsim.dials import layout_problem, parse_place
from hostsim.host import Host, ScenarioError, matches

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "host-simulator"))
import host_simulator  # noqa: E402  (the command line next to the package)

DEADLINE = 10


def plugin_script(directory, body):
    """A throw-away plug-in: a Python script that gets the host's command line as `argv`."""
    path = Path(directory) / "plugin.py"
    path.write_text("#!/usr/bin/python3\n" + textwrap.dedent("""\
        import asyncio, json, sys
        import websockets
        argv = sys.argv
        args = dict(zip(argv[1::2], argv[2::2]))
        async def main():
            async with websockets.connect("ws://localhost:" + args["-port"]) as ws:
        """) + textwrap.indent(textwrap.dedent(body), " " * 8) + "\nasyncio.run(main())\n")
    path.chmod(0o755)
    return path


async def http_get(port, path):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode())
    await writer.drain()
    data = await reader.read()
    writer.close()
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split()[1]), body


class MatchesTest(unittest.TestCase):
    def test_partial_objects_and_markers(self):
        self.assertTrue(matches({"a": 1}, {"a": 1, "b": 2}))
        self.assertFalse(matches({"a": 1, "c": 3}, {"a": 1}))
        self.assertTrue(matches({"a": "$absent"}, {"b": 1}))
        self.assertFalse(matches({"a": "$absent"}, {"a": None}))
        self.assertTrue(matches({"a": "$any"}, {"a": None}))
        self.assertTrue(matches("$prefix:data:image", "data:image/png;base64,xx"))
        self.assertFalse(matches("$prefix:data:image", 5))
        self.assertTrue(matches({"p": {"title": "Hi"}}, {"p": {"title": "Hi", "target": 0}}))

    def test_booleans_are_not_numbers(self):
        # A plug-in that posts pressed as 1 instead of true breaks engines that read a boolean.
        self.assertFalse(matches(True, 1))
        self.assertFalse(matches(1, True))
        self.assertTrue(matches(False, False))

    def test_lists_match_element_by_element(self):
        self.assertTrue(matches([1, {"a": 2}], [1, {"a": 2, "b": 3}]))
        self.assertFalse(matches([1], [1, 2]))


class StateFileTest(unittest.TestCase):
    def test_contexts_actions_and_settings_survive_a_restart_of_the_host(self):
        with tempfile.TemporaryDirectory() as d:
            state = Path(d) / "deck.json"
            first = Host(actions=[(0, 0), (2, 4)], state_path=state)
            first.keys[(2, 4)].settings = {"zbID": "Lights", "title": "On"}
            first._save_state()
            second = Host(actions=[(1, 1)], state_path=state)
            for where in first.keys:
                self.assertEqual(first.keys[where].context, second.keys[where].context)
            self.assertEqual({w for w, k in second.keys.items() if k.has_action}, {(0, 0), (2, 4)})
            self.assertEqual(second.keys[(2, 4)].settings, {"zbID": "Lights", "title": "On"})

    def test_contexts_are_distinct(self):
        host = Host()
        contexts = [k.context for k in host.keys.values()]
        self.assertEqual(len(contexts), len(set(contexts)))


class DialsTest(unittest.TestCase):
    def test_places_are_named_as_the_default_button_ids(self):
        cases = [("R1C1", ("key", (0, 0))), ("r2c4", ("key", (1, 3))), ("D1", ("dial", 0)), ("d4", ("dial", 3)),
                 ("R3C1", None), ("R1C5", None), ("R0C1", None), ("D5", None), ("D0", None), ("X1", None), ("", None)]
        for text, expected in cases:
            with self.subTest(text):
                if expected is None:
                    with self.assertRaises(ValueError):
                        parse_place(text, 2, 4, 4)
                else:
                    self.assertEqual(parse_place(text, 2, 4, 4), expected)

    def test_layouts_a_host_refuses(self):
        with tempfile.TemporaryDirectory() as d:
            (Path(d) / "layouts").mkdir()
            (Path(d) / "layouts" / "volume.json").write_text("{}")
            cases = [("$B1", True), ("$X1", True), ("layouts/volume.json", True), ("layouts/none.json", False),
                     ("$B-1", False), ("../x.json", False), ("/etc/passwd", False), ("", False), (5, False)]
            for layout, shown in cases:
                with self.subTest(layout):
                    self.assertEqual(layout_problem(layout, Path(d)) is None, shown)

    def test_command_line_deck_types_dials_and_action_on(self):
        cases = [([], (3, 5, 0, [])),
                 (["--deck", "plus"], (2, 4, 4, [])),
                 (["--dials", "2"], (3, 5, 2, [])),
                 (["--deck", "plus", "--dials", "0"], (2, 4, 0, [])),
                 (["--action-on", "R2C1", "--action-on", "R1C5"], (3, 5, 0, [("key", (1, 0)), ("key", (0, 4))])),
                 (["--deck", "plus", "--action-on", "D2"], (2, 4, 4, [("dial", 1)]))]
        for argv, (rows, columns, dials, action_on) in cases:
            with self.subTest(argv):
                args = host_simulator.parse_args(argv)
                self.assertEqual((args.rows, args.columns, args.dials, args.action_on), (rows, columns, dials, action_on))
        for argv in (["--action-on", "D1"], ["--action-on", "R4C1"], ["--dials", "-1"]):
            with self.subTest(argv), self.assertRaises(SystemExit), contextlib.redirect_stderr(io.StringIO()):
                host_simulator.parse_args(argv)

    def test_action_on_and_dials_survive_a_restart_of_the_host(self):
        with tempfile.TemporaryDirectory() as d:
            state = Path(d) / "deck.json"
            first = Host(rows=2, columns=4, dials=4, actions=[(0, 0)], action_on=[("key", (1, 0)), ("dial", 2)],
                         state_path=state)
            self.assertEqual({w for w, k in first.keys.items() if k.has_action}, {(0, 0), (1, 0)})
            first.dials[2].settings = {"layout": "$A1"}
            first._save_state()
            second = Host(rows=2, columns=4, dials=4, state_path=state)
            self.assertEqual([i for i, dial in second.dials.items() if dial.has_action], [2])
            self.assertEqual(second.dials[2].context, first.dials[2].context)
            self.assertIs(second.key_for_context(first.dials[2].context), second.dials[2])
            self.assertEqual(second.dials[2].settings, {"layout": "$A1"})


class HostTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.host = Host(actions=[(0, 0)], log=open("/dev/null", "w"))
        await self.host.start()

    async def asyncTearDown(self):
        await self.host.close()
        self.host.log_file.close()
        self.dir.cleanup()

    async def test_command_line_is_the_four_pairs_with_an_info_like_a_real_host(self):
        out = Path(self.dir.name) / "argv.json"
        self.host.plugin_path = plugin_script(self.dir.name, f"""\
            open({str(out)!r}, "w").write(json.dumps(argv))
            await ws.send(json.dumps({{"event": args["-registerEvent"], "uuid": args["-pluginUUID"]}}))
            await ws.wait_closed()
            """)
        await self.host.start_plugin()
        await self.host.wait_registered(DEADLINE)
        argv = json.loads(out.read_text())
        self.assertEqual(len(argv), 9)
        self.assertEqual(argv[1::2], ["-port", "-pluginUUID", "-registerEvent", "-info"])
        self.assertEqual(int(argv[2]), self.host.port)
        self.assertEqual(argv[6], "registerPlugin")
        info = json.loads(argv[8])
        self.assertEqual(set(info["application"]) >= {"version", "platform", "language"}, True)
        self.assertEqual(info["plugin"]["uuid"], "com.zorbel.streamdeck")
        self.assertEqual(info["devices"][0]["size"], {"columns": 5, "rows": 3})
        self.assertEqual(await self.host.stop_plugin(), 0)
        self.assertEqual(self.host.problems, [])

    async def test_registration_with_the_wrong_uuid_is_refused(self):
        self.host.plugin_path = plugin_script(self.dir.name, """\
            await ws.send(json.dumps({"event": "registerPlugin", "uuid": "not-mine"}))
            await ws.wait_closed()
            """)
        await self.host.start_plugin()
        with self.assertRaises(ScenarioError):
            await self.host.wait_registered(DEADLINE)
        self.assertIn("expected the registration", self.host.problems[0])

    async def test_appearing_keys_carry_settings_coordinates_and_extra_fields(self):
        self.host.keys[(0, 0)].settings = {"zbID": "A"}
        out = Path(self.dir.name) / "events.json"
        self.host.plugin_path = plugin_script(self.dir.name, f"""\
            await ws.send(json.dumps({{"event": args["-registerEvent"], "uuid": args["-pluginUUID"]}}))
            events = [json.loads(await ws.recv()) for _ in range(2)]
            open({str(out)!r}, "w").write(json.dumps(events))
            await ws.send(json.dumps({{"event": "showOk", "context": events[1]["context"]}}))
            await ws.wait_closed()
            """)
        await self.host.start_plugin()
        await self.host.wait_registered(DEADLINE)
        await self.host.wait_for(lambda: self.host.keys[(0, 0)].oks == 1, DEADLINE, "showOk")
        device, appear = json.loads(out.read_text())
        self.assertEqual(device["event"], "deviceDidConnect")
        self.assertEqual(appear["event"], "willAppear")
        self.assertEqual(appear["context"], self.host.keys[(0, 0)].context)
        self.assertEqual(appear["payload"]["settings"], {"zbID": "A"})
        self.assertEqual(appear["payload"]["coordinates"], {"column": 0, "row": 0})
        for extra in ("controller", "state", "isInMultiAction"):
            self.assertIn(extra, appear["payload"])

    async def test_commands_for_an_unknown_context_are_reported(self):
        self.host.plugin_path = plugin_script(self.dir.name, """\
            await ws.send(json.dumps({"event": args["-registerEvent"], "uuid": args["-pluginUUID"]}))
            await ws.send(json.dumps({"event": "setTitle", "context": "nobody", "payload": {"title": "x"}}))
            await ws.wait_closed()
            """)
        await self.host.start_plugin()
        await self.host.wait_registered(DEADLINE)
        await self.host.wait_for(lambda: self.host.problems, DEADLINE, "a problem")
        self.assertIn("unknown context 'nobody'", self.host.problems[0])

    async def test_a_plugin_that_ignores_the_close_is_ended(self):
        self.host.plugin_path = plugin_script(self.dir.name, """\
            await ws.send(json.dumps({"event": args["-registerEvent"], "uuid": args["-pluginUUID"]}))
            await ws.wait_closed()
            await asyncio.Event().wait()
            """)
        await self.host.start_plugin()
        await self.host.wait_registered(DEADLINE)
        status = await self.host.stop_plugin(timeout=0.5)
        self.assertNotEqual(status, 0)
        self.assertIn("did not exit", self.host.problems[0])

    async def test_http_serves_the_page_and_state_and_nothing_outside(self):
        status, body = await http_get(self.host.port, "/")
        self.assertEqual(status, 200)
        self.assertIn(b"deck.js", body)
        status, body = await http_get(self.host.port, "/api/state")
        self.assertEqual(json.loads(body)["columns"], 5)
        status, _ = await http_get(self.host.port, "/plugin/inspector/index.html")
        self.assertEqual(status, 200)
        for path in ("/../host.py", "/plugin/../CMakeLists.txt", "/plugin/%2e%2e/CMakeLists.txt", "/nothing.js"):
            status, _ = await http_get(self.host.port, path)
            self.assertEqual(status, 404, path)


if __name__ == "__main__":
    unittest.main()
