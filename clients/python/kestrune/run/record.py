"""The record of a run: one row per status, written as run.csv, and the per-step summary."""

from __future__ import annotations

import csv
import json
from dataclasses import dataclass, field
from pathlib import Path

from ..events import Bye, Hello, Status
from .profile import Profile, effective_target

SETTLE_BAND = 0.03  # "on target" means within ±3 % of it


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
    t_ms: int            # the helper's own run time in the status
    step: int            # 1-based index of the step in force
    domains: dict[str, DomainRow] = field(default_factory=dict)


def row_from_status(status: Status, time_s: float, step: int, measured: dict[str, float | None],
                    domains) -> Row:
    row = Row(time_s=time_s, t_ms=status.t_ms, step=step)
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


def csv_header(domains) -> list[str]:
    head = ["time_s", "t_ms", "step"]
    for d in domains:
        head += [f"{d}_mode", f"{d}_duty", f"{d}_target_w", f"{d}_measured_w", f"{d}_dispatch_ms", f"{d}_stale"]
    return head


def write_csv(path: Path, rows: list[Row], domains) -> None:
    """Empty cells stand for values the run did not have (no target, no reading yet)."""
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(csv_header(domains))
        for r in rows:
            cells = [_cell(round(r.time_s, 3)), r.t_ms, r.step]
            for d in domains:
                x = r.domains[d]
                cells += [x.mode, _cell(x.duty), _cell(x.target_w), _cell(x.measured_w), _cell(x.dispatch_ms),
                          _cell(x.stale)]
            w.writerow(cells)


def settle_time(samples: list[tuple[float, float]], target: float, start: float) -> float | None:
    """Seconds from `start` until the readings entered ±3 % of the target and stayed there to
    the step's end; None when the last reading is outside the band (or there is none)."""
    band = abs(target) * SETTLE_BAND
    first_in = None
    for t, w in samples:
        if abs(w - target) <= band:
            if first_in is None:
                first_in = t
        else:
            first_in = None
    return None if first_in is None else round(max(0.0, first_in - start), 3)


def summarize_steps(profile: Profile, rows: list[Row], ended_s: float | None = None) -> list[dict]:
    """Per step and enabled domain: the mode, the target, the mean measured power, its error
    against the target and the time to settle. A step the run never reached has no rows."""
    out = []
    domains = profile.load.enabled()
    for i, (step, (start, end)) in enumerate(zip(profile.steps, profile.boundaries()), 1):
        in_step = [r for r in rows if r.step == i]
        entry = {"step": i, "name": step.name, "startS": start, "endS": end, "rows": len(in_step)}
        for d in domains:
            dom = step.domain(d)
            target = effective_target(dom)
            samples = [(r.time_s, r.domains[d].measured_w) for r in in_step if r.domains[d].measured_w is not None]
            mean = sum(w for _, w in samples) / len(samples) if samples else None
            info = {"mode": dom.mode, "targetW": target, "meanW": None if mean is None else round(mean, 2),
                    "errorW": None, "errorPct": None, "settleS": None}
            if target is not None and mean is not None:
                info["errorW"] = round(mean - target, 2)
                info["errorPct"] = round((mean - target) / target * 100.0, 2)
                info["settleS"] = settle_time(samples, target, start)
            entry[d] = info
        out.append(entry)
    return out


def write_summary(path: Path, profile: Profile, rows: list[Row], bye: Bye | None, exit_code: int | None,
                  interrupted: bool, hello: Hello | None) -> dict:
    summary = {
        "profile": profile.name,
        "target": profile.target.kind,
        "exitCode": exit_code,
        "bye": bye and bye.to_wire(),  # as the helper wrote them
        "interrupted": interrupted,
        "hello": hello and hello.to_wire(),
        "steps": summarize_steps(profile, rows),
    }
    path.write_text(json.dumps(summary, indent=2) + "\n", encoding="utf-8")
    return summary
