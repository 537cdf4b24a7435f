"""Each step's figures and verdict, gathered row by row as the run goes, so that what the
runner holds does not grow with the run: a tally per domain and per sensor, not the rows.

A hand-over's gap and the settling after it are not judged. While a gap lasts it is not yet
known where that span ends, so the gap's rows are held (a few seconds' worth) until it does.

A target step that leaves nothing to judge (no reading after its settling time, its domain
not given by the helper) fails: a result that was not measured is never a pass. A step marked
`judge = false` is not judged on its power, but a failed meter still fails it."""

from __future__ import annotations

from collections import deque

from .profile import Profile, effective_target
from .verdict import DomainTally, failure, judge_sensors, step_verdict

# A gap this long is no hand-over gap: its oldest rows are judged rather than held.
MAX_HELD_ROWS = 2400
# The criteria a step marked `judge = false` still answers to: a meter that failed.
KEPT_UNJUDGED = ("readings missing",)
NOT_JUDGED_LIMIT = "readings after its settling time"


class StepTally:
    """One step: `add` its rows in time order, `entry` gives its summary (see `judge_step`).
    `sensor_tally(column, threshold, judged_from_s)` makes what summarises a sensor: an object
    with `add(t, value)` and `result()`."""

    def __init__(self, profile: Profile, index: int, domains, sensor_columns=(), sensor_tally=None):
        self.profile, self.index = profile, index
        step = profile.steps[index - 1]
        self.start, self.end = profile.boundaries()[index - 1]
        self.criteria = profile.criteria(index - 1)
        self.domains = {d: DomainTally(step.domain(d).mode, effective_target(step.domain(d)), self.start,
                                       self.criteria) for d in domains}
        judged_from = self.start + self.criteria.settle_s
        self.sensors = ({c: sensor_tally(c, self.criteria.sensor_max.get(c), judged_from) for c in sensor_columns}
                        if sensor_tally is not None else None)
        self.sensor_results: dict | None = None
        self.rows = 0

    def add(self, row, excluded: bool = False) -> None:
        self.add_sensors(row)
        self.add_domains(row, excluded)

    def add_sensors(self, row) -> None:
        self.rows += 1
        if self.sensors is not None and self.sensor_results is None:
            for c, tally in self.sensors.items():
                tally.add(row.time_s, row.sensors.get(c))

    def add_domains(self, row, excluded: bool) -> None:
        for d, tally in self.domains.items():
            x = row.domains.get(d)
            if x is not None:
                tally.add(row.time_s, x.measured_w, excluded)

    def seal(self) -> None:
        """The step is over: its sensor figures are fixed and their windows let go."""
        if self.sensors is not None and self.sensor_results is None:
            self.sensor_results = {c: t.result() for c, t in self.sensors.items()}
            self.sensors = {}

    def _not_judged(self, info: dict, why: list) -> str | None:
        """Why a target domain that reached the end of its step has nothing judged, or None."""
        if info["within_share"] is not None or why:
            return None
        settle = self.criteria.settle_s
        if self.end - self.start <= settle:
            return f"the step ({self.end - self.start:g} s) is no longer than its settle_s ({settle:g} s)"
        return f"no reading after its settling time ({settle:g} s) outside hand-overs"

    def entry(self, domains, *, completed: bool, meter_failures=(), unavailable=None) -> dict:
        """`unavailable`: loaded domains the helper could not give, with its reason."""
        step = self.profile.steps[self.index - 1]
        entry = {"index": self.index, "name": step.name, "start_s": self.start, "end_s": self.end, "verdict": None,
                 "domains": {}, "sensors": {}, "failed": []}
        judged = False
        failed = []
        for d in domains:
            tally = self.domains.get(d) or DomainTally(step.domain(d).mode, effective_target(step.domain(d)),
                                                       self.start, self.criteria)
            info, why = tally.result()
            if not step.judge:
                why = [f for f in why if f["criterion"] in KEPT_UNJUDGED]
            elif completed and effective_target(step.domain(d)) is not None and (reason := self._not_judged(info, why)):
                why.append(failure("judged", reason, NOT_JUDGED_LIMIT))
            entry["domains"][d] = info
            failed += [{**f, "criterion": f"{d} {f['criterion']}"} for f in why]
            judged = judged or (step.judge and info["within_share"] is not None)
            for t, dd, message in meter_failures:
                meter = {"criterion": f"{d} meter", "measured": message, "limit": "working meter"}
                # A failure repeated in one step is one criterion failed, not one per reading.
                if dd == d and self.start <= t < self.end and step.domain(d).mode != "off" and meter not in failed:
                    failed.append(meter)
        for d, reason in (unavailable or {}).items():
            # A step the run did not complete is incomplete already: that says enough.
            if completed and step.judge and d not in domains and step.domain(d).mode == "target":
                failed.append(failure(f"{d} judged", f"no {d.upper()} load: {reason}", NOT_JUDGED_LIMIT))
        if self.sensors is not None:
            entry["sensors"] = (dict(self.sensor_results) if self.sensor_results is not None
                                else {c: t.result() for c, t in self.sensors.items()})
        if self.criteria.sensor_max and self.rows:
            failed += judge_sensors(entry["sensors"], self.criteria)
            judged = True
        entry["failed"] = failed
        entry["verdict"] = step_verdict(judged, failed, completed)
        return entry


class RunJudge:
    """Every step of a run, fed one row at a time (rows come in time order)."""

    def __init__(self, profile: Profile, domains, sensor_columns=(), sensor_tally=None):
        self.profile = profile
        self._make = lambda i: StepTally(profile, i, domains, sensor_columns, sensor_tally)
        self.steps: dict[int, StepTally] = {}
        self.spans: list[tuple[float, float]] = []   # (from, to) run times not judged
        self.gap_from: float | None = None
        self.held: deque = deque()
        self._last_step = 0

    def tally(self, index: int) -> StepTally:
        if index not in self.steps:
            self.steps[index] = self._make(index)
        return self.steps[index]

    def _excluded(self, t: float) -> bool:
        return any(a <= t < b for a, b in self.spans)

    def add(self, row) -> None:
        if row.step != self._last_step:
            if self._last_step in self.steps:
                self.steps[self._last_step].seal()
            self._last_step = row.step
        tally = self.tally(row.step)
        tally.add_sensors(row)  # sensors are judged through a hand-over
        if self.gap_from is not None:
            self.held.append(row)
            if len(self.held) > MAX_HELD_ROWS:
                old = self.held.popleft()
                self.tally(old.step).add_domains(old, self._excluded(old.time_s))
            return
        # A span that ended before this row cannot hold a later one.
        self.spans = [s for s in self.spans if s[1] > row.time_s]
        tally.add_domains(row, self._excluded(row.time_s))

    def gap_started(self, at_s: float) -> None:
        self.gap_from = at_s

    def gap_ended(self, at_s: float, until_s: float) -> None:
        """The gap that began at `at_s` is over; nothing before `until_s` from it is judged."""
        self.spans.append((at_s, until_s))
        self.gap_from = None
        self._release()

    def _release(self) -> None:
        while self.held:
            row = self.held.popleft()
            self.tally(row.step).add_domains(row, self._excluded(row.time_s))

    def finish(self) -> None:
        """The run is over; a gap that never ended is judged like any other time."""
        self.gap_from = None
        self._release()

    def entry(self, index: int, domains, *, completed: bool, meter_failures=(), unavailable=None) -> dict:
        return self.tally(index).entry(domains, completed=completed, meter_failures=meter_failures,
                                       unavailable=unavailable)

    def entries(self, domains, *, completed_steps: int, meter_failures=(), unavailable=None) -> list[dict]:
        return [self.entry(i, domains, completed=i <= completed_steps, meter_failures=meter_failures,
                           unavailable=unavailable)
                for i in range(1, len(self.profile.steps) + 1)]
