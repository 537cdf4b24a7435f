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
    sensor_max: dict = field(default_factory=dict)  # sensor column -> highest allowed value

    def merged(self, overrides: dict) -> "Criteria":
        """These criteria with a step's own settings on top (sensor limits merged by column)."""
        values = {k: getattr(self, k) for k in ("tolerance_pct", "settle_s", "within_share", "max_error_pct")}
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
    first_in = None
    for t, w in samples:
        if w is None or _excluded(t, excluded):
            continue
        if in_band(w, target, tolerance_pct):
            if first_in is None:
                first_in = t
        else:
            first_in = None
    return None if first_in is None else round(max(0.0, first_in - start), 3)


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
    judged_from = start + criteria.settle_s
    judged = [(t, w) for t, w in samples if t >= judged_from and not _excluded(t, excluded)]
    values = [w for _, w in judged if w is not None]
    missing = len(judged) - len(values)
    mean = sum(values) / len(values) if values else None
    stdev = math.sqrt(sum((w - mean) ** 2 for w in values) / len(values)) if values else None
    out = {"mode": mode, "target_w": target, "mean_w": _r(mean), "stdev_w": _r(stdev), "error_pct": None,
           "settle_s": None, "within_share": None, "missing": missing}
    failed = []
    if mode != "off" and missing:
        failed.append(failure("readings missing", missing, 0))
    if target is None or mean is None:
        return out, failed
    error = (mean - target) / target * 100.0
    share = sum(1 for w in values if in_band(w, target, criteria.tolerance_pct)) / len(values)
    out.update(error_pct=_r(error, 2), within_share=_r(share), settle_s=settle_time(samples, target, start,
                                                                                   criteria.tolerance_pct, excluded))
    if criteria.within_share is not None and share < criteria.within_share:
        failed.append(failure(f"share within ±{criteria.tolerance_pct:g} %", _r(share), criteria.within_share))
    if criteria.max_error_pct is not None and abs(error) > criteria.max_error_pct:
        failed.append(failure("mean error %", _r(error, 2), criteria.max_error_pct))
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
