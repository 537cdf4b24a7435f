"""Safety limits: sensors that must stay at or under a value for the machine's sake.

A step's `sensor_max` judges the step; a `[safety]` limit protects the machine. It is
checked at every sample, and the first reading over its limit stops the load at once and
ends the run (exit code 5). A limited sensor that gives no reading for `BLIND_S` stops the
run as well: a limit that cannot be watched protects nothing."""

from __future__ import annotations

from dataclasses import dataclass

BLIND_S = 5.0

# How near a reading is to its limit, for the live view: over it, within 5 % of it, within 15 %.
OVER, NEAR, CLOSE, CLEAR = "over", "near", "close", "clear"


@dataclass(frozen=True)
class Trip:
    column: str
    value: float | None       # the reading that crossed; None when the sensor could not be read
    limit: float
    at_s: float               # the sample's run time
    utc: str                  # the sample's wall-clock time

    def message(self, unit: str = "") -> str:
        if self.value is None:
            return (f"safety limit: {self.column} gave no reading for {BLIND_S:g} s, so its limit "
                    f"{self.limit:g}{unit} cannot be watched: stopping the load")
        return (f"safety limit: {self.column} read {self.value:g}{unit} at {self.at_s:.2f} s, over its limit "
                f"{self.limit:g}{unit}: stopping the load")

    def to_json(self) -> dict:
        return {"column": self.column, "value": self.value, "limit": self.limit, "at_s": round(self.at_s, 3),
                "utc": self.utc}


class SafetyWatch:
    """`check(values, at_s, utc)` after each sample: the first limit crossed, else None."""

    def __init__(self, limits: dict[str, float], blind_s: float = BLIND_S):
        self.limits = dict(limits)
        self.blind_s = blind_s
        self._missing_since: dict[str, float] = {}

    def check(self, values: dict, at_s: float, utc: str) -> Trip | None:
        for column, limit in self.limits.items():
            value = values.get(column)
            if value is None:
                since = self._missing_since.setdefault(column, at_s)
                if at_s - since >= self.blind_s:
                    return Trip(column, None, limit, at_s, utc)
                continue
            self._missing_since.pop(column, None)
            if value > limit:
                return Trip(column, value, limit, at_s, utc)
        return None


def nearness(value: float | None, limit: float) -> str:
    """OVER, NEAR (within 5 % of the limit's size), CLOSE (within 15 %) or CLEAR; under a limit
    of 0 (no throttling at all) there is nothing to near."""
    if value is None:
        return CLEAR
    if value > limit:
        return OVER
    room = limit - value
    size = abs(limit)
    if size == 0:
        return CLEAR
    if room <= 0.05 * size:
        return NEAR
    return CLOSE if room <= 0.15 * size else CLEAR
