"""A profile's name in file and folder names: the name is the profile's own text, but what
it puts in a path must stay one plain name in the folder it is meant for."""

from __future__ import annotations

import re

MAX_SLUG = 64
_UNSAFE = re.compile(r"[^\w.+-]+")
_DOTS = re.compile(r"\.{2,}")
_DASHES = re.compile(r"-{2,}")


def slug(name: str) -> str:
    """`name` as one file-name-safe word: letters, digits and `_.+-` kept, every other run of
    characters (`/`, spaces, control characters) and every `..` one `-`; no leading dot or
    dash, so never a hidden name or an option; "run" when nothing is left."""
    text = _DASHES.sub("-", _DOTS.sub("-", _UNSAFE.sub("-", name))).lstrip(".-")[:MAX_SLUG].rstrip(".-")
    return text or "run"
