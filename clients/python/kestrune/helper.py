"""One running helper process, with line-oriented access to both directions."""

from __future__ import annotations

import collections
import json
import queue
import subprocess
import threading
import time
from typing import Callable, ClassVar, Iterator

from . import commands
from .commands import Domain
from .events import Event, ProtocolError, parse_line


RECEIVED_KEPT = 64


class Helper:
    """A started helper: commands go in as JSON lines, events come out as typed records.

    Two threads read its standard output and standard error into queues, so a read can wait
    with a time-out. Use it as a context manager: leaving the block kills a helper that is
    still running and closes the pipes.
    """

    # Sees every whole line of every helper's output as it arrives, whether or not anyone
    # reads it: a test suite sets it to hold the helper to its contract.
    line_check: ClassVar[Callable[[bytes], None] | None] = None

    def __init__(self, argv, env=None, preexec_fn=None, pass_fds=(), stdin_devnull=False,
                 start_new_session=False, creationflags=0, speaks_protocol=True):
        """`speaks_protocol=False`: a stand-in child whose lines are not events."""
        self.t0 = time.monotonic()
        self._line_check = type(self).line_check if speaks_protocol else None
        self.proc = subprocess.Popen(
            argv,
            bufsize=0,  # unbuffered: when the reader stops, the helper feels it at once
            stdin=subprocess.DEVNULL if stdin_devnull else subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
            preexec_fn=preexec_fn,
            pass_fds=pass_fds,
            start_new_session=start_new_session,
            creationflags=creationflags,
        )
        self._paused = threading.Event()  # set by kestrune.testing: a controller that stops reading
        self._write_lock = threading.Lock()  # the heartbeat thread writes too: whole lines only
        self.lines: "queue.Queue[tuple[float, bytes | None]]" = queue.Queue()
        self.stderr_lines: "queue.Queue[bytes | None]" = queue.Queue()
        self._pumps = {
            self.proc.stdout: threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines, True), daemon=True),
            self.proc.stderr: threading.Thread(target=self._pump, args=(self.proc.stderr, self.stderr_lines, False), daemon=True),
        }
        for pump in self._pumps.values():
            pump.start()
        # The latest events with their times since the start, for messages that say what came;
        # bounded, so a session of any length holds no more than these.
        self.received: collections.deque[tuple[float, Event]] = collections.deque(maxlen=RECEIVED_KEPT)
        self._held: collections.deque[tuple[float, Event]] = collections.deque()
        self._ended = False
        # Sees every line sent (">") and every line read ("<", whether as an event or raw),
        # for a controller that keeps a log of the whole conversation.
        self.observer: Callable[[str, bytes], None] | None = None
        self.launcher_pid: int | None = None
        self.child_pid: int | None = None

    @property
    def pid(self) -> int:
        return self.proc.pid

    def _pump(self, stream, q, timed):
        while not (timed and self._paused.is_set()):
            try:
                raw = stream.readline()
            except (OSError, ValueError):
                raw = b""
            if not raw:
                break
            arrived = time.monotonic()
            if timed and self._line_check is not None and raw.endswith(b"\n"):
                self._line_check(raw)
            q.put((arrived, raw) if timed else raw)
        q.put((time.monotonic(), None) if timed else None)

    # --- commands ---------------------------------------------------------------------------
    def send(self, obj) -> None:
        """Writes one command: a dict as compact JSON, or bytes/str as they are."""
        self.send_raw(obj if isinstance(obj, (bytes, str)) else json.dumps(obj, separators=(",", ":")))

    def send_raw(self, data) -> None:
        """Writes data and a newline if it lacks one. A helper that has gone is not an error:
        its end shows in the events and the exit code."""
        if isinstance(data, str):
            data = data.encode()
        if not data.endswith(b"\n"):
            data += b"\n"
        if self.observer is not None:
            self.observer(">", data)
        view = memoryview(data)
        with self._write_lock:
            try:
                while view:
                    n = self.proc.stdin.write(view)
                    view = view[n or 0:]  # an unbuffered pipe may take part of a long line
            except (BrokenPipeError, ValueError, OSError, AttributeError):
                pass

    def send_start(self, parent_pid, **kw) -> None:
        """A start command; keywords as for `commands.start_cmd`."""
        self.send(commands.start_cmd(parent_pid, **kw))

    def send_set(self, seq: int, cpu: Domain | None = None, gpu: Domain | None = None) -> None:
        self.send(commands.set_cmd(seq, cpu, gpu))

    def send_power(self, cpu_w: float | None = None, gpu_w: float | None = None, at_ms: int | None = None) -> None:
        self.send(commands.power_cmd(cpu_w, gpu_w, at_ms))

    def send_hb(self) -> None:
        self.send(commands.hb_cmd())

    def send_stop(self, why: str | None = None) -> None:
        self.send(commands.stop_cmd(why))

    def close_stdin(self) -> None:
        # Without the write lock: closing must work while a write is blocked on a full pipe.
        try:
            self.proc.stdin.close()
        except OSError:
            pass  # a pipe the helper already left; closed all the same

    # --- events -----------------------------------------------------------------------------
    def _next_line(self, timeout: float) -> tuple[float, bytes | None]:
        if self._ended:
            return time.monotonic(), None
        try:
            arrived, raw = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError(f"no output line within {timeout} s") from None
        if raw is None:
            self._ended = True
        elif self.observer is not None:
            self.observer("<", raw)
        return arrived, raw

    def read_raw_line(self, timeout: float) -> bytes | None:
        """The next output line as bytes (with its newline), or None at end of output (at
        once, every time, after the end was seen)."""
        return self._next_line(timeout)[1]

    def hold(self, arrived: float, event: Event) -> None:
        """Gives an event back, to be read again before any later one (a reader that waited
        for one event keeps the others for whoever reads next)."""
        self._held.append((arrived, event))

    def read_timed(self, timeout: float = 10.0) -> tuple[float, Event] | None:
        """The next event and the monotonic time its line arrived (stamped by the reading
        thread, so a line that waited here is not made late), or None at end of output."""
        if self._held:
            return self._held.popleft()
        arrived, raw = self._next_line(timeout)
        if raw is None:
            return None
        if not raw.endswith(b"\n"):
            raise ProtocolError(f"output ended inside a line: {raw!r}")
        event = parse_line(raw)
        self.received.append((arrived - self.t0, event))
        return arrived, event

    def read(self, timeout: float = 10.0) -> Event | None:
        """The next event, or None at end of output; TimeoutError when none comes in time,
        ProtocolError for a line that is not an event."""
        got = self.read_timed(timeout)
        return None if got is None else got[1]

    def read_until(self, pred: Callable[[Event], bool], timeout: float = 10.0) -> Event:
        """Reads events until one satisfies pred; returns it."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no matching event")
            ev = self.read(left)
            if ev is None:
                raise EOFError(f"output ended; got {[e for _, e in self.received]}")
            if pred(ev):
                return ev

    def read_all(self, timeout: float = 15.0) -> list[Event]:
        """Every remaining event up to the end of output."""
        out = []
        deadline = time.monotonic() + timeout
        while True:
            ev = self.read(max(0.01, deadline - time.monotonic()))
            if ev is None:
                return out
            out.append(ev)

    def events(self, timeout: float = 10.0) -> Iterator[Event]:
        """Yields events until the end of output; TimeoutError when `timeout` seconds pass
        without one. The caller may stop iterating at any point."""
        while True:
            ev = self.read(timeout)
            if ev is None:
                return
            yield ev

    # --- the process ------------------------------------------------------------------------
    def wait(self, timeout: float = 15.0) -> int:
        return self.proc.wait(timeout=timeout)

    def poll(self) -> int | None:
        return self.proc.poll()

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        for s in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            pump = self._pumps.get(s)
            if pump is not None:
                # Never close a pipe its reading thread may still be in: the descriptor
                # number would be reused by the next helper's pipe, and the stale thread
                # would steal that helper's first bytes. The pipe ends with the process
                # (or its last holder); one still held open stays open.
                pump.join(timeout=2.0)
                if pump.is_alive():
                    continue
            try:
                if s:
                    s.close()
            except OSError:
                pass  # a broken pipe is closed all the same
