"""Starting the Windows build under Wine, through the launcher, in a prefix of its own."""

from __future__ import annotations

import os
import subprocess
import time
from pathlib import Path

from .helper import Helper
from .launcher import take_launcher_pids
from .native import child_setup
from .paths import WINDOWS_BUILD
from .runner import Runner


class WineRunner(Runner):
    """Runs `wine kestrune-launch.exe HELPER.exe`: the launcher makes the kill-on-close job
    and drops elevation, as it does on Windows. Keeps one wineserver up while it lives.

    With `user` (a root caller), every Wine process runs as that user, in its own session
    and a fresh environment: Wine itself has no notion of dropping root's rights. The prefix
    must then be that user's."""

    name = "wine"

    def __init__(self, prefix, display: str | None = None, build: str | os.PathLike | None = None, user=None):
        self.prefix = Path(prefix)
        self.build = Path(build) if build is not None else WINDOWS_BUILD
        self.launcher = self.build / "kestrune-launch.exe"
        if not self.launcher.exists():
            raise FileNotFoundError(self.launcher)
        self.user = user
        self._setup = child_setup(user, death_signal=False) if user is not None else None
        inherited = dict(os.environ) if user is None else {
            "PATH": "/usr/bin:/bin", "HOME": str(self.prefix), "LANG": "C.UTF-8", "USER": user.pw_name}
        self.base_env = dict(inherited, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                             WINEDLLOVERRIDES="mscoree,mshtml=")
        # The first process of a wineserver starts the prefix's desktop, which keeps the display
        # it found (or its absence) for every later run: a prefix is either with X or without.
        self.base_env.pop("DISPLAY", None)
        if display is not None:
            self.base_env["DISPLAY"] = display
        # One wineserver for the whole session: warm starts cost ~20 ms instead of ~0.6 s.
        subprocess.run(["wineboot", "-i"], env=self.base_env, check=False, preexec_fn=self._setup,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        self.server = subprocess.Popen(["wineserver", "-p", "-f"], env=self.base_env, preexec_fn=self._setup,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @property
    def run_as(self) -> str | None:
        return self.user.pw_name if self.user is not None else None

    def start(self, exe_name="kestrune-load-wine.exe", *, launcher_args=(), env_extra=None,
              new_session=False, speaks_protocol=True) -> Helper:
        """`new_session` keeps a terminal's Ctrl-C away from Wine, for a runner that stops
        the helper itself; `speaks_protocol=False` for a stand-in child that is no helper."""
        env = dict(self.base_env, **(env_extra or {}))
        argv = ["wine", str(self.launcher), *launcher_args, str(self.build / exe_name)]
        # The change of user makes a session of its own already.
        h = Helper(argv, env=env, preexec_fn=self._setup, start_new_session=new_session and self._setup is None,
                   speaks_protocol=speaks_protocol)
        take_launcher_pids(h, timeout=60)
        return h

    def start_helper(self, *, exe_name="kestrune-load-wine.exe", env_extra=None, new_session=False) -> Helper:
        """The Wine test build by default: Wine's job queries report no limits, so the shipped
        program refuses every start there."""
        return self.start(exe_name, env_extra=env_extra, new_session=new_session)

    def parent_pid(self, helper: Helper) -> int:
        return helper.launcher_pid

    def helper_os_pid(self, helper: Helper, exe_name="kestrune-load-wine.exe", timeout: float = 30.0) -> int:
        """The Linux process id of the helper (not the launcher) in this prefix."""
        prefix = f"WINEPREFIX={self.prefix}".encode()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for d in Path("/proc").iterdir():
                if not d.name.isdigit():
                    continue
                try:
                    argv0 = (d / "cmdline").read_bytes().split(b"\0")[0]
                    if not argv0.lower().endswith(exe_name.encode()):
                        continue
                    if prefix in (d / "environ").read_bytes().split(b"\0"):
                        return int(d.name)
                except OSError:
                    continue
            time.sleep(0.1)
        raise TimeoutError(f"no {exe_name} process in {self.prefix}")

    def run_direct(self, exe_name, stdin=b"", timeout=60):
        """Runs an executable straight under wine (no launcher, elevated default token)."""
        return subprocess.run(["wine", str(self.build / exe_name)], input=stdin, capture_output=True,
                              env=self.base_env, preexec_fn=self._setup, timeout=timeout)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.base_env, preexec_fn=self._setup, check=False, timeout=60)
        try:
            self.server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait(timeout=10)
