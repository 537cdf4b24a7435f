"""Whether a step did what it asked: pure functions of the readings, the step's times and its
criteria, used for the final verdicts and, through `Running`, for the live view.

A power domain in target mode is judged on the readings after its settling time: their mean,
the share of them within the tolerance band, and optionally the mean's error. Missing
readings in that window (a meter that failed) fail the step. Sensor limits are judged on the
step's sensor summaries. A step the run did not complete is "incomplete", never a pass."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

PASS, FAIL, UNJUDGED, INCOMPLETE = "pass", "fail", "unjudged", "incomplete"

# The running states shown while a step runs (the same words as the live view's).
SETTLING, PASSING, FAILING = "settling", "passing", "failing"


@dataclass(frozen=True)
class Criteria:
    tolerance_pct: float = 3.0             # the band: ± this share of the target
    settle_s: float = 3.0                  # seconds after the step's start not judged
    within_share: float | None = 0.9       # share of judged readings that must lie in the band
    max_error_pct: float | None = None     # bound on |mean - target| in % of the target
    settle_within_s: float | None = None   # latest the readings may enter the band for good
    sensor_max: dict = field(default_factory=dict)  # sensor column -> highest allowed value

    def merged(self, overrides: dict) -> "Criteria":
        """These criteria with a step's own settings on top (sensor limits merged by column)."""
        values = {k: getattr(self, k) for k in ("tolerance_pct", "settle_s", "within_share", "max_error_pct",
                                                "settle_within_s")}
        values.update({k: v for k, v in overrides.items() if k != "sensor_max"})
        return Criteria(**values, sensor_max={**self.sensor_max, **overrides.get("sensor_max", {})})


def failure(criterion: str, measured, limit) -> dict:
    return {"criterion": criterion, "measured": measured, "limit": limit}


def in_band(w: float, target: float, tolerance_pct: float) -> bool:
    return abs(w - target) <= abs(target) * tolerance_pct / 100.0


def settle_time(samples, target: float, start: float, tolerance_pct: float, excluded=()) -> float | None:
    """Seconds from `start` until the readings entered the band and stayed there to the last
    reading; None when the last reading is outside it (or there is none). Missing readings
    (None) and readings in `excluded` spans (a hand-over and its settling) are passed over."""
    tally = DomainTally("target", target, start, Criteria(tolerance_pct=tolerance_pct))
    for t, w in samples:
        tally.add(t, w, _excluded(t, excluded))
    return None if tally.first_in is None else round(max(0.0, tally.first_in - start), 3)


def _excluded(t: float, spans) -> bool:
    return any(a <= t < b for a, b in spans)


def _r(value, digits=3):
    return None if value is None else round(value, digits)


def judge_domain(mode: str, target: float | None, samples, start: float, criteria: Criteria,
                 excluded=()) -> tuple[dict, list[dict]]:
    """One domain of one step: its summary (mode, target_w, mean_w, stdev_w, error_pct,
    settle_s, within_share, missing) and the criteria it failed. `samples` are (time, watts or
    None) pairs of the step; `excluded` spans of time (a hand-over and its settling) are not
    judged."""
    tally = DomainTally(mode, target, start, criteria)
    for t, w in samples:
        tally.add(t, w, _excluded(t, excluded))
    return tally.result()


class DomainTally:
    """`judge_domain` one reading at a time, in constant memory: a step may last for hours.
    Readings come in time order."""

    def __init__(self, mode: str, target: float | None, start: float, criteria: Criteria):
        self.mode, self.target, self.start, self.criteria = mode, target, start, criteria
        self.judged_from = start + criteria.settle_s
        self.n = self.in_band = self.missing = 0
        self.total = 0.0
        self._mean = self._m2 = 0.0          # Welford's running mean and sum of squared deviations
        self.first_in: float | None = None   # when the readings last entered the band

    def add(self, t: float, w: float | None, excluded: bool = False) -> None:
        if excluded:
            return
        inside = w is not None and self.target is not None and in_band(w, self.target, self.criteria.tolerance_pct)
        if w is not None and self.target is not None:
            if not inside:
                self.first_in = None
            elif self.first_in is None:
                self.first_in = t
        if t < self.judged_from:
            return
        if w is None:
            self.missing += 1
            return
        self.n += 1
        self.total += w
        delta = w - self._mean
        self._mean += delta / self.n
        self._m2 += delta * (w - self._mean)
        self.in_band += inside

    def result(self) -> tuple[dict, list[dict]]:
        mean = self.total / self.n if self.n else None
        stdev = math.sqrt(max(0.0, self._m2) / self.n) if self.n else None
        out = {"mode": self.mode, "target_w": self.target, "mean_w": _r(mean), "stdev_w": _r(stdev),
               "error_pct": None, "settle_s": None, "within_share": None, "missing": self.missing}
        failed = []
        if self.mode != "off" and self.missing:
            failed.append(failure("readings missing", self.missing, 0))
        if self.target is None or mean is None:
            return out, failed
        c = self.criteria
        error = (mean - self.target) / self.target * 100.0
        share = self.in_band / self.n
        settle = None if self.first_in is None else round(max(0.0, self.first_in - self.start), 3)
        out.update(error_pct=_r(error, 2), within_share=_r(share), settle_s=settle)
        if c.within_share is not None and share < c.within_share:
            failed.append(failure(f"share within ±{c.tolerance_pct:g} %", _r(share), c.within_share))
        if c.max_error_pct is not None and abs(error) > c.max_error_pct:
            failed.append(failure("mean error %", _r(error, 2), c.max_error_pct))
        if c.settle_within_s is not None and (settle is None or settle > c.settle_within_s):
            failed.append(failure("settled within s", "never" if settle is None else settle, c.settle_within_s))
        return out, failed


def judge_sensors(summaries: dict, criteria: Criteria) -> list[dict]:
    """The sensor limits a step broke; a limited sensor with no reading breaks its limit."""
    failed = []
    for column, limit in criteria.sensor_max.items():
        top = (summaries.get(column) or {}).get("max")
        if top is None or top > limit:
            failed.append(failure(f"{column} max", top, limit))
    return failed


def step_verdict(judged: bool, failed: list, completed: bool) -> str:
    """A step the run did not complete is incomplete; otherwise any failed criterion fails
    it, and a step with nothing to judge is unjudged."""
    if not completed:
        return INCOMPLETE
    if failed:
        return FAIL
    return PASS if judged else UNJUDGED


class Running:
    """A target domain's verdict as a step runs: the judged mean's error and whether the
    readings so far meet the criteria. Constant work per reading."""

    def __init__(self, target: float, start: float, criteria: Criteria):
        self.target, self.start, self.criteria = target, start, criteria
        self.n = self.in_band = self.missing = 0
        self.total = 0.0

    def add(self, t: float, w: float | None) -> None:
        if t < self.start + self.criteria.settle_s:
            return
        if w is None:
            self.missing += 1
            return
        self.n += 1
        self.total += w
        self.in_band += in_band(w, self.target, self.criteria.tolerance_pct)

    def state(self) -> tuple[float | None, str]:
        """(error of the judged mean in %, SETTLING / PASSING / FAILING)."""
        if self.n == 0:
            return None, FAILING if self.missing else SETTLING
        error = (self.total / self.n - self.target) / self.target * 100.0
        c = self.criteria
        ok = (not self.missing
              and (c.within_share is None or self.in_band / self.n >= c.within_share)
              and (c.max_error_pct is None or abs(error) <= c.max_error_pct))
        return round(error, 2), PASSING if ok else FAILING
