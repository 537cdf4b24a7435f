"""A whole run: start the helper, send the start command, keep the heartbeat, and always end
it, with a stop and its bye when the helper still listens, or by killing it."""

from __future__ import annotations

import subprocess
import time

from . import commands
from .events import Bye, Hello
from .heartbeat import Heartbeat
from .helper import Helper


class StartFailed(RuntimeError):
    """The helper ended or said nothing instead of its hello; `bye` holds its last word."""

    def __init__(self, message: str, bye: Bye | None = None, code: int | None = None):
        super().__init__(message)
        self.bye = bye
        self.code = code


class Session:
    """`with Session(runner, cpu=True) as s:` gives a started helper (`s.hello`) with a
    heartbeat thread running. Leaving the block stops it: a stop command, the events up to
    the bye (kept in `s.bye`, the exit code in `s.code`), and a kill if it will not end."""

    def __init__(self, runner, *, cpu=False, gpu=False, workers=None, hb_timeout_ms=None, max_run_s=None,
                 nonce="kestrune", adapter_hint=None, hb_period=0.3, hello_timeout=30.0, stop_timeout=10.0,
                 start=None):
        self.runner = runner
        self._start_kw = dict(cpu=cpu, gpu=gpu, workers=workers, hb_timeout_ms=hb_timeout_ms,
                              max_run_s=max_run_s, nonce=nonce, adapter_hint=adapter_hint)
        self._start_helper = start or runner.start_helper
        self.hb_period = hb_period
        self.hello_timeout = hello_timeout
        self.stop_timeout = stop_timeout
        self.helper: Helper | None = None
        self.heartbeat: Heartbeat | None = None
        self.hello: Hello | None = None
        self.bye: Bye | None = None
        self.code: int | None = None
        self._seq = 0

    # --- start ------------------------------------------------------------------------------
    def __enter__(self) -> "Session":
        self.helper = self._start_helper()
        try:
            self.heartbeat = Heartbeat(self.helper, self.hb_period).start()
            self.helper.send(commands.start_cmd(self.runner.parent_pid(self.helper), **self._start_kw))
            self.hello = self._await_hello()
        except BaseException:
            self.close()
            raise
        return self

    def _await_hello(self) -> Hello:
        deadline = time.monotonic() + self.hello_timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise StartFailed(f"no hello within {self.hello_timeout} s")
            ev = self.helper.read(left)
            if ev is None or isinstance(ev, Bye):
                self.bye = ev
                self.code = self.helper.wait(self.stop_timeout)
                why = ev.why if ev else "end of output"
                raise StartFailed(f"the helper ended before its hello: {why} (exit code {self.code})",
                                  ev, self.code)
            if isinstance(ev, Hello):
                return ev
            # An error event before the hello (a bad line, say) does not end the start.

    # --- commands ---------------------------------------------------------------------------
    def set(self, cpu: commands.Domain | None = None, gpu: commands.Domain | None = None) -> int:
        """Sends a set command with the next sequence number and returns that number."""
        self._seq += 1
        self.helper.send(commands.set_cmd(self._seq, cpu, gpu))
        return self._seq

    def power(self, cpu_w: float | None = None, gpu_w: float | None = None, at_ms: int | None = None) -> None:
        self.helper.send(commands.power_cmd(cpu_w, gpu_w, at_ms))

    def events(self, timeout: float = 10.0):
        """The helper's events as they come; see `Helper.events`. A bye is kept in `bye`."""
        for ev in self.helper.events(timeout):
            if isinstance(ev, Bye):
                self.bye = ev
            yield ev

    # --- end --------------------------------------------------------------------------------
    def stop(self) -> int:
        """Ends the run; returns the helper's exit code. Safe to call more than once."""
        if self.helper is None:
            raise RuntimeError("the session was never started")
        if self.code is not None:
            return self.code
        if self.heartbeat is not None:
            self.heartbeat.stop()
        h = self.helper
        if h.poll() is None:
            h.send(commands.stop_cmd())
        deadline = time.monotonic() + self.stop_timeout
        try:
            while True:
                ev = h.read(max(0.01, deadline - time.monotonic()))
                if ev is None:
                    break
                if isinstance(ev, Bye):
                    self.bye = ev
        except (TimeoutError, ValueError):
            pass
        try:
            self.code = h.wait(max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            h.kill()
            self.code = h.proc.returncode
        return self.code

    def close(self) -> None:
        if self.helper is None:
            return
        try:
            self.stop()
        finally:
            self.helper.__exit__(None, None, None)

    def __exit__(self, *exc):
        self.close()
