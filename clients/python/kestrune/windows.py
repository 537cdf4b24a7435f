"""Starting the helper on Windows, through the launcher.

Python cannot put a child in a kill-on-close job with an unelevated token and an exact
handle list by itself; the launcher does that and relays both streams.
"""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

from .helper import Helper
from .launcher import take_launcher_pids
from .paths import WINDOWS_BUILD
from .runner import Runner


class WindowsRunner(Runner):
    name = "windows"

    def __init__(self, exe: str | os.PathLike | None = None, launcher: str | os.PathLike | None = None):
        self.exe = Path(exe) if exe is not None else WINDOWS_BUILD / "kestrune-load.exe"
        self.launcher = Path(launcher) if launcher is not None else self.exe.with_name("kestrune-launch.exe")
        for path in (self.exe, self.launcher):
            if not path.is_file():
                raise FileNotFoundError(path)

    def start_helper(self) -> Helper:
        return self.start()

    def start(self, *, launcher_args=()) -> Helper:
        """The helper through the launcher, with `launcher_args` for the launcher itself."""
        argv = [str(self.launcher), *launcher_args, str(self.exe)]
        # No console window for the launcher; it and the helper have none of their own.
        flags = getattr(subprocess, "CREATE_NO_WINDOW", 0)
        h = Helper(argv, creationflags=flags)
        take_launcher_pids(h, timeout=30)
        return h

    def parent_pid(self, helper: Helper) -> int:
        return helper.launcher_pid
