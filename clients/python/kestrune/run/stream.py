"""A record file written as the run goes: under NAME.partial in its folder until the run ends
and renames it, flushed every few seconds, so a runner that is killed or loses power leaves
a readable partial record instead of none.

A write that fails loses nothing: the text not yet written is kept, what was written is read
back through the file's own descriptor (which still works when its folder was removed), and
the file carries on in a fallback folder under the system's temporary directory. Each move
is a message for the run's problems."""

from __future__ import annotations

import os
import tempfile
import threading
import time
from pathlib import Path

from .safefile import NOFOLLOW, create, give_path

FLUSH_S = 2.0         # a killed runner loses at most this much of the record
SYNC_S = 10.0         # a power cut at most this much (a sync may stall on a busy disk)
MAX_PENDING = 16 << 20  # bytes kept while nowhere can be written; older text is dropped, and said so
_COPY = 1 << 20


def _reason(e: OSError) -> str:
    return e.strerror or str(e)


class Fallback:
    """The one folder a run's record moves to when its own cannot be written; made on first
    need, shared by the record's files (the event log writes from the heartbeat thread)."""

    def __init__(self, prefix: str):
        self.prefix = prefix
        self.folder: Path | None = None
        self.reason: str | None = None   # why the record left its folder: the first failure
        self._lock = threading.Lock()

    def get(self, reason: str) -> Path:
        with self._lock:
            if self.folder is None:
                self.folder = Path(tempfile.mkdtemp(prefix=self.prefix))
                give_path(self.folder)
                self.reason = reason
            return self.folder


class PartialFile:
    """One file of the record. Not thread-safe: its owner serialises the calls."""

    def __init__(self, folder: Path, name: str, fallback: Fallback | None = None, clock=time.monotonic):
        self.folder, self.name = Path(folder), name
        self.fallback = fallback
        self.clock = clock
        self.problems: list[str] = []    # moves and losses, for the owner to report
        self.finished = False
        self._pending: list[bytes] = []
        self._pending_bytes = 0
        self._written = 0
        self._lost = 0
        self._fd: int | None = create(self.tmp)
        self._flushed_at = self._synced_at = clock()

    @property
    def tmp(self) -> Path:
        return self.folder / f"{self.name}.partial"

    @property
    def path(self) -> Path:
        return self.folder / self.name

    # --- writing ---------------------------------------------------------------------------
    def write(self, text: str) -> None:
        data = text.encode("utf-8")
        self._pending.append(data)
        self._pending_bytes += len(data)
        now = self.clock()
        if now - self._flushed_at >= FLUSH_S:
            self._flushed_at = now  # a failing disk is tried once per period, not per line
            self._flush_or_move(sync=now - self._synced_at >= SYNC_S)

    def _flush_or_move(self, sync: bool) -> None:
        try:
            self.flush(sync)
        except OSError as e:
            if self.fallback is None:
                self._bound_pending()
                return
            self.relocate(_reason(e))

    def relocate(self, reason: str) -> bool:
        """Carries on in the fallback folder; False (and the text kept) when that fails too."""
        try:
            where = self.fallback.get(reason)
            if where != self.folder:
                old = self.folder
                self.move(where)
                self.problems.append(f"cannot write {self.name} in {old} ({reason}); the record goes on in {where}")
            self.flush(sync=True)
            return True
        except OSError as e:
            self._bound_pending()
            if not self.problems or "nowhere" not in self.problems[-1]:
                self.problems.append(f"cannot write {self.name} in {self.folder} ({reason}) nor in a temporary "
                                     f"folder ({_reason(e)}); its last lines are kept in memory, nowhere else")
            return False

    def _bound_pending(self) -> None:
        while self._pending_bytes > MAX_PENDING and len(self._pending) > 1:
            dropped = self._pending.pop(0)
            self._pending_bytes -= len(dropped)
            if not self._lost:
                self.problems.append(f"{self.name}: more than {MAX_PENDING >> 20} MiB could not be written; "
                                     f"the oldest of it is lost")
            self._lost += len(dropped)

    def flush(self, sync: bool = False) -> None:
        """Writes what is pending; raises OSError with nothing lost: the unwritten rest stays
        pending. A file removed from its folder (its folder removed) fails too, so that the
        record moves somewhere it can still be found."""
        if self._fd is None:
            self._reopen()
        data = b"".join(self._pending)
        self._pending, self._pending_bytes = ([data], len(data)) if data else ([], 0)
        view = memoryview(data)
        while view:
            n = os.write(self._fd, view)
            self._written += n
            view = view[n:]
            self._pending, self._pending_bytes = ([bytes(view)], len(view)) if view else ([], 0)
        if os.name == "posix" and os.fstat(self._fd).st_nlink == 0:
            raise FileNotFoundError(2, f"{(self.tmp if not self.finished else self.path).name} was removed")
        if sync:
            os.fsync(self._fd)
            self._synced_at = self.clock()

    # --- moving and ending -----------------------------------------------------------------
    def _source_path(self) -> Path:
        return self.path if self.finished else self.tmp

    def _reopen(self) -> None:
        # Only after an end where the file had to be closed before its rename (Windows).
        fd = os.open(self._source_path(), os.O_RDWR | NOFOLLOW | getattr(os, "O_BINARY", 0))
        os.lseek(fd, 0, os.SEEK_END)
        self._fd = fd

    def move(self, folder: Path) -> None:
        """Copies what was written to FOLDER/NAME.partial and carries on there; the old
        partial file is removed. Raises OSError and changes nothing when the copy fails."""
        folder = Path(folder)
        old_tmp = self._source_path()
        if self._fd is None:
            self._reopen()
        new = create(folder / f"{self.name}.partial")
        try:
            os.lseek(self._fd, 0, os.SEEK_SET)
            left = self._written
            while left > 0:
                chunk = os.read(self._fd, min(_COPY, left))
                if not chunk:
                    break  # shorter than written: the disk lost it; what there is moves
                view = memoryview(chunk)
                while view:
                    view = view[os.write(new, view):]
                left -= len(chunk)
            os.lseek(self._fd, 0, os.SEEK_END)
        except BaseException:
            os.close(new)
            try:
                os.unlink(folder / f"{self.name}.partial")
            except OSError:
                pass
            raise
        self._close_fd()
        self._fd, self.folder, self.finished = new, folder, False
        self._written = os.lseek(new, 0, os.SEEK_END)
        try:
            os.unlink(old_tmp)
        except OSError:
            pass

    def finish(self) -> None:
        """Writes the rest, syncs, and renames the file to its name; raises OSError."""
        self.flush(sync=True)
        if not self.finished:
            if os.name == "nt":  # an open file cannot be renamed there
                self._close_fd()
            os.replace(self.tmp, self.path)
            self.finished = True

    def _close_fd(self) -> None:
        if self._fd is not None:
            try:
                os.close(self._fd)
            except OSError:
                pass
            self._fd = None

    def close(self) -> None:
        self._close_fd()

    def discard(self) -> None:
        """A run that never started leaves nothing behind."""
        self._close_fd()
        try:
            os.unlink(self._source_path())
        except OSError:
            pass
