"""Reading a run's record back (run.csv and summary.json) for the plot, report and compare.

A record may come from another version or be damaged: every value is checked for its type
and anything unusable reads as missing, never as a crash."""

from __future__ import annotations

import csv
import json
import math
import re
from dataclasses import dataclass
from pathlib import Path

from .partial import partial_files, partial_summary, whole_rows

# Columns that are not sensors: the clock columns, then six per load domain.
BASE_COLUMNS = ("time_s", "utc", "t_ms", "step")
DOMAIN_FIELDS = ("mode", "duty", "target_w", "measured_w", "dispatch_ms", "stale")
SENSOR_UNIT = re.compile(r"_(c|mhz|pct|rpm|w)$")


class RecordError(RuntimeError):
    """A record that cannot be read; the message is one line."""


def number(value) -> float | None:
    """A finite number from a CSV cell or a JSON value, else None."""
    if isinstance(value, bool) or value is None:
        return None
    try:
        x = float(value)
    except (TypeError, ValueError):
        return None
    return x if math.isfinite(x) else None


def read_columns(path: Path, cut_end: bool = False) -> dict[str, list]:
    """run.csv as column name -> values; numeric columns as floats with None for an empty cell.
    `cut_end`: the file may end in damage (a killed writer): the rows before it are read."""
    try:
        with open(path, newline="", encoding="utf-8", errors="replace") as f:
            rows = list(whole_rows(csv.reader(f))) if cut_end else list(csv.reader(f))
    except OSError as e:
        raise RecordError(f"cannot read {path}: {e.strerror or e}") from None
    except csv.Error as e:
        raise RecordError(f"{path} is not a readable CSV file: {e}") from None
    if not rows:
        raise RecordError(f"{path} is empty")
    head = rows[0]
    if "time_s" not in head:
        raise RecordError(f"{path} has no time_s column: not a run record")
    columns: dict[str, list] = {h: [] for h in head}
    for r in rows[1:]:
        for i, h in enumerate(head):
            columns[h].append(r[i] if i < len(r) else "")
    for h, values in columns.items():
        if h == "utc" or h.endswith("_mode"):
            continue
        columns[h] = [number(v) if v != "" else None for v in values]
    return columns


def domains_of(columns) -> list[str]:
    return [h[:-len("_mode")] for h in columns if h.endswith("_mode") and f"{h[:-5]}_measured_w" in columns]


def sensor_columns(columns) -> list[str]:
    taken = set(BASE_COLUMNS)
    for d in domains_of(columns):
        taken.update(f"{d}_{f}" for f in DOMAIN_FIELDS)
    return [h for h in columns if h not in taken]


def unit_of(column: str) -> str:
    m = SENSOR_UNIT.search(column)
    return m.group(1) if m else ""


@dataclass
class Step:
    index: int
    name: str
    start_s: float | None
    end_s: float | None
    verdict: str
    domains: dict
    sensors: dict
    failed: list


def steps_of(summary: dict) -> list[Step]:
    out = []
    raw = summary.get("steps") if isinstance(summary, dict) else None
    for i, s in enumerate(raw if isinstance(raw, list) else [], 1):
        if not isinstance(s, dict):
            continue
        index = s.get("index")
        out.append(Step(index=index if isinstance(index, int) and not isinstance(index, bool) else i,
                        name=str(s.get("name") or f"step {i}"),
                        start_s=number(s.get("start_s")), end_s=number(s.get("end_s")),
                        verdict=str(s.get("verdict") or "unjudged"),
                        domains={k: v for k, v in (s.get("domains") or {}).items() if isinstance(v, dict)}
                        if isinstance(s.get("domains"), dict) else {},
                        sensors={k: v for k, v in (s.get("sensors") or {}).items() if isinstance(v, dict)}
                        if isinstance(s.get("sensors"), dict) else {},
                        failed=[f for f in s.get("failed") or [] if isinstance(f, dict)]
                        if isinstance(s.get("failed"), list) else []))
    return out


def profile_name(summary: dict) -> str:
    p = summary.get("profile") if isinstance(summary, dict) else None
    if isinstance(p, dict) and p.get("name"):
        return str(p["name"])
    return str(p) if isinstance(p, str) else "run"


@dataclass
class Record:
    folder: Path
    columns: dict[str, list]
    summary: dict

    @property
    def steps(self) -> list[Step]:
        return steps_of(self.summary)

    @property
    def name(self) -> str:
        return profile_name(self.summary)


def load_record(folder) -> Record:
    folder = Path(folder)
    if not folder.is_dir():
        raise RecordError(f"{folder} is not a folder")
    path = folder / "summary.json"
    try:
        summary = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError as e:
        # A runner killed before its end leaves the streamed files only: read what they hold.
        try:
            partial = partial_summary(folder)
        except OSError as e2:
            raise RecordError(f"cannot read the partial record in {folder}: {e2.strerror or e2}") from None
        if partial is None:
            raise RecordError(f"cannot read {path}: {e.strerror or e}") from None
        rows, _ = partial_files(folder)
        columns = read_columns(rows, cut_end=True) if rows is not None else {"time_s": []}
        return Record(folder, columns, partial)
    except OSError as e:
        raise RecordError(f"cannot read {path}: {e.strerror or e}") from None
    except ValueError as e:
        raise RecordError(f"{path} is not valid JSON: {e}") from None
    if not isinstance(summary, dict):
        raise RecordError(f"{path} does not hold a run summary")
    return Record(folder, read_columns(folder / "run.csv"), summary)
