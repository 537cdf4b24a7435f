"""Starting the native Linux build as a controller must: not as root, with the parent-death
signal set to SIGKILL (the Linux stand-in for a kill-on-close job), in a fresh environment."""

from __future__ import annotations

import ctypes
import os
import shutil
import re
import signal
import stat
import tempfile
from pathlib import Path

try:
    import pwd
except ImportError:  # Windows: this runner is for Linux only
    pwd = None

from .helper import Helper
from .paths import NATIVE_BUILD
from .runner import Runner

PR_SET_PDEATHSIG = 1
COPY_PREFIX = "kl-native-"
_COPY_NAME = re.compile(rf"^{COPY_PREFIX}(\d+)-[A-Za-z0-9_]+$")


def unprivileged_user(environ=None) -> pwd.struct_passwd:
    """Whom a root controller runs the helper as: the user who invoked sudo, else nobody."""
    environ = os.environ if environ is None else environ
    sudo_uid = environ.get("SUDO_UID", "")
    if sudo_uid.isdigit() and int(sudo_uid) != 0:
        try:
            return pwd.getpwuid(int(sudo_uid))
        except KeyError:
            pass
    return pwd.getpwnam("nobody")


def _as_passwd(user) -> pwd.struct_passwd:
    if isinstance(user, pwd.struct_passwd):
        return user
    if isinstance(user, int):
        return pwd.getpwuid(user)
    return pwd.getpwnam(user)


class NativeRunner(Runner):
    """Starts the Linux build, dropping to `user` (default `nobody`) when running as root.

    The helper runs from a private copy of the executable in a fresh 755 folder: the
    checkout may sit where the unprivileged user cannot enter. `env` adds variables to the
    helper's otherwise fresh environment (tests use it to preload a library).
    """

    name = "native"

    def __init__(self, exe: str | os.PathLike | None = None, user="nobody", env: dict | None = None):
        src = Path(exe) if exe is not None else NATIVE_BUILD / "kestrune-load"
        if not src.is_file():
            raise FileNotFoundError(src)
        self.user = _as_passwd(user)
        self.extra_env = dict(env or {})
        remove_stale_copies()
        # Named after this process: a copy whose process is gone is found and removed later.
        self.dir = Path(tempfile.mkdtemp(prefix=f"{COPY_PREFIX}{os.getpid()}-"))
        os.chmod(self.dir, 0o755)
        self.exe = self.dir / "kestrune-load"
        shutil.copy2(src, self.exe)
        os.chmod(self.exe, 0o755)

    @property
    def drops_privileges(self) -> bool:
        return os.geteuid() == 0

    @property
    def run_as(self) -> str:
        """The name of the user the helper will run as."""
        return self.user.pw_name if self.drops_privileges else pwd.getpwuid(os.geteuid()).pw_name

    def env(self) -> dict:
        # Nothing inherited: root's XDG_RUNTIME_DIR and the like must not reach the helper.
        return {"PATH": "/usr/bin:/bin", "HOME": str(self.dir), "LANG": "C.UTF-8", **self.extra_env}

    def start_helper(self) -> Helper:
        """A helper as a controller starts it: unprivileged, with the parent-death signal."""
        setup = child_setup(self.user if self.drops_privileges else None, death_signal=True)
        return Helper([str(self.exe)], env=self.env(), preexec_fn=setup)

    def parent_pid(self, helper: Helper) -> int:
        return os.getpid()

    def helper_os_pid(self, helper: Helper) -> int:
        """The Linux process id of the helper itself."""
        return helper.proc.pid

    def process_cpu_seconds(self, helper: Helper) -> float:
        fields = Path(f"/proc/{helper.proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / ticks

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def _process_gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:  # another user's: it is there
        return False
    return False


def remove_stale_copies(folder=None) -> list[Path]:
    """Removes the private copies of the helper that runners killed before they could clean
    up left in the temporary folder: only folders (never links) of this user whose process is
    gone. Returns what it removed."""
    folder = Path(folder or tempfile.gettempdir())
    removed = []
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return removed
    for e in entries:
        m = _COPY_NAME.match(e.name)
        if m is None:
            continue
        try:
            st = os.lstat(e.path)
        except OSError:
            continue
        if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.geteuid() or not _process_gone(int(m.group(1))):
            continue
        # rmtree does not follow links inside the folder either.
        shutil.rmtree(e.path, ignore_errors=True)
        removed.append(Path(e.path))
    return removed


def child_setup(user: pwd.struct_passwd | None, *, death_signal: bool):
    """What the child does between fork and exec: a session of its own, the change to
    `user` (None: keep the caller's), then the parent-death signal when asked for."""
    parent = os.getpid()
    libc = ctypes.CDLL(None, use_errno=True)  # loaded here: no dlopen between fork and exec

    def preexec():
        os.setsid()
        if user is not None:
            os.setgroups([])
            os.setresgid(user.pw_gid, user.pw_gid, user.pw_gid)
            os.setresuid(user.pw_uid, user.pw_uid, user.pw_uid)
        # After the change of user: changing credentials clears the death signal.
        if death_signal:
            if libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG) failed")
            # The parent may have died before the signal was armed: then nobody would kill us.
            if os.getppid() != parent:
                os._exit(127)

    return preexec
