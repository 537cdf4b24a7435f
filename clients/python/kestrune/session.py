"""A whole run: start the helper, send the start command, keep the heartbeat, and always end
it, with a stop and its bye when the helper still listens, or by killing it."""

from __future__ import annotations

import subprocess
import time

from . import commands
from .events import Ack, Bye, Hello
from .heartbeat import Heartbeat
from .helper import Helper
from .runner import Runner


class StartFailed(RuntimeError):
    """The helper ended or said nothing instead of its hello; `bye` holds its last word."""

    def __init__(self, message: str, bye: Bye | None = None, code: int | None = None):
        super().__init__(message)
        self.bye = bye
        self.code = code


class SetNotAcknowledged(RuntimeError):
    """No ack came for a set command, however often it was sent; `run_ended` when the
    helper's output ended or its bye came first."""

    def __init__(self, message: str, run_ended: bool = False):
        super().__init__(message)
        self.run_ended = run_ended


class Session:
    """`with Session(runner, cpu=True) as s:` gives a started helper (`s.hello`) with a
    heartbeat thread running. Leaving the block stops it: a stop command, the events up to
    the bye (kept in `s.bye`, the exit code in `s.code`), and a kill if it will not end.

    `set` waits for the ack of its set command; the helper drops events while its output
    queue is full, an ack among them, so after `ack_timeout` seconds without the ack the
    command goes again with a new, higher sequence number, `set_tries` times at most."""

    def __init__(self, runner: Runner, *, cpu=False, gpu=False, workers=None, hb_timeout_ms=None, max_run_s=None,
                 nonce="kestrune", adapter_hint=None, hb_period=0.3, hello_timeout=30.0, stop_timeout=10.0,
                 start=None, ack_timeout=1.0, set_tries=5):
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
        self.ack_timeout = ack_timeout
        self.set_tries = set_tries
        self.resends = 0  # set commands sent again for want of an ack, over the session
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
        """Sends a set command and waits for its ack; returns the sequence number acked.

        Resending is safe: every try carries the same settings under a higher number, so a
        late ack of an earlier try confirms them as well. Other events that come meanwhile
        are kept, in order, for the next read. SetNotAcknowledged when no try is acked or
        the run ends first."""
        sent: list[int] = []
        for attempt in range(self.set_tries):
            if attempt:
                self.resends += 1
            self._seq += 1
            sent.append(self._seq)
            self.helper.send(commands.set_cmd(self._seq, cpu, gpu))
            acked = self._await_ack(sent)
            if acked is not None:
                return acked
        raise SetNotAcknowledged(f"no ack for set command {self._describe(sent)}: sent {len(sent)} times, "
                                 f"{self.ack_timeout:g} s each")

    def _await_ack(self, sent: list[int]) -> int | None:
        """Reads until an ack of one of `sent`; None after `ack_timeout`. Every other event,
        those held from before included, is held again in order for the next reader."""
        h = self.helper
        kept: list = []
        deadline = time.monotonic() + self.ack_timeout
        try:
            while (left := deadline - time.monotonic()) > 0:
                try:
                    got = h.read_timed(left)
                except TimeoutError:
                    return None
                if got is None:
                    raise SetNotAcknowledged(f"the helper's output ended before an ack of set command "
                                             f"{self._describe(sent)}", run_ended=True)
                arrived, ev = got
                if isinstance(ev, Ack) and ev.seq in sent:
                    return ev.seq
                kept.append(got)
                if isinstance(ev, Bye):
                    raise SetNotAcknowledged(f"the helper ended the run ({ev.why}) before an ack of set command "
                                             f"{self._describe(sent)}", run_ended=True)
            return None
        finally:
            for arrived, ev in kept:
                h.hold(arrived, ev)

    @staticmethod
    def _describe(sent: list[int]) -> str:
        return f"seq {sent[0]}" if len(sent) == 1 else f"seq {sent[0]} to {sent[-1]}"

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
