"""One run per record folder: a run holds a lock on a file in its folder from before the
first file of the record is made until the record is written, so that a second run with the
same folder is refused instead of writing into the same files. The lock file says who holds
it; the kernel drops the lock when its holder dies, however it dies."""

from __future__ import annotations

import os
import stat
import time
from pathlib import Path

try:
    import fcntl
except ImportError:  # Windows: this runner is for Linux only
    fcntl = None

from .safefile import NOFOLLOW, give

NAME = ".kestrune.lock"
_TRIES = 3  # a holder that removes the file as this run opens it; then once more


class FolderBusy(RuntimeError):
    """Another run writes to the folder; the message names it."""


class FolderLock:
    def __init__(self, folder: Path):
        self.path = Path(folder) / NAME
        self.fd: int | None = None
        for _ in range(_TRIES):
            fd = self._open()
            if self._locked(fd) and self._still_there(fd):
                self.fd = fd
                break
            os.close(fd)
        else:
            raise FolderBusy(f"{folder} is in use: its lock file changed under this run {_TRIES} times")
        holder = f"pid {os.getpid()}, started {time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())}\n"
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, holder.encode(), 0)

    def _open(self) -> int:
        # Non-blocking: a FIFO put there must not hold the runner. Only a plain file with one
        # name is written to; anything else someone made there is refused, not followed.
        flags = os.O_RDWR | NOFOLLOW | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0)
        try:
            fd = os.open(self.path, flags | os.O_CREAT | os.O_EXCL, 0o644)
            give(fd)  # only a file this run made changes hands
        except FileExistsError:
            fd = os.open(self.path, flags)  # a killed run's, or someone else's: checked first
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or st.st_nlink != 1:
            os.close(fd)
            raise FolderBusy(f"{self.path} is not a plain file this runner made: remove it or choose another folder")
        return fd

    def _locked(self, fd: int) -> bool:
        if fcntl is None:
            return True
        try:
            fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except OSError:
            holder = os.pread(fd, 200, 0).decode("utf-8", errors="replace").strip() or "unknown"
            os.close(fd)
            raise FolderBusy(f"{self.path.parent} is in use by another run ({holder}): "
                             f"wait for it to end or choose another --out") from None

    def _still_there(self, fd: int) -> bool:
        """The holder before this run removes the file as it ends: a lock on a removed file
        would hold nothing."""
        try:
            here = os.lstat(self.path)
        except OSError:
            return False
        mine = os.fstat(fd)
        return (here.st_dev, here.st_ino) == (mine.st_dev, mine.st_ino)

    def release(self) -> None:
        """Removes the file while still holding it (a run that waits for it then sees it
        gone and makes its own), then lets go."""
        if self.fd is None:
            return
        try:
            os.unlink(self.path)
        except OSError:
            pass
        os.close(self.fd)
        self.fd = None
