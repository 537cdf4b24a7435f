"""Where the helper's builds are found when nobody says otherwise."""

import os
from pathlib import Path


def _checkout_root() -> Path:
    # clients/python/kestrune/paths.py inside a checkout; elsewhere the guess is harmless.
    return Path(__file__).resolve().parents[3]


ROOT = _checkout_root()
NATIVE_BUILD = Path(os.environ.get("KL_NATIVE_BUILD", ROOT / "build" / "linux"))
WINDOWS_BUILD = Path(os.environ.get("KL_WINDOWS_BUILD", ROOT / "build" / "windows"))
