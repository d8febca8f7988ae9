"""The dials of the virtual deck and their touch strip, and the names by which the command line and
scenarios pick a key or a dial.

A dial is an instance of the action on an encoder: the host sends it willAppear with controller
"Encoder" and coordinates {row: 0, column: <index>}, dialRotate (ticks, pressed), dialDown, dialUp and
touchTap (tapPos [x, y] on the dial's part of the strip, hold). What the plug-in sets with setFeedback
(merged into what the strip shows, as hosts do) and setFeedbackLayout is kept for the deck page, which
draws it.
"""

import re

# Deck types: keys and dials. A Stream Deck+ has 2 × 4 keys and 4 dials under them.
DECK_TYPES = {
    "standard": {"rows": 3, "columns": 5, "dials": 0, "type": 0, "name": "Simulated Deck"},
    "plus": {"rows": 2, "columns": 4, "dials": 4, "type": 7, "name": "Simulated Deck +"},
}
# The size of one dial's part of the touch strip, in the strip's own pixels (the Stream Deck+ strip
# is 800 × 100 for four dials).
STRIP_WIDTH, STRIP_HEIGHT = 200, 100
# The layouts a host has built in; a plug-in may also name a file inside its own folder.
BUILT_IN_LAYOUTS = ("$X1", "$A0", "$A1", "$B1", "$B2", "$C1")
DEFAULT_LAYOUT = "$B1"  # the manifest's Encoder layout


class Control:
    """What the host keeps for one instance of the action, on a key or a dial; `context` names it."""

    def __init__(self, row, column, context):
        self.row = row
        self.column = column
        self.context = context
        self.has_action = False
        self.visible = False  # a willAppear was sent and no willDisappear since
        self.settings = {}
        self.title = None
        self.image = None
        self.state = 0
        self.alerts = 0
        self.oks = 0
        self.set_settings_count = 0

    def coordinates(self):
        return {"column": self.column, "row": self.row}


class Dial(Control):
    """One dial of the virtual deck: row 0, its index as column."""

    controller = "Encoder"

    def __init__(self, index, context):
        super().__init__(0, index, context)
        self.index = index
        self.layout = DEFAULT_LAYOUT
        self.feedback = {}
        self.feedback_count = 0

    def clear_strip(self):
        """What a host forgets when the plug-in goes: the plug-in sends it again on willAppear."""
        self.title = None
        self.image = None
        self.layout = DEFAULT_LAYOUT
        self.feedback = {}

    def view(self):
        return {
            "index": self.index, "context": self.context, "hasAction": self.has_action,
            "visible": self.visible, "settings": self.settings, "title": self.title, "image": self.image,
            "alerts": self.alerts, "oks": self.oks, "setSettingsCount": self.set_settings_count,
            "layout": self.layout, "feedback": self.feedback, "feedbackCount": self.feedback_count,
        }


def layout_problem(layout, plugin_folder=None):
    """Why a setFeedbackLayout's layout is not one a host can show, or None."""
    if not isinstance(layout, str) or not layout:
        return f"a layout that is not a name: {layout!r}"
    if layout.startswith("$"):
        return None if re.fullmatch(r"\$[A-Za-z0-9]+", layout) else f"a malformed built-in layout {layout!r}"
    if layout.startswith("/") or ".." in layout.split("/"):
        return f"a layout outside the plug-in's folder: {layout!r}"
    if plugin_folder is not None and not (plugin_folder / layout).is_file():
        return f"a layout file the plug-in's folder does not have: {layout!r}"
    return None


def parse_place(text, rows, columns, dials):
    """("key", (row, column)) for "R<row>C<column>" or ("dial", index) for "D<n>", 1-based as the
    plug-in's default button IDs are; ValueError when it names nothing on this deck."""
    match = re.fullmatch(r"[Rr](\d+)[Cc](\d+)", text or "")
    if match:
        row, column = int(match[1]) - 1, int(match[2]) - 1
        if 0 <= row < rows and 0 <= column < columns:
            return "key", (row, column)
        raise ValueError(f"{text}: the deck has {rows} rows and {columns} columns")
    match = re.fullmatch(r"[Dd](\d+)", text or "")
    if match:
        index = int(match[1]) - 1
        if 0 <= index < dials:
            return "dial", index
        raise ValueError(f"{text}: the deck has {dials} dials")
    raise ValueError(f"{text!r} is neither R<row>C<column> nor D<n>")
