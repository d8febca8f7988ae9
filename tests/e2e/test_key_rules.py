"""The Python stand-ins' key rules (hostsim.keys, used by fake_plugin.py and the soak) against the
vectors the plug-in and the property inspector are tested with too."""

import json
import unittest
from pathlib import Path

from hostsim import keys

VECTORS = json.loads((Path(__file__).resolve().parents[1] / "support" / "key_rules.json").read_text())


class KeyRulesTest(unittest.TestCase):
    def test_virtual_row_column_and_button_id(self):
        for row in VECTORS["keys"]:
            with self.subTest(row=row):
                settings, coordinates = row["settings"], row["coordinates"]
                self.assertEqual(keys.virtual_row(settings, coordinates), row["row"])
                self.assertEqual(keys.virtual_column(settings, coordinates), row["column"])
                if "id" in row:
                    self.assertEqual(keys.button_id(settings, coordinates), row["id"])

    def test_a_key_that_appeared_without_coordinates(self):
        appeared = VECTORS["appearedWithoutCoordinates"]
        self.assertEqual(keys.button_id({}, appeared["stored"]), appeared["id"])

    def test_numbers_are_held_to_64_bits(self):
        self.assertEqual(keys.int_value("99999999999999999999"), keys.INT64_MAX)
        self.assertEqual(keys.int_value("-99999999999999999999"), keys.INT64_MIN)
        self.assertEqual(keys.int_value(float("nan")), 0)
        self.assertEqual(keys.int_value(1e300), keys.INT64_MAX)
        self.assertEqual(keys.int_value(" \t-12x"), -12)
        self.assertEqual(keys.int_value("\u00a012"), 0)  # only ASCII blanks are skipped


if __name__ == "__main__":
    unittest.main()
