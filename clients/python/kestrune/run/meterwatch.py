"""Watches the power meters while a run goes: each reading checked against what the helper
accepts, each meter's own problems collected, a meter gone silent noticed. A reading stands
in the record for two intervals at most (half a second for short intervals): after that, or
after any problem, the record has no reading, never the last good one."""

from __future__ import annotations

from dataclasses import dataclass

from .power import Meter, reading_problem

DEFAULT_TIMEOUT_S = 2.0   # as long as the helper keeps a reading fresh
TIMEOUT_INTERVALS = 4


def meter_timeout(interval_s: float, timeout_s: float | None) -> float:
    """The silence after which a meter has failed: the profile's, else a few intervals and
    no less than the helper's own freshness limit."""
    return timeout_s if timeout_s is not None else max(DEFAULT_TIMEOUT_S, TIMEOUT_INTERVALS * interval_s)


@dataclass(frozen=True)
class MeterProblem:
    domain: str
    message: str            # one line: which meter, what went wrong
    stderr_tail: str | None


class MeterWatch:
    def __init__(self, meters: dict[str, Meter], timeout_s: float, interval_s: float, now: float):
        self.meters = meters
        self.timeout_s = timeout_s
        self.stands_s = min(timeout_s, max(2 * interval_s, 0.5))
        self._last_good = {d: now for d in meters}
        self._latest: dict[str, tuple[float, float] | None] = {d: None for d in meters}
        self._failing = {d: False for d in meters}

    def _problem(self, d: str, text: str) -> MeterProblem:
        self._failing[d] = True
        self._latest[d] = None
        m = self.meters[d]
        return MeterProblem(d, f"{m.describe()} for {d} {text}", m.stderr_tail())

    def poll(self, now: float) -> tuple[dict[str, float], list[MeterProblem]]:
        """This interval's good readings and the problems that began in it."""
        readings, problems = {}, []
        for d, m in self.meters.items():
            w = m.read(now)
            text = m.problem()
            if w is not None:
                bad = reading_problem(w)
                if bad is not None:
                    text, w = text or bad, None
            if text is not None:
                problems.append(self._problem(d, text))
            if w is not None:
                readings[d] = w
                self._latest[d] = (now, w)
                self._last_good[d] = now
                self._failing[d] = False
            elif not self._failing[d] and now - self._last_good[d] > self.timeout_s:
                problems.append(self._problem(d, f"gave no reading for {now - self._last_good[d]:.1f} s"))
        return readings, problems

    def resume(self, now: float) -> None:
        """After a pause the runner caused (a hand-over), silence is counted afresh."""
        for d in self.meters:
            self._last_good[d] = max(self._last_good[d], now)

    def measured(self, now: float) -> dict[str, float | None]:
        out = {}
        for d, latest in self._latest.items():
            out[d] = latest[1] if latest is not None and now - latest[0] <= self.stands_s else None
        return out
