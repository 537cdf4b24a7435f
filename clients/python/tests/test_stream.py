"""The record as the run goes: run.csv and events.jsonl streamed under a temporary name and
flushed every few seconds, a write that fails moving the record without losing a line, steps
judged row by row exactly as from every row, and memory that does not grow with the run."""

import csv
import errno
import os
import tracemalloc

import pytest

from kestrune.run import stream
from kestrune.run.profile import parse
from kestrune.run.record import DomainRow, Row, RowLog, summarize_steps
from kestrune.run.sensors_summary import SensorTally, summarise
from kestrune.run.steps import RunJudge
from kestrune.run.stream import FLUSH_S, Fallback, PartialFile

DOMAINS = ("cpu", "gpu")
SENSORS = ["cpu_temp_c", "fan_rpm"]


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def read_rows(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


def test_lines_reach_the_partial_file_within_the_flush_period_and_the_name_at_the_end(tmp_path):
    clock = Clock()
    f = PartialFile(tmp_path, "run.csv", clock=clock)
    f.write("a\n")
    clock.now = FLUSH_S / 2
    f.write("b\n")
    assert (tmp_path / "run.csv.partial").read_text() == ""  # not yet due
    clock.now = FLUSH_S
    f.write("c\n")
    assert (tmp_path / "run.csv.partial").read_text() == "a\nb\nc\n"
    f.write("d\n")
    f.finish()
    assert (tmp_path / "run.csv").read_text() == "a\nb\nc\nd\n"
    assert [p.name for p in tmp_path.iterdir()] == ["run.csv"]


class FailingWrites:
    """os.write that fails with ENOSPC for one file descriptor while `on`."""

    def __init__(self, monkeypatch, fd):
        self.fd, self.on, real = fd, True, os.write

        def write(fd, data):
            if self.on and fd == self.fd:
                raise OSError(errno.ENOSPC, "No space left on device")
            return real(fd, data)

        monkeypatch.setattr(stream.os, "write", write)


def removed(tmp_path, f, monkeypatch):
    # The folder and the file in it go, as a user cleaning up might do.
    os.unlink(f.tmp)


def disk_full(tmp_path, f, monkeypatch):
    FailingWrites(monkeypatch, f._fd)


@pytest.mark.parametrize("fault, reason", [(removed, "run.csv.partial was removed"),
                                           (disk_full, "No space left on device")])
def test_a_write_that_fails_moves_the_file_to_the_fallback_with_every_line(tmp_path, monkeypatch, fault, reason):
    out = tmp_path / "out"
    out.mkdir()
    clock, fallback = Clock(), Fallback(prefix=str(tmp_path / "fallback-"))
    f = PartialFile(out, "run.csv", fallback, clock)
    for i in range(3):
        clock.now += FLUSH_S
        f.write(f"{i}\n")
    fault(tmp_path, f, monkeypatch)
    clock.now += FLUSH_S
    f.write("3\n")
    where = fallback.folder
    assert where is not None and f.folder == where
    assert f.problems == [f"cannot write run.csv in {out} ({reason}); the record goes on in {where}"]
    assert fallback.reason.endswith(reason)
    f.write("4\n")
    f.finish()
    assert (where / "run.csv").read_text() == "0\n1\n2\n3\n4\n"
    assert not (out / "run.csv.partial").exists()


def test_with_nowhere_to_write_the_lines_wait_in_memory_and_it_is_said(tmp_path, monkeypatch):
    clock = Clock()
    fallback = Fallback(prefix=str(tmp_path / "missing" / "fallback-"))  # mkdtemp fails there
    f = PartialFile(tmp_path, "run.csv", fallback, clock)
    failing = FailingWrites(monkeypatch, f._fd)
    for i in range(3):
        clock.now += FLUSH_S
        f.write(f"{i}\n")
    assert len(f.problems) == 1 and "its last lines are kept in memory, nowhere else" in f.problems[0]
    failing.on = False  # the disk has room again
    f.finish()
    assert (tmp_path / "run.csv").read_text() == "0\n1\n2\n"


# --- judging as the rows come ------------------------------------------------------------------

PROFILE = parse({
    "name": "stream", "load": {"cpu": True, "gpu": True}, "sensors": ["temp:cpu"],
    "verdict": {"settle_s": 1.0, "within_share": 0.8, "sensor_max": {"cpu_temp_c": 80.0}},
    "steps": [{"name": "warm", "seconds": 5, "cpu": "free"},
              {"name": "hold", "seconds": 10, "cpu": {"mode": "target", "watts": 40},
               "gpu": {"mode": "target", "watts": 100}},
              {"name": "never reached", "seconds": 5, "cpu": "free"}],
})
BOUNDS = PROFILE.boundaries()


def row(i: int, t: float) -> Row:
    step = next(k for k, (a, b) in enumerate(BOUNDS, 1) if a <= t < b)
    wobble = (i * 7919) % 13 - 6          # deterministic scatter, -6..6
    cpu = None if i % 17 == 5 else 40.0 + wobble * 0.3
    return Row(time_s=t, t_ms=int(t * 1000), step=step, utc="2026-12-10T12:00:00.000Z",
               domains={"cpu": DomainRow("target", 0.5, 40.0, cpu, False),
                        "gpu": DomainRow("target", 0.3, 100.0, 100.0 + wobble, False, 12.5)},
               sensors={"cpu_temp_c": None if i % 11 == 3 else 70.0 + wobble, "fan_rpm": 1200.0 + i})


def sensor_tally(column, threshold, judged_from_s):
    return SensorTally(threshold, unit=column.rsplit("_", 1)[1], judged_from_s=judged_from_s)


def sensor_summary(times, values, threshold, column, judged_from_s):
    return summarise(times, values, threshold, unit=column.rsplit("_", 1)[1], judged_from_s=judged_from_s)


@pytest.mark.parametrize("gap", [None, (7.0, 7.6, 9.0), (4.8, 5.4, 6.9)], ids=["no hand-over", "hand-over in a step",
                                                                            "hand-over across a boundary"])
def test_steps_judged_row_by_row_match_the_judgement_of_every_row(gap):
    """(gap start, gap end, end of the settling after it): the rows between gap start and end
    are held until the gap ends, then left out like those up to the end of the settling."""
    rows = [row(i, 0.25 * i) for i in range(56)]     # ends inside "hold": it did not complete
    judge = RunJudge(PROFILE, DOMAINS, SENSORS, sensor_tally)
    for r in rows:
        if gap and r.time_s >= gap[0] and judge.gap_from is None and not judge.spans:
            judge.gap_started(gap[0])
        if gap and judge.gap_from is not None and r.time_s >= gap[1]:
            judge.add(r)
            judge.gap_ended(gap[0], gap[2])
            continue
        judge.add(r)
    judge.finish()
    excluded = [(gap[0], gap[2])] if gap else []
    failures = [(2.0, "cpu", "meter gone")]
    expected = summarize_steps(PROFILE, rows, DOMAINS, completed_steps=1, meter_failures=failures, excluded=excluded,
                               sensor_summary=sensor_summary, sensor_columns=SENSORS)
    got = judge.entries(DOMAINS, completed_steps=1, meter_failures=failures)
    assert got == expected
    hold = got[1]["domains"]["cpu"]
    assert hold["mean_w"] is not None and hold["missing"] > 0


def test_a_gap_that_never_ends_is_judged_like_any_other_time():
    rows = [row(i, 0.25 * i) for i in range(40)]
    judge = RunJudge(PROFILE, DOMAINS, SENSORS, sensor_tally)
    for r in rows:
        if r.time_s == 8.0:
            judge.gap_started(8.0)
        judge.add(r)
    assert judge.held  # nothing known about them yet
    judge.finish()
    assert judge.entries(DOMAINS, completed_steps=1) == summarize_steps(
        PROFILE, rows, DOMAINS, completed_steps=1, sensor_summary=sensor_summary, sensor_columns=SENSORS)


# --- memory ------------------------------------------------------------------------------------

SOAK = parse({"name": "soak", "load": {"cpu": True, "gpu": True}, "sensors": ["temp:cpu"],
              "verdict": {"settle_s": 60.0, "sensor_max": {"cpu_temp_c": 90.0}},
              "steps": [{"name": "warm", "seconds": 600, "cpu": "free"},
                        {"name": "soak", "seconds": 86400, "cpu": {"mode": "target", "watts": 40},
                         "gpu": "free"}]})


def test_what_the_runner_holds_does_not_grow_with_the_run(tmp_path, monkeypatch):
    """200 000 statuses (a 14-hour soak at 4 a second, a hand-over among them) through the
    record and the judging; the last 10 000 traced: what they leave behind is what one
    held row would be, not what 10 000 would."""
    monkeypatch.setattr(stream.os, "fsync", lambda fd: None)  # the disk's speed is not under test
    clock = Clock()
    log = RowLog(tmp_path, SENSORS, clock=clock)
    judge = RunJudge(SOAK, DOMAINS, SENSORS, sensor_tally)
    gpu = DomainRow("free", 1.0, None, 150.0, False, 12.5)

    def feed(first, last):
        for i in range(first, last):
            t = clock.now = 0.25 * i
            if i == 100_000:
                judge.gap_started(t)
            r = Row(time_s=t, t_ms=i * 250, step=1 if t < 600 else 2, utc="2026-12-10T12:00:00.000Z",
                    domains={"cpu": DomainRow("target", 0.5, 40.0, 39.0 + i % 3, False), "gpu": gpu}, sensors={"cpu_temp_c": 50.0 + i % 9, "fan_rpm": 900.0})
            log.add(r, DOMAINS)
            judge.add(r)
            if i == 100_004:
                judge.gap_ended(25_000.0, t + 60.0)

    feed(0, 190_000)
    tracemalloc.start()
    try:
        feed(190_000, 200_000)
        held, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # Ten thousand rows held would take megabytes; a flush period's worth of text is a few KB.
    assert held < 64_000 and peak < 256_000, (held, peak)
    judge.finish()
    log.finish(DOMAINS)
    soak = judge.entries(DOMAINS, completed_steps=2)[1]
    assert soak["domains"]["cpu"]["mean_w"] == 40.0 and soak["sensors"]["cpu_temp_c"]["max"] == 58.0
    lines = read_rows(tmp_path / "run.csv")
    assert len(lines) == 200_001 and lines[-1][0] == "49999.75"
