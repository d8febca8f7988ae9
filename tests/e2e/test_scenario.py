"""The end-to-end scenario must fail for a plug-in that gets things wrong: a scenario that passes
whatever the plug-in does would hide real faults. Run on a private bus: dbus-run-session."""

import json
import os
import unittest
from pathlib import Path

from hostsim import scenario
from hostsim.host import ScenarioError

HERE = Path(__file__).resolve().parent

END_TO_END = json.loads((HERE / "scenarios" / "end_to_end.json").read_text())
FAKE = HERE / "fake_plugin.py"
# The faulty runs fail by missing an expected message, so they wait out this deadline once.
SHORT = 2


class ScenarioCatchesFaultsTest(unittest.IsolatedAsyncioTestCase):
    async def run_with_fault(self, fault):
        os.environ["ZB_FAKE_PLUGIN_FAULT"] = fault
        try:
            with self.assertRaises(ScenarioError) as caught:
                await scenario.run(END_TO_END, FAKE, log=lambda _: None, default_timeout=SHORT)
        finally:
            del os.environ["ZB_FAKE_PLUGIN_FAULT"]
        return str(caught.exception)

    async def test_titles_and_images_not_restored_after_a_restart(self):
        self.assertIn('"event": "setImage"', await self.run_with_fault("no-restore"))

    async def test_untrimmed_button_id(self):
        self.assertIn('"zbID": "Kitchen"', await self.run_with_fault("trim-nothing"))

    async def test_wrong_exit_status(self):
        self.assertIn("exited with status 1, expected 0", await self.run_with_fault("exit-1"))

    async def test_the_fake_itself_passes(self):
        self.assertEqual(await scenario.run(END_TO_END, FAKE, log=lambda _: None), len(END_TO_END["steps"]))


if __name__ == "__main__":
    unittest.main()
