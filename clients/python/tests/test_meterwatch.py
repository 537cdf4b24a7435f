"""The meter watch: which readings reach the helper and the record, and which problems are
reported, for scripted meters on a scripted clock."""

import pytest

from kestrune.run.meterwatch import MeterWatch, meter_timeout
from kestrune.run.power import Meter


class Scripted(Meter):
    """Gives readings and problems from a script: one (watts or None, problem or None) a poll."""

    def __init__(self, script):
        self.script = list(script)
        self._problem = None

    def read(self, now):
        w, self._problem = self.script.pop(0) if self.script else (None, None)
        return w

    def problem(self):
        return self._problem

    def stderr_tail(self):
        return "tail"

    def describe(self):
        return "meter m"


@pytest.mark.parametrize("script, problems, measured", [
    # good readings stand in the record
    ([(20.0, None), (21.0, None)], [], [20.0, 21.0]),
    # out of range or not finite: never passed on, reported at once
    ([(20.0, None), (-5.0, None)], ["meter m for cpu gave -5 W, outside 0..5000 W"], [20.0, None]),
    ([(99999.0, None)], ["meter m for cpu gave 99999 W, outside 0..5000 W"], [None]),
    ([(float("nan"), None)], ["meter m for cpu gave nan W, outside 0..5000 W"], [None]),
    # the meter's own problem; a later good reading recovers
    ([(20.0, None), (None, "exited with code 3"), (22.0, None)], ["meter m for cpu exited with code 3"],
     [20.0, None, 22.0]),
    # silent: a reading stands two intervals, and after the time-out the meter has failed (once)
    ([(20.0, None)] + [(None, None)] * 9, ["meter m for cpu gave no reading for 2.2 s"],
     [20.0, 20.0, 20.0, None, None, None, None, None, None, None]),
])
def test_readings_and_problems(script, problems, measured):
    watch = MeterWatch({"cpu": Scripted(script)}, timeout_s=meter_timeout(0.25, None), interval_s=0.25, now=0.0)
    seen, got = [], []
    for i in range(len(script)):
        now = i * 0.25
        _, new = watch.poll(now)
        seen += [p.message for p in new]
        assert all(p.stderr_tail == "tail" and p.domain == "cpu" for p in new)
        got.append(watch.measured(now)["cpu"])
    assert seen == problems
    assert got == measured


@pytest.mark.parametrize("interval, given, timeout", [(0.25, None, 2.0), (1.0, None, 4.0), (0.25, 5.0, 5.0)])
def test_the_silence_limit(interval, given, timeout):
    assert meter_timeout(interval, given) == timeout


def test_a_pause_the_runner_caused_is_not_silence():
    watch = MeterWatch({"cpu": Scripted([(20.0, None), (None, None), (None, None)])}, 2.0, 0.25, 0.0)
    watch.poll(0.0)
    watch.resume(3.0)
    assert watch.poll(3.1) == ({}, [])
    assert [p.message for p in watch.poll(5.2)[1]] == ["meter m for cpu gave no reading for 2.2 s"]
