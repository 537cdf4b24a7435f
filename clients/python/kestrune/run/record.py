"""The record of a run: one row per status (run.csv), the per-step verdicts and everything
about the run (summary.json), and every line exchanged with the helper (events.jsonl).

Every file is written under a temporary name in its folder and renamed into place, so a
reader never sees half a file and a failed write leaves any earlier file whole."""

from __future__ import annotations

import csv
import io
import json
import os
import threading
import time
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path

from ..events import Status
from .profile import Profile
from .safefile import create
from .steps import StepTally
from .stream import Fallback, PartialFile


@dataclass
class DomainRow:
    mode: str
    duty: float
    target_w: float | None
    measured_w: float | None
    stale: bool
    dispatch_ms: float | None = None


@dataclass
class Row:
    time_s: float        # seconds since the first step began, on the runner's clock
    t_ms: int            # the helper's own run time in the status (it restarts with each session)
    step: int            # 1-based index of the step in force
    domains: dict[str, DomainRow] = field(default_factory=dict)
    utc: str = ""        # wall-clock time of the row, ISO 8601 in UTC
    sensors: dict[str, float | None] = field(default_factory=dict)


def utc_text(epoch: float) -> str:
    """ISO 8601 in UTC with milliseconds: 2026-12-10T12:00:00.250Z."""
    return datetime.fromtimestamp(epoch, timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


def row_from_status(status: Status, time_s: float, step: int, measured: dict[str, float | None],
                    domains, utc: str = "", sensors: dict | None = None) -> Row:
    row = Row(time_s=time_s, t_ms=status.t_ms, step=step, utc=utc, sensors=dict(sensors or {}))
    for d in domains:
        s = status.domain(d)
        row.domains[d] = DomainRow(mode=s.mode, duty=s.duty, target_w=s.target_w, measured_w=measured.get(d),
                                   stale=s.power_stale, dispatch_ms=getattr(s, "dispatch_ms", None))
    return row


def _cell(value) -> str:
    if value is None:
        return ""
    kind = type(value)
    if kind is float:
        return f"{value:.3f}".rstrip("0").rstrip(".") if value == value else ""
    if kind is bool:
        return "1" if value else "0"
    if isinstance(value, float):
        return _cell(float(value))
    return str(value)


def csv_header(domains, sensor_columns=()) -> list[str]:
    head = ["time_s", "utc", "t_ms", "step"]
    for d in domains:
        head += [f"{d}_mode", f"{d}_duty", f"{d}_target_w", f"{d}_measured_w", f"{d}_dispatch_ms", f"{d}_stale"]
    return head + list(sensor_columns)


def _row_cells(r: Row, domains, sensor_columns) -> list:
    cells = [_cell(round(r.time_s, 3)), r.utc, r.t_ms, r.step]
    for d in domains:
        x = r.domains.get(d)
        cells += ([x.mode, _cell(x.duty), _cell(x.target_w), _cell(x.measured_w), _cell(x.dispatch_ms),
                   _cell(x.stale)] if x is not None else [""] * 6)
    return cells + [_cell(r.sensors.get(c)) for c in sensor_columns]


def csv_text(rows: list[Row], domains, sensor_columns=()) -> str:
    """Empty cells stand for values the run did not have (no target, no reading)."""
    f = io.StringIO()
    w = csv.writer(f, lineterminator="\n")
    w.writerow(csv_header(domains, sensor_columns))
    for r in rows:
        w.writerow(_row_cells(r, domains, sensor_columns))
    return f.getvalue()


def write_atomic(path: Path, data: str | bytes) -> None:
    """Writes `path` through a new temporary file beside it; on failure nothing is left."""
    tmp = path.with_name(f".{path.name}.tmp")
    fd = create(tmp, os.O_WRONLY)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            tmp.unlink()
        except OSError:
            pass
        raise


def write_csv(path: Path, rows: list[Row], domains, sensor_columns=()) -> None:
    write_atomic(path, csv_text(rows, domains, sensor_columns))


def write_json(path: Path, obj) -> None:
    write_atomic(path, json.dumps(obj, indent=2) + "\n")


# --- verdicts per step -------------------------------------------------------------------------

class _Collected:
    """Hands a sensor's whole series to a summary function that takes lists."""

    def __init__(self, summary, column, threshold, judged_from_s):
        self.summary, self.column, self.threshold, self.judged_from_s = summary, column, threshold, judged_from_s
        self.times, self.values = [], []

    def add(self, t, v) -> None:
        self.times.append(t)
        self.values.append(v)

    def result(self) -> dict:
        return self.summary(self.times, self.values, self.threshold, self.column, self.judged_from_s)


def judge_step(profile: Profile, index: int, in_step: list[Row], domains, *, completed: bool,
               meter_failures=(), excluded=(), sensor_summary=None, sensor_columns=()) -> dict:
    """The summary of the step at 1-based `index` from its rows: times, verdict, per domain the
    judged figures, per sensor its summary, and every failed criterion. `meter_failures` are
    (time, domain, message) of meter problems; `excluded` spans (hand-overs and their
    settling) are not judged; `sensor_summary(times, values, threshold, column, judged_from_s)`
    summarises a sensor. A run judges its steps row by row instead (steps.RunJudge)."""
    make = ((lambda c, threshold, judged_from: _Collected(sensor_summary, c, threshold, judged_from))
            if sensor_summary is not None else None)
    tally = StepTally(profile, index, domains, sensor_columns, make)
    for r in in_step:
        tally.add(r, any(a <= r.time_s < b for a, b in excluded))
    return tally.entry(domains, completed=completed, meter_failures=meter_failures)


def summarize_steps(profile: Profile, rows: list[Row], domains, *, completed_steps: int, **judging) -> list[dict]:
    """Every step's summary (see `judge_step`); `completed_steps` steps ran to their end."""
    by_step: dict[int, list[Row]] = {}
    for r in rows:
        by_step.setdefault(r.step, []).append(r)
    return [judge_step(profile, i, by_step.get(i, []), domains, completed=i <= completed_steps, **judging)
            for i in range(1, len(profile.steps) + 1)]


# --- run.csv as the run goes -------------------------------------------------------------------

class RowLog:
    """run.csv, one row per status as it comes (run.csv.partial until `finish`). Its columns
    are fixed by the first row: a domain dropped later keeps its columns, with empty cells."""

    def __init__(self, folder: Path, sensor_columns=(), fallback: Fallback | None = None, clock=time.monotonic):
        self.file = PartialFile(folder, "run.csv", fallback, clock)
        self.sensor_columns = list(sensor_columns)
        self.domains: tuple[str, ...] | None = None
        self.rows = 0
        self._line = io.StringIO()
        self._csv = csv.writer(self._line, lineterminator="\n")

    def _text(self, cells) -> str:
        self._line.seek(0)
        self._line.truncate()
        self._csv.writerow(cells)
        return self._line.getvalue()

    def _head(self, domains) -> None:
        self.domains = tuple(domains)
        self.file.write(self._text(csv_header(self.domains, self.sensor_columns)))

    def add(self, row: Row, domains) -> None:
        if self.domains is None:
            self._head(domains)
        self.file.write(self._text(_row_cells(row, self.domains, self.sensor_columns)))
        self.rows += 1

    def finish(self, domains) -> None:
        """Gives run.csv its name (a header alone when no status came); raises OSError."""
        if self.domains is None:
            self._head(domains)
        self.file.finish()


# --- events.jsonl ------------------------------------------------------------------------------

class EventLog:
    """Every command sent and every event received, one JSON line each with its times, written
    as the run goes (events.jsonl.partial until `finish`). A write that fails moves the log to
    the fallback folder (a message in `problems()`) and the run goes on."""

    def __init__(self, path: Path, t0: float, fallback: Fallback | None = None):
        self.path = path
        self.t0 = t0
        self.session = 0
        self.problem: str | None = None
        self._lock = threading.Lock()  # the heartbeat thread sends too
        try:
            self.file: PartialFile | None = PartialFile(path.parent, path.name, fallback)
        except OSError as e:
            self.file = None
            self.problem = f"cannot write {path}: {e.strerror or e}"

    @property
    def tmp(self) -> Path:
        return self.file.tmp if self.file is not None else self.path.with_name(f"{self.path.name}.partial")

    def log(self, direction: str, line) -> None:
        now = time.time()
        if isinstance(line, (bytes, bytearray)):
            line = line.decode("utf-8", errors="replace")
        if isinstance(line, str):
            try:
                line = json.loads(line)
            except ValueError:
                line = line.rstrip("\n")
        entry = {"t_s": round(time.monotonic() - self.t0, 4), "utc": utc_text(now), "session": self.session,
                 "dir": direction, "line": line}
        text = json.dumps(entry, separators=(",", ":")) + "\n"
        with self._lock:
            if self.file is not None:
                self.file.write(text)

    def problems(self) -> list[str]:
        """What went wrong with the log since the last call, one line each."""
        with self._lock:
            if self.file is None:
                return []
            out, self.file.problems = self.file.problems, []
            return out

    def move(self, folder: Path) -> None:
        with self._lock:
            if self.file is not None and self.file.folder != folder:
                self.file.move(folder)
            self.path = folder / self.path.name

    def finish(self) -> bool:
        """Writes the rest and gives the log its name; False when it could not be written whole."""
        with self._lock:
            if self.file is None:
                return False
            try:
                self.file.finish()
            except OSError as e:
                self.problem = f"cannot write {self.file.tmp}: {e.strerror or e}"
                return False
            self.path = self.file.path
            self.problem = None
            return True

    def discard(self) -> None:
        with self._lock:
            if self.file is not None:
                self.file.discard()

    def close(self) -> None:
        with self._lock:
            if self.file is not None:
                self.file.close()

    def instrument(self, helper) -> None:
        """Logs every line the helper is sent and every line it writes."""
        helper.observer = self.log
