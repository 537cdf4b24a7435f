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
from .profile import Profile, effective_target
from .verdict import Criteria, judge_domain, judge_sensors, step_verdict


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
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, float):
        return f"{value:.3f}".rstrip("0").rstrip(".") if value == value else ""
    return str(value)


def csv_header(domains, sensor_columns=()) -> list[str]:
    head = ["time_s", "utc", "t_ms", "step"]
    for d in domains:
        head += [f"{d}_mode", f"{d}_duty", f"{d}_target_w", f"{d}_measured_w", f"{d}_dispatch_ms", f"{d}_stale"]
    return head + list(sensor_columns)


def csv_text(rows: list[Row], domains, sensor_columns=()) -> str:
    """Empty cells stand for values the run did not have (no target, no reading)."""
    f = io.StringIO()
    w = csv.writer(f, lineterminator="\n")
    w.writerow(csv_header(domains, sensor_columns))
    for r in rows:
        cells = [_cell(round(r.time_s, 3)), r.utc, r.t_ms, r.step]
        for d in domains:
            x = r.domains[d]
            cells += [x.mode, _cell(x.duty), _cell(x.target_w), _cell(x.measured_w), _cell(x.dispatch_ms),
                      _cell(x.stale)]
        cells += [_cell(r.sensors.get(c)) for c in sensor_columns]
        w.writerow(cells)
    return f.getvalue()


def write_atomic(path: Path, data: str | bytes) -> None:
    """Writes `path` through a temporary name beside it; on failure nothing is left."""
    tmp = path.with_name(f".{path.name}.tmp")
    try:
        with open(tmp, "wb") as f:
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

def judge_step(profile: Profile, index: int, in_step: list[Row], domains, *, completed: bool,
               meter_failures=(), excluded=(), sensor_summary=None, sensor_columns=()) -> dict:
    """The summary of the step at 1-based `index` from its rows: times, verdict, per domain the
    judged figures, per sensor its summary, and every failed criterion. `meter_failures` are
    (time, domain, message) of meter problems; `excluded` spans (hand-overs and their
    settling) are not judged; `sensor_summary(times, values, threshold, column, judged_from_s)`
    summarises a sensor."""
    step = profile.steps[index - 1]
    start, end = profile.boundaries()[index - 1]
    criteria: Criteria = profile.criteria(index - 1)
    entry = {"index": index, "name": step.name, "start_s": start, "end_s": end, "verdict": None,
             "domains": {}, "sensors": {}, "failed": []}
    judged = False
    failed = []
    for d in domains:
        dom = step.domain(d)
        samples = [(r.time_s, r.domains[d].measured_w) for r in in_step]
        info, why = judge_domain(dom.mode, effective_target(dom), samples, start, criteria, excluded)
        entry["domains"][d] = info
        failed += [{**f, "criterion": f"{d} {f['criterion']}"} for f in why]
        judged = judged or info["within_share"] is not None
        for t, dd, message in meter_failures:
            if dd == d and start <= t < end and dom.mode != "off":
                failed.append({"criterion": f"{d} meter", "measured": message, "limit": "working meter"})
    if sensor_summary is not None:
        times = [r.time_s for r in in_step]
        for c in sensor_columns:
            entry["sensors"][c] = sensor_summary(times, [r.sensors.get(c) for r in in_step],
                                                 criteria.sensor_max.get(c), c, start + criteria.settle_s)
    if criteria.sensor_max and in_step:
        failed += judge_sensors(entry["sensors"], criteria)
        judged = True
    entry["failed"] = failed
    entry["verdict"] = step_verdict(judged, failed, completed)
    return entry


def summarize_steps(profile: Profile, rows: list[Row], domains, *, completed_steps: int, **judging) -> list[dict]:
    """Every step's summary (see `judge_step`); `completed_steps` steps ran to their end."""
    by_step: dict[int, list[Row]] = {}
    for r in rows:
        by_step.setdefault(r.step, []).append(r)
    return [judge_step(profile, i, by_step.get(i, []), domains, completed=i <= completed_steps, **judging)
            for i in range(1, len(profile.steps) + 1)]


# --- events.jsonl ------------------------------------------------------------------------------

class EventLog:
    """Every command sent and every event received, one JSON line each with its times, written
    as the run goes (under a temporary name until `finish`). A failed write is kept as the
    log's problem and the run goes on."""

    def __init__(self, path: Path, t0: float):
        self.path = path
        self.tmp = path.with_name(f".{path.name}.part")
        self.t0 = t0
        self.session = 0
        self.problem: str | None = None
        self._lock = threading.Lock()  # the heartbeat thread sends too
        try:
            self._f = open(self.tmp, "w", encoding="utf-8")
        except OSError as e:
            self._f = None
            self.problem = f"cannot write {self.tmp}: {e.strerror or e}"

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
        with self._lock:
            if self._f is None:
                return
            try:
                self._f.write(json.dumps(entry, separators=(",", ":")) + "\n")
            except (OSError, ValueError) as e:
                self.problem = f"cannot write {self.tmp}: {getattr(e, 'strerror', None) or e}"
                self._close()

    def _close(self) -> None:
        try:
            self._f.close()
        except OSError:
            pass
        self._f = None

    def finish(self) -> bool:
        """Closes the log and gives it its name; False when it could not be written whole."""
        with self._lock:
            if self._f is not None:
                try:
                    self._f.flush()
                    os.fsync(self._f.fileno())
                except OSError as e:
                    self.problem = f"cannot write {self.tmp}: {e.strerror or e}"
                self._close()
            if self.problem is None:
                try:
                    os.replace(self.tmp, self.path)
                except OSError as e:
                    self.problem = f"cannot rename {self.tmp}: {e.strerror or e}"
            return self.problem is None

    def instrument(self, helper) -> None:
        """Logs every line the helper is sent and every line it writes: every command goes
        through `send_raw`, every line read (as an event or raw) through `_next_line`."""
        send_raw, next_line = helper.send_raw, helper._next_line

        def logged_send(data):
            self.log(">", data)
            send_raw(data)

        def logged_next(timeout):
            arrived, raw = next_line(timeout)
            if raw is not None:
                self.log("<", raw)
            return arrived, raw

        helper.send_raw = logged_send
        helper._next_line = logged_next
