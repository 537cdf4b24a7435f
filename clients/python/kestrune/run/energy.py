"""Energy per step and per run (Wh) from the measured power in run.csv, read in one pass.

Only readings count: between two rows with readings the power is taken as their mean
(trapezoids), and a span without a reading at either end, or longer than MAX_GAP_S, adds
nothing. Each figure says how many seconds it covers, so a step whose meter failed shows a
small coverage rather than a plausible-looking total."""

from __future__ import annotations

import csv
from pathlib import Path

from .recordio import number

MAX_GAP_S = 2.0   # a span longer than this between readings is not bridged


def _empty() -> dict:
    return {"wh": 0.0, "covered_s": 0.0}


def energy(path: Path, domains) -> tuple[dict[int, dict[str, dict]], dict[str, dict]]:
    """Per step (1-based) and over the run, per domain: {"wh", "covered_s"}. A span between
    two rows is the later row's step's."""
    steps: dict[int, dict[str, dict]] = {}
    run = {d: _empty() for d in domains}
    last: dict[str, tuple[float, float] | None] = {d: None for d in domains}
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        for row in csv.DictReader(f):
            t, step = number(row.get("time_s")), number(row.get("step"))
            if t is None or step is None:
                continue
            for d in domains:
                w = number(row.get(f"{d}_measured_w"))
                prev, last[d] = last[d], (t, w) if w is not None else None
                if w is None or prev is None or not 0 < t - prev[0] <= MAX_GAP_S:
                    continue
                dt = t - prev[0]
                wh = (prev[1] + w) / 2 * dt / 3600.0
                for tally in (steps.setdefault(int(step), {}).setdefault(d, _empty()), run[d]):
                    tally["wh"] += wh
                    tally["covered_s"] += dt
    return steps, run


def _rounded(x: dict) -> dict:
    return {"wh": round(x["wh"], 6), "covered_s": round(x["covered_s"], 3)}


def add_energy(summary: dict, path: Path, domains) -> None:
    """Puts `energy` into each step's domains and `energy` over the run into the summary."""
    per_step, run = energy(path, domains)
    for s in summary.get("steps") or []:
        for d, x in (s.get("domains") or {}).items():
            x["energy"] = _rounded(per_step.get(s.get("index"), {}).get(d, _empty()))
    summary["energy"] = {d: _rounded(x) for d, x in run.items()}
