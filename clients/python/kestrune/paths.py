"""Where the helper's builds are found when nobody says otherwise: $KL_NATIVE_BUILD and
$KL_WINDOWS_BUILD, else build/linux and build/windows of the checkout this package sits in,
else of the current folder (for an installed package run from a checkout)."""

import os
from pathlib import Path


def _project_root() -> Path:
    here = Path(__file__).resolve().parents[3]  # clients/python/kestrune/paths.py
    return here if (here / "CMakeLists.txt").is_file() else Path.cwd()


ROOT = _project_root()
NATIVE_BUILD = Path(os.environ.get("KL_NATIVE_BUILD", ROOT / "build" / "linux"))
WINDOWS_BUILD = Path(os.environ.get("KL_WINDOWS_BUILD", ROOT / "build" / "windows"))
