"""The plug-in's key rules, for the Python stand-ins that must behave like it: how a key's settings and
coordinates give its virtual row, column and button ID.

A setting zbRow (zbColumn) counts when its integer value is 1 to 999; otherwise the key's position on
the deck counts, plus one (the deck counts from 0, virtual rows and columns from 1), in 32-bit
arithmetic; a key without coordinates is at 999. The button ID is a non-empty zbID as stored, else
"R<row>C<column>". tests/support/key_rules.json holds the vectors that this module, the plug-in and the
property inspector are all tested against.
"""

INT64_MAX = (1 << 63) - 1
INT64_MIN = -(1 << 63)
MINIMUM, MAXIMUM = 1, 999
WITHOUT_COORDINATES = 999
_SPACE = " \t\n\v\f\r"


def int_value(value):
    """The integer the plug-in reads from a JSON value: a string's leading decimal number (blanks and a
    sign allowed, no digits give 0), a number truncated, true as 1; each held to 64 bits."""
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, int):
        return ((value - INT64_MIN) % (1 << 64)) + INT64_MIN  # a JSON integer wraps to 64 bits
    if isinstance(value, float):
        if value != value:
            return 0
        return max(INT64_MIN, min(INT64_MAX, int(value)))
    if not isinstance(value, str):
        return 0
    text = value.lstrip(_SPACE)
    negative = text[:1] == "-"
    if text[:1] in ("+", "-") and text:
        text = text[1:]
    digits = 0
    count = 0
    for ch in text:
        if not "0" <= ch <= "9":
            break
        digits = digits * 10 + ord(ch) - ord("0")
        count += 1
    if count == 0:
        return 0
    number = -digits if negative else digits
    return max(INT64_MIN, min(INT64_MAX, number))


def low32(value):
    """The low 32 bits of an integer, as a signed 32-bit integer."""
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value >= (1 << 31) else value


def virtual(settings, coordinates, setting, coordinate):
    """The virtual row (setting "zbRow", coordinate "row") or column of a key."""
    settings = settings if isinstance(settings, dict) else {}
    v = low32(int_value(settings[setting])) if setting in settings else 0
    if MINIMUM <= v <= MAXIMUM:
        return v
    if isinstance(coordinates, dict) and coordinate in coordinates:
        return low32(low32(int_value(coordinates[coordinate])) + 1)
    return WITHOUT_COORDINATES


def virtual_row(settings, coordinates):
    return virtual(settings, coordinates, "zbRow", "row")


def virtual_column(settings, coordinates):
    return virtual(settings, coordinates, "zbColumn", "column")


def default_id(settings, coordinates):
    return f"R{virtual_row(settings, coordinates)}C{virtual_column(settings, coordinates)}"


def is_empty(value):
    """None, an empty string and an empty list or dictionary are empty; other values are not."""
    return value is None or (isinstance(value, (str, list, dict)) and len(value) == 0)


def button_id(settings, coordinates):
    """A non-empty stored zbID as it is, else the default ID of the virtual position."""
    zb_id = settings.get("zbID") if isinstance(settings, dict) else None
    return default_id(settings, coordinates) if is_empty(zb_id) else zb_id
