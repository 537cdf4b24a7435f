"""How long a hand-over really costs: the gap without load is only its start. The new helper's
regulator begins again from duty 0, so the readings of a step with a target take a while to be
back in its band; `resettle_s` is that time, counted from the hand-over's start."""

from __future__ import annotations

from .verdict import in_band

# Back in the band means staying there: a reading that passes through the band while
# overshooting does not end the resettling.
HOLD_S = 1.0


class Resettle:
    """One hand-over: `add` each status's readings in time order until `done`; `finish` when
    the step, the run or the session ends first. `targets` maps each domain that has a target
    in the step in force to (watts, tolerance in %); with none, there is nothing to settle to."""

    def __init__(self, entry: dict, at_s: float, targets: dict[str, tuple[float, float]]):
        self.entry, self.at_s, self.targets = entry, at_s, targets
        self.first_in: float | None = None
        self.done = not targets
        entry["resettle_s"] = None
        entry["back_in_band"] = None if not targets else False

    def add(self, t: float, measured: dict) -> None:
        if self.done:
            return
        inside = all(measured.get(d) is not None and in_band(measured[d], w, tol)
                     for d, (w, tol) in self.targets.items())
        if not inside:
            self.first_in = None
            return
        if self.first_in is None:
            self.first_in = t
        if t - self.first_in >= HOLD_S:
            self._settled()

    def finish(self) -> None:
        """Ends the count: readings in the band at the end count as back, since when they entered it."""
        if not self.done and self.first_in is not None:
            self._settled()
        self.done = True

    def _settled(self) -> None:
        self.entry["resettle_s"] = round(max(0.0, self.first_in - self.at_s), 3)
        self.entry["back_in_band"] = True
        self.done = True
