"""Reading a program's output without trusting it: in chunks, a line at most MAX_LINE bytes
(the rest of a longer one is discarded, and said once), and its error output kept as a ring
of its last lines, so that no program can fill the runner's memory or disk."""

from __future__ import annotations

import os
import signal
import subprocess
import time
from collections import deque

MAX_LINE = 4096
CHUNK = 1 << 16
TAIL_LINES = 5
GRACE_S = 2.0   # between TERM and KILL for a program's whole group


def read_lines(fd: int, on_line, on_long, max_line: int = MAX_LINE) -> None:
    """Calls `on_line(bytes)` for each line read from `fd` until its end, and `on_long(head)`
    once for each line longer than `max_line` (with its first `max_line` bytes), whose rest
    up to its newline is dropped. Holds at most one chunk and one line."""
    buf = b""
    skipping = False
    while True:
        try:
            chunk = os.read(fd, CHUNK)
        except OSError:
            break
        if not chunk:
            break
        start = 0
        while True:
            nl = chunk.find(b"\n", start)
            piece = chunk[start:] if nl < 0 else chunk[start:nl]
            if not skipping:
                if len(buf) + len(piece) > max_line:
                    on_long((buf + piece[:max_line - len(buf)]))
                    buf, skipping = b"", True
                else:
                    buf += piece
            if nl < 0:
                break
            if not skipping:
                on_line(buf)
            buf, skipping = b"", False
            start = nl + 1
    if buf and not skipping:
        on_line(buf)


class Tail:
    """The last lines of a stream, each at most MAX_LINE bytes."""

    def __init__(self, lines: int = TAIL_LINES):
        self._lines: deque[str] = deque(maxlen=lines)

    def add(self, raw: bytes) -> None:
        text = raw.decode("utf-8", errors="replace").rstrip()
        if text:
            self._lines.append(text)

    def add_long(self, head: bytes) -> None:
        self.add(head + " [longer line cut]".encode())

    def read(self, fd: int) -> None:
        read_lines(fd, self.add, self.add_long)

    def text(self, limit: int) -> str | None:
        text = "\n".join(list(self._lines))
        return text[-limit:] or None


def end_group(proc: subprocess.Popen, grace_s: float = GRACE_S) -> None:
    """Ends a program started in a session of its own, with everything it started: TERM to
    its process group, then KILL to what is left of it after `grace_s`."""
    pgid = proc.pid
    try:
        os.killpg(pgid, signal.SIGTERM)
    except OSError:  # the group is gone already
        pgid = None
    deadline = time.monotonic() + grace_s
    while pgid is not None and time.monotonic() < deadline:
        if proc.poll() is not None and not _alive(pgid):
            pgid = None
            break
        time.sleep(0.05)
    if pgid is not None:
        try:
            os.killpg(pgid, signal.SIGKILL)
        except OSError:
            pass
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass


def _alive(pgid: int) -> bool:
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False
    except OSError:
        return True
