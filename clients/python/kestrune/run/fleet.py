"""`kestrune fleet-summary DIR`: the records of one profile run on many machines, fetched into
one folder per host, as one table of hosts against steps with their verdicts.

The records come from other machines, so each is read defensively: a missing or malformed
summary makes that host's row say so and counts as an incomplete run, never a crash."""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass, field
from pathlib import Path

from .partial import KILLED, ends_text, partial_summary

ALL_PASSED, ANY_FAILED, ANY_INCOMPLETE, USAGE = 0, 3, 4, 2
SUMMARY = "summary.json"
# Larger summaries are not records this kit wrote.
_MAX_BYTES = 64 << 20
_INCOMPLETE_OUTCOMES = ("incomplete", "interrupted", "stopped", KILLED)  # stopped: by a safety limit


@dataclass
class HostRecord:
    host: str
    profile: str = ""
    outcome: str = ""                       # the run's outcome, or why there is no record
    verdicts: dict[int, str] = field(default_factory=dict)      # step index -> verdict
    names: dict[int, str] = field(default_factory=dict)         # step index -> name
    failed: list[str] = field(default_factory=list)             # "step N NAME: criterion ..." lines
    readable: bool = True


def _clean(value, limit: int = 60) -> str:
    """A cell from untrusted text: printable, one line, bounded."""
    text = "".join(c if c.isprintable() else "?" for c in str(value))
    return text if len(text) <= limit else text[:limit - 1] + "…"


def _number(value) -> str:
    return f"{value:g}" if isinstance(value, (int, float)) and not isinstance(value, bool) else _clean(value, 30)


def read_host(folder: Path) -> HostRecord:
    rec = HostRecord(host=_clean(folder.name))
    path = folder / SUMMARY
    try:
        try:
            if path.stat().st_size > _MAX_BYTES:
                raise ValueError("too large")
            data = json.loads(path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            # A runner killed before its end: what its streamed files show.
            data = partial_summary(folder)
            if data is None:
                raise
            rec.failed.append(f"a partial record: the runner was killed; {ends_text(data)}")
        if not isinstance(data, dict) or not isinstance(data.get("steps", []), list):
            raise ValueError("not a run summary")
        profile = data.get("profile")
        rec.profile = _clean(profile.get("name", "") if isinstance(profile, dict) else profile or "")
        rec.outcome = _clean(data.get("outcome") or "incomplete", 20)
        for step in data.get("steps", []):
            if not isinstance(step, dict) or isinstance(step.get("index"), bool) \
                    or not isinstance(step.get("index"), int):
                raise ValueError("a step without an index")
            i = step["index"]
            rec.names[i] = _clean(step.get("name", ""))
            rec.verdicts[i] = _clean(step.get("verdict") or "-", 20)
            for f in step.get("failed") or []:
                if isinstance(f, dict):
                    rec.failed.append(f"step {i} {rec.names[i]}: {_clean(f.get('criterion'))} "
                                      f"measured {_number(f.get('measured'))}, limit {_number(f.get('limit'))}")
    except FileNotFoundError:
        rec.outcome, rec.readable = "no record", False
    except (OSError, ValueError, AttributeError, TypeError) as e:  # JSONDecodeError is a ValueError
        rec.outcome, rec.readable = "unreadable record", False
        rec.failed.append(f"{SUMMARY}: {_clean(e, 120)}")
    return rec


def exit_code(records: list[HostRecord]) -> int:
    if not records or any(not r.readable or r.outcome in _INCOMPLETE_OUTCOMES
                          or "incomplete" in r.verdicts.values() for r in records):
        return ANY_INCOMPLETE
    if any(r.outcome == "fail" or "fail" in r.verdicts.values() for r in records):
        return ANY_FAILED
    return ALL_PASSED


def table(records: list[HostRecord]) -> list[str]:
    steps = sorted({i for r in records for i in r.verdicts})
    names: dict[int, str] = {}
    for r in records:
        for i, n in r.names.items():
            names.setdefault(i, n)
    head = ["host", *(f"{i} {names[i]}".rstrip() for i in steps), "outcome"]
    rows = [[r.host, *(r.verdicts.get(i, "-") for i in steps), r.outcome] for r in records]
    widths = [max(len(row[c]) for row in [head, *rows]) for c in range(len(head))]
    return ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in [head, *rows]]


def summarise(folder: Path) -> tuple[list[str], int]:
    hosts = sorted((p for p in folder.iterdir() if p.is_dir()), key=lambda p: p.name)
    records = [read_host(p) for p in hosts]
    if not records:
        return [f"no host folders in {folder}"], ANY_INCOMPLETE
    profiles = sorted({r.profile for r in records if r.readable})
    lines = [f"profile {', '.join(profiles) or '-'}, {len(records)} host(s)"]
    if len(profiles) > 1:
        lines.append("note: the hosts ran different profiles; steps are matched by their number")
    lines += table(records)
    notes = [f"  {r.host} {line}" for r in records for line in r.failed]
    if notes:
        lines += ["failed criteria and unreadable records:", *notes]
    return lines, exit_code(records)


def add_parser(subparsers) -> None:
    p = subparsers.add_parser(
        "fleet-summary", help="one table of hosts against steps from records fetched one folder per host",
        description="Reads DIR/HOST/summary.json for every host folder in DIR. Exit code: 0 every host "
                    "passed, 3 a step failed, 4 a run is incomplete or its record is missing.")
    p.add_argument("dir", type=Path, help="the folder holding one record folder per host")


def main(args, out=None) -> int:
    out = out or sys.stdout
    if not args.dir.is_dir():
        print(f"kestrune: {args.dir} is not a folder", file=sys.stderr)
        return USAGE
    try:
        lines, code = summarise(args.dir)
    except OSError as e:
        print(f"kestrune: cannot read {args.dir}: {e.strerror or e}", file=sys.stderr)
        return USAGE
    print("\n".join(lines), file=out, flush=True)
    return code
