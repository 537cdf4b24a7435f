"""A sensor's figures over a step: mean, maximum, time above a threshold, and whether it had
settled.

Steady means the least-squares slope over the step's last 60 s (its judged part, when that
is shorter and `judged_from_s` says where it starts) lies within 0.5 °C a minute."""

from __future__ import annotations

import math
from collections import deque

STEADY_WINDOW_S = 60.0
STEADY_LIMIT_PER_MIN = 0.5


def slope_per_min(points: list[tuple[float, float]]) -> float | None:
    """Least-squares slope of (seconds, value) points, in value per minute; None with fewer
    than two distinct times."""
    if len(points) < 2:
        return None
    n = len(points)
    mt = sum(t for t, _ in points) / n
    mv = sum(v for _, v in points) / n
    var = sum((t - mt) ** 2 for t, _ in points)
    if var <= 0:
        return None
    return 60.0 * sum((t - mt) * (v - mv) for t, v in points) / var


def summarise(times, values, threshold: float | None = None, *, unit: str | None = None,
              judged_from_s: float | None = None, window_s: float = STEADY_WINDOW_S,
              limit_per_min: float | None = STEADY_LIMIT_PER_MIN) -> dict:
    """Figures over paired samples in time order; a None value (missing) is left out. `time_above_s` counts
    the time from each sample above the threshold to the next sample; None without a
    threshold. `steady` is None when there is too little to judge, or `limit_per_min` is None
    or `unit` names something other than a temperature ("c"): steadiness is judged for
    temperatures only."""
    tally = SensorTally(threshold, unit=unit, judged_from_s=judged_from_s, window_s=window_s,
                        limit_per_min=limit_per_min)
    for t, v in zip(times, values):
        tally.add(t, v)
    return tally.result()


class SensorTally:
    """`summarise` one sample at a time, holding only the samples of the steadiness window:
    a step may last for hours."""

    def __init__(self, threshold: float | None = None, *, unit: str | None = None, judged_from_s: float | None = None,
                 window_s: float = STEADY_WINDOW_S, limit_per_min: float | None = STEADY_LIMIT_PER_MIN):
        self.threshold, self.judged_from_s, self.window_s = threshold, judged_from_s, window_s
        self.limit_per_min = None if unit is not None and unit != "c" else limit_per_min
        self.n = 0
        self.total = 0.0
        self.top: float | None = None
        self.above = 0.0
        self._previous = None             # the last sample, read or not: it holds until this one
        self._recent: deque = deque()     # readings within window_s of the last one

    def add(self, t, v) -> None:
        prev, self._previous = self._previous, (t, v)
        if self.threshold is not None and prev is not None:
            tp, vp = prev
            # Each value holds until the next sample, whether that one was read or not.
            if vp is not None and tp is not None and t is not None and vp > self.threshold and t > tp:
                self.above += t - tp
        if v is None or t is None or not math.isfinite(v) or not math.isfinite(t):
            return
        t, v = float(t), float(v)
        self.n += 1
        self.total += v
        self.top = v if self.top is None else max(self.top, v)
        # Steadiness looks at the last window_s seconds, and never before the step's judged
        # part (its settling time is excluded) when that is given.
        if self.judged_from_s is None or t >= self.judged_from_s:
            self._recent.append((t, v))
        while self._recent and self._recent[0][0] < t - self.window_s:
            self._recent.popleft()

    def result(self) -> dict:
        out = {"mean": None, "max": None, "time_above_s": None, "steady": None, "slope_per_min": None}
        if not self.n:
            if self.threshold is not None:
                out["time_above_s"] = 0.0
            return out
        out["mean"] = round(self.total / self.n, 3)
        out["max"] = round(self.top, 3)
        if self.threshold is not None:
            out["time_above_s"] = round(self.above, 3)
        slope = slope_per_min(list(self._recent))
        if slope is not None:
            out["slope_per_min"] = round(slope, 3)
            if self.limit_per_min is not None:
                out["steady"] = abs(slope) <= self.limit_per_min
        return out
