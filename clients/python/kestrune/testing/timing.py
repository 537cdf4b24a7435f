"""The yardstick of every test with a time bound.

A bound is judged as "what the rule allows, plus the delay the machine imposed in that same
span": a busy machine then fails no correct test, and a quiet one still catches a slow path.
Where the machine withheld more than the bound itself, the test cannot judge and skips with
the figures.
"""
import threading
import time
from pathlib import Path

_STEP_S = 0.001
# How late a sleep may wake by itself, where the kernel's own account is not readable.
_GRANULARITY_S = 0.001


def _run_wait_s():
    """The calling thread's run-queue wait so far (Linux), or None."""
    try:
        fields = Path(f"/proc/self/task/{threading.get_native_id()}/schedstat").read_text().split()
        return int(fields[1]) / 1e9
    except (OSError, IndexError, ValueError):
        return None


class MachineDelay:
    """How long the machine kept this test's threads from running, over a `with` block.

    The run-queue wait the kernel accounts for the thread that entered the block, plus that
    of a witness thread which wakes every millisecond beside it and so stands for the
    processes the test drives (a helper, a runner). The kernel's account leaves out waits
    for Python's own lock; where it is not readable, every wake of the witness later than a
    sleep's granularity counts whole.
    """

    def __init__(self):
        self.own_s = self.witness_s = self.worst_late_s = 0.0
        self.wakes = 0
        self._done = threading.Event()
        self._thread = None

    def start(self):
        """Begins the span (also what entering a `with` block does)."""
        self._own0 = _run_wait_s()
        self._thread = threading.Thread(target=self._witness, name="delay-witness", daemon=True)
        self._thread.start()
        return self

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()
        return False

    def stop(self):
        """Ends the span (only the first call does); returns the delay in seconds."""
        if self._thread is not None:
            own = _run_wait_s()
            self.own_s = own - self._own0 if own is not None and self._own0 is not None else 0.0
            self._done.set()
            self._thread.join()
            self._thread = None
        return self.seconds

    @property
    def seconds(self):
        return self.own_s + self.witness_s

    def figures(self):
        return (f"machine delay {self.seconds * 1000:.1f} ms (this thread waited "
                f"{self.own_s * 1000:.1f} ms to run, a witness {self.witness_s * 1000:.1f} ms; "
                f"its worst wake {self.worst_late_s * 1000:.1f} ms late of {self.wakes})")

    def _witness(self):
        start, stalls = _run_wait_s(), 0.0
        while not self._done.is_set():  # ends with the span
            t0 = time.monotonic()
            time.sleep(_STEP_S)
            late = max(0.0, time.monotonic() - t0 - _STEP_S)
            self.worst_late_s = max(self.worst_late_s, late)
            if late > _GRANULARITY_S:
                stalls += late
            self.wakes += 1
        end = _run_wait_s()
        self.witness_s = end - start if start is not None and end is not None else stalls


def judge(took_s, bound_s, delay, what):
    """Asserts that `took_s` is within `bound_s` plus the delay measured over the same span.
    A time over the bound where that delay alone reached the bound cannot be judged: the
    test skips with the figures."""
    import pytest

    delay.stop()
    if took_s > bound_s and delay.seconds >= bound_s:
        pytest.skip(f"the machine gave too little to judge {what}: {took_s:.3f} s against "
                    f"{bound_s:.3f} s, {delay.figures()}")
    assert took_s <= bound_s + delay.seconds, (
        f"{what} took {took_s:.3f} s against {bound_s:.3f} s plus the {delay.figures()}")
