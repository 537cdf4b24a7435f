"""A record whose runner was killed before it wrote summary.json: its streamed files
(run.csv.partial and events.jsonl.partial, or run.csv and events.jsonl when it died while
ending) read back into a summary of what they show, marked as partial, with the outcome
`killed` and the time the record ends. Steps that began are listed, unjudged: the runner
judges a step only at its end, and nothing of that was written.

Both files are read in one pass each, holding no more than a row: a day's record is as cheap
as a minute's. They may end in half a line."""

from __future__ import annotations

import csv
import json
from pathlib import Path

KILLED = "killed"
# A line longer than this is not the runner's: it is skipped rather than held.
_MAX_LINE = 1 << 20


def partial_files(folder: Path) -> tuple[Path | None, Path | None]:
    """(run.csv or run.csv.partial, events.jsonl or events.jsonl.partial), None where absent."""
    def pick(name):
        for p in (folder / name, folder / f"{name}.partial"):
            if p.is_file():
                return p
        return None
    return pick("run.csv"), pick("events.jsonl")


def _number(text: str) -> float | None:
    try:
        return float(text) if text else None
    except ValueError:
        return None


def _rows(path: Path, summary: dict) -> None:
    steps: dict[int, dict] = {}
    last_time, last_utc = None, None
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        reader = csv.reader(line for line in f if len(line) <= _MAX_LINE and "\0" not in line)
        head = next(whole_rows(reader), None) or []
        domains = [h[:-5] for h in head if h.endswith("_mode")]
        summary["domains"] = domains
        col = {h: i for i, h in enumerate(head)}
        for r in whole_rows(reader):
            if len(r) != len(head):
                continue  # the last row, cut by the kill
            t = _number(r[col["time_s"]]) if "time_s" in col else None
            step = _number(r[col["step"]]) if "step" in col else None
            if t is None or step is None or step != int(step) or step < 1:
                continue
            i = int(step)
            s = steps.get(i)
            if s is None:
                s = steps[i] = {"index": i, "name": f"step {i}", "start_s": t, "end_s": t, "verdict": "incomplete",
                                "domains": {}, "sensors": {}, "failed": []}
            s["end_s"] = t
            for d in domains:
                target = _number(r[col[f"{d}_target_w"]]) if f"{d}_target_w" in col else None
                s["domains"][d] = {"mode": r[col[f"{d}_mode"]] or None, "target_w": target}
            last_time, last_utc = t, r[col["utc"]] if "utc" in col else None
    summary["steps"] = [steps[i] for i in sorted(steps)]
    summary["ended_s"] = last_time
    summary["ended_utc"] = last_utc or None


def whole_rows(reader):
    """The rows up to the first that the CSV reader cannot read: a damaged end ends the record."""
    while True:
        try:
            yield next(reader)
        except (StopIteration, csv.Error):
            return


def _events(path: Path, summary: dict) -> None:
    sessions = []
    with open(path, "rb") as f:
        for raw in f:
            if len(raw) > _MAX_LINE:
                continue
            try:
                entry = json.loads(raw)
            except ValueError:
                continue  # the last line, cut by the kill
            if not isinstance(entry, dict):
                continue
            if summary["started_utc"] is None and isinstance(entry.get("utc"), str):
                summary["started_utc"] = entry["utc"]
            line = entry.get("line")
            if not isinstance(line, dict):
                continue
            if entry.get("dir") == ">" and line.get("cmd") == "start" and isinstance(line.get("nonce"), str):
                summary["profile"]["name"] = summary["profile"]["name"] or line["nonce"]
            elif entry.get("dir") == "<" and line.get("ev") == "hello":
                summary["helper"]["hello"] = summary["helper"]["hello"] or line
                sessions.append({"pid": line.get("pid"), "bye": None, "exit_code": None})
            elif entry.get("dir") == "<" and line.get("ev") == "bye" and sessions:
                sessions[-1]["bye"] = line
    summary["helper"]["sessions"] = sessions


def partial_summary(folder: Path) -> dict | None:
    """The summary a partial record gives, or None when the folder holds no streamed file.
    Raises OSError when one cannot be read."""
    folder = Path(folder)
    rows, events = partial_files(folder)
    if rows is None and events is None:
        return None
    summary = {"profile": {"name": None}, "started_utc": None, "outcome": KILLED, "exit_code": None,
               "partial": True, "files": [p.name for p in (rows, events) if p is not None],
               "domains": [], "ended_s": None, "ended_utc": None, "helper": {"hello": None, "sessions": []},
               "handovers": [], "problems": [], "steps": []}
    if events is not None:
        _events(events, summary)
    if rows is not None:
        _rows(rows, summary)
    summary["profile"]["name"] = summary["profile"]["name"] or folder.name
    return summary


def ends_text(summary: dict) -> str:
    """"it ends at 12.3 s (2026-...Z)": where a partial record stops."""
    t = summary.get("ended_s")
    utc = summary.get("ended_utc")
    if not isinstance(t, (int, float)) or isinstance(t, bool):
        return "it holds no row"
    return f"it ends at {t:.1f} s" + (f" ({utc})" if isinstance(utc, str) and utc else "")
