"""What a meter or sensor program's line must be to count as a reading: one number in the C
locale's form, the whole line. A number written another way is never read in part: `25,7` is
not 25 W, and `30 W` is not a reading."""

from __future__ import annotations

import re

# strtod's decimal form in the C locale (no hex, no digit separators), or inf and nan, which
# the range check refuses with the value named.
NUMBER = re.compile(r"[+-]?(?:(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|inf(?:inity)?|nan)",
                    re.IGNORECASE | re.ASCII)
DECIMAL_COMMA = re.compile(r"[+-]?[0-9]*,[0-9]+", re.ASCII)
SHOWN_CHARS = 60


def parse_reading(line: str) -> tuple[float | None, str | None]:
    """(the number, None), or (None, why not: the text as read and what is wrong with it).
    `line` is one line without its end; surrounding blanks are allowed."""
    text = line.strip()
    if NUMBER.fullmatch(text):
        return float(text), None
    shown = repr(text[:SHOWN_CHARS])
    if DECIMAL_COMMA.fullmatch(text):
        return None, f"{shown}, not a number: decimal commas are not read"
    return None, f"{shown}, not a number"
