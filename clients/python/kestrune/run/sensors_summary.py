"""A sensor's figures over a step: mean, maximum, time above a threshold, and whether it had
settled.

Steady means the least-squares slope over the step's last 60 s (its judged part, when that
is shorter and `judged_from_s` says where it starts) lies within 0.5 °C a minute."""

from __future__ import annotations

import math

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
    if unit is not None and unit != "c":
        limit_per_min = None
    points = [(float(t), float(v)) for t, v in zip(times, values)
              if v is not None and t is not None and math.isfinite(v) and math.isfinite(t)]
    out = {"mean": None, "max": None, "time_above_s": None, "steady": None, "slope_per_min": None}
    if not points:
        if threshold is not None:
            out["time_above_s"] = 0.0
        return out
    out["mean"] = round(sum(v for _, v in points) / len(points), 3)
    out["max"] = round(max(v for _, v in points), 3)
    if threshold is not None:
        # Each value holds until the next sample, whether that one was read or not.
        above = 0.0
        pairs = list(zip(times, values))
        for (t, v), (t_next, _) in zip(pairs, pairs[1:]):
            if v is not None and t is not None and t_next is not None and v > threshold and t_next > t:
                above += t_next - t
        out["time_above_s"] = round(above, 3)
    end = points[-1][0]
    # Steadiness looks at the last window_s seconds, and never before the step's judged part
    # (its settling time is excluded) when that is given.
    start = end - window_s if judged_from_s is None else max(end - window_s, judged_from_s)
    recent = [(t, v) for t, v in points if t >= start]
    slope = slope_per_min(recent)
    if slope is not None:
        out["slope_per_min"] = round(slope, 3)
        if limit_per_min is not None:
            out["steady"] = abs(slope) <= limit_per_min
    return out
