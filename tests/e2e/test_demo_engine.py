"""The demo engine answers presses over the D-Bus contract. Run on a private bus: dbus-run-session."""

import asyncio
import unittest
from pathlib import Path

from hostsim import notifications

REPO = Path(__file__).resolve().parents[2]

DEADLINE = 10


class DemoEngineTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.received = []
        self.changed = asyncio.Condition()
        loop = asyncio.get_running_loop()

        def on_notification(name, obj, info):
            self.received.append((name, obj, info))
            loop.create_task(self._notify())

        self.bus = notifications.Bus(loop, on_notification)
        self.engine = await asyncio.create_subprocess_exec(
            "/usr/bin/python3", str(REPO / "tools" / "demo-engine" / "demo_engine.py"), "--id", "3,4=Kitchen",
            stdout=asyncio.subprocess.PIPE)
        line = await asyncio.wait_for(self.engine.stdout.readline(), DEADLINE)
        self.assertIn(b"answering key presses", line)

    async def asyncTearDown(self):
        self.engine.terminate()
        self.assertEqual(await asyncio.wait_for(self.engine.wait(), DEADLINE), 0)
        self.bus.close()

    async def _notify(self):
        async with self.changed:
            self.changed.notify_all()

    async def wait_for(self, count):
        """Waits until `count` notifications from the engine (not our own posts) have arrived."""
        def from_engine():
            return [n for n in self.received if n[0] != notifications.KEY]

        async def wait():
            async with self.changed:
                await self.changed.wait_for(lambda: len(from_engine()) >= count)
        await asyncio.wait_for(wait(), DEADLINE)
        return from_engine()

    def press(self, row, column, pressed=True, context="CTX1"):
        self.bus.post(notifications.KEY, {"context": context, "row": row, "column": column, "pressed": pressed})

    async def test_each_press_gets_a_counting_title_and_an_ok_by_position_id(self):
        self.press(2, 3)
        self.press(2, 3, pressed=False)
        self.press(2, 3)
        got = await self.wait_for(4)
        self.assertEqual(got[0], (notifications.SET_TITLE, notifications.OBJECT, {"zbID": "R2C3", "title": "1\npress"}))
        self.assertEqual(got[1], (notifications.SHOW_OK, notifications.OBJECT, {"zbID": "R2C3"}))
        # The release was not answered: the next answer counts the second press.
        self.assertEqual(got[2][2], {"zbID": "R2C3", "title": "2\npresses"})

    async def test_a_key_with_its_own_id_is_addressed_by_it(self):
        self.press(3, 4, context="CTX2")
        got = await self.wait_for(2)
        self.assertEqual(got[0][2]["zbID"], "Kitchen")

    async def test_other_objects_are_ignored(self):
        self.bus.post(notifications.KEY, {"context": "X", "row": 1, "column": 1, "pressed": True}, obj="com.example")
        self.press(1, 2)
        got = await self.wait_for(2)
        self.assertEqual(got[0][2]["zbID"], "R1C2")


if __name__ == "__main__":
    unittest.main()
