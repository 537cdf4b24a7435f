"""Where the helper's builds are found when nobody says otherwise: $KL_NATIVE_BUILD and
$KL_WINDOWS_BUILD, else build/linux and build/windows of the checkout this package sits in,
else of the current folder (for an installed package run from a checkout); for the native
build, else the folder of an installed `kestrune-load` on PATH (the Linux package)."""

import os
import shutil
from pathlib import Path


def _project_root() -> Path:
    here = Path(__file__).resolve().parents[3]  # clients/python/kestrune/paths.py
    return here if (here / "CMakeLists.txt").is_file() else Path.cwd()


ROOT = _project_root()


def _native_build() -> Path:
    if "KL_NATIVE_BUILD" in os.environ:
        return Path(os.environ["KL_NATIVE_BUILD"])
    checkout = ROOT / "build" / "linux"
    installed = shutil.which("kestrune-load")
    if (checkout / "kestrune-load").is_file() or installed is None:
        return checkout
    return Path(installed).parent


NATIVE_BUILD = _native_build()
WINDOWS_BUILD = Path(os.environ.get("KL_WINDOWS_BUILD", ROOT / "build" / "windows"))
