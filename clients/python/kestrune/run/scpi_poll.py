"""An SCPI instrument asked for its readings on a thread of its own, so that an instrument
that is slow or silent never holds up the run: the runner takes the newest answer each
interval, or the problem that came instead.

After each answer the error queue is asked (`SYST:ERR?`): a reading the instrument itself
flags is no reading. A failure is said once until the instrument answers well again; a lost
connection is opened again, at most once a second."""

from __future__ import annotations

import threading

from .scpi import Instrument, ScpiError, numbers

POLL_S = 0.1          # the pause between two queries that were answered
REOPEN_S = 1.0


class Poller:
    def __init__(self, instrument: Instrument, query: str, count: int | None = None):
        self.instrument, self.query, self.count = instrument, query, count
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._values: list[float] | None = None
        self._fresh = False
        self._problems: list[str] = []
        self._failing = False
        self._thread: threading.Thread | None = None

    def first(self) -> list[float]:
        """One reading before the run starts; ScpiError when there is none."""
        values = numbers(self.instrument.query(self.query), self.count)
        self.instrument.check_errors()
        return values

    def start(self) -> None:
        self._thread = threading.Thread(target=self._run, name="kestrune-scpi", daemon=True)
        self._thread.start()

    def _fail(self, why: str) -> None:
        with self._lock:
            self._values, self._fresh = None, False
            if not self._failing:
                self._problems.append(why)
            self._failing = True

    def _run(self) -> None:
        broken = False
        while not self._stop.is_set():
            try:
                if broken:
                    self.instrument.close()
                    self.instrument.open()
                    broken = False
                values = numbers(self.instrument.query(self.query), self.count)
                self.instrument.check_errors()
            except ScpiError as e:
                if broken and "cannot open" in str(e):
                    e = ScpiError(f"lost: {e}", broken=True)
                self._fail(str(e))
                broken = e.broken
                self._stop.wait(REOPEN_S if broken else POLL_S)
                continue
            with self._lock:
                self._values, self._fresh, self._failing = values, True, False
            self._stop.wait(POLL_S)

    def take(self) -> tuple[list[float] | None, str | None]:
        """The newest answer not yet taken (None when none came) and the oldest problem not
        yet said."""
        with self._lock:
            problem = self._problems.pop(0) if self._problems else None
            if not self._fresh:
                return None, problem
            self._fresh = False
            return self._values, problem

    def close(self) -> None:
        self._stop.set()
        if self._thread is not None:
            # Bounded: a query in flight ends by its own time-out.
            self._thread.join(self.instrument.timeout_s * 2 + REOPEN_S + 1)
        self.instrument.close()
