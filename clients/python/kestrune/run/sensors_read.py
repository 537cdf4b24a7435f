"""Reading one sensor value: sysfs files, /proc/stat counters and sensor programs.

Every reader answers `read(now) -> (value, why)`: a value, or None with a one-line reason
(None and an empty reason when there is simply nothing to say yet, as before the first delta
of a counter). Nothing here raises on a file that vanished or holds garbage."""

from __future__ import annotations

import math
import shlex
from pathlib import Path

from .power import CommandMeter, SourceError


# A sysfs value is a few bytes and /proc/stat some tens of kilobytes: reads stop at these sizes,
# so a fake tree's link to an endless file cannot hold the run.
VALUE_LIMIT = 4096
STAT_LIMIT = 4 << 20


def read_text(path: Path, limit: int = VALUE_LIMIT) -> str:
    with open(path, "rb") as f:
        return f.read(limit).decode("utf-8", errors="replace")


def read_number(path: Path, divisor: float) -> tuple[float | None, str]:
    try:
        text = read_text(path).strip()
    except FileNotFoundError:
        return None, f"{path} is gone"
    except OSError as e:
        return None, f"cannot read {path}: {e.strerror or e}"
    try:
        value = int(text) / divisor
    except ValueError:
        return None, f"{path} does not hold a whole number ({text[:40]!r})"
    return value, ""


class FileReader:
    """One sysfs file holding a whole number of some unit, divided into the column's unit."""

    def __init__(self, path: Path, divisor: float):
        self.path, self.divisor = path, divisor

    def read(self, now: float) -> tuple[float | None, str]:
        return read_number(self.path, self.divisor)


class AggregateReader:
    """The mean or the maximum over many files (every CPU's clock); files that cannot be read
    (a CPU taken offline) are left out, and only when none can be read is the value missing."""

    def __init__(self, paths: list[Path], divisor: float, how: str):
        self.paths, self.divisor, self.how = paths, divisor, how

    def read(self, now: float) -> tuple[float | None, str]:
        values = [v for v, _ in (read_number(p, self.divisor) for p in self.paths) if v is not None]
        if not values:
            return None, f"none of the {len(self.paths)} files under {self.paths[0].parent.parent.parent} can be read"
        return (max(values) if self.how == "max" else sum(values) / len(values)), ""


class CountReader:
    """Events counted since the first reading, over counter files that only grow (thermal
    throttling counts): the sum of every file's increase, or the largest. A counter that went
    back (its CPU taken offline and back) counts on from its new value; a file that cannot be
    read adds nothing new (what it counted before stays counted), and only when none can be
    read is the value missing."""

    def __init__(self, paths: list[Path], how: str):
        self.paths, self.how = paths, how
        self._last: dict[Path, float] = {}
        self._since: dict[Path, float] = {}

    def read(self, now: float) -> tuple[float | None, str]:
        readable = 0
        for p in self.paths:
            value, _ = read_number(p, 1)
            if value is None:
                continue
            readable += 1
            last = self._last.get(p)
            step = 0.0 if last is None else value - last if value >= last else value
            self._since[p] = self._since.get(p, 0.0) + step
            self._last[p] = value
        if not readable:
            return None, f"none of the {len(self.paths)} counters like {self.paths[0]} can be read"
        counted = self._since.values()
        return (max(counted) if self.how == "max" else sum(counted)), ""


# /proc/stat: user nice system idle iowait irq softirq steal (guest time is inside user).
_BUSY_FIELDS = 8
_IDLE = (3, 4)


def parse_stat(text: str) -> dict[str, tuple[int, ...]]:
    """The `cpu` and `cpuN` lines of /proc/stat as their first eight counters."""
    out = {}
    for line in text.splitlines():
        words = line.split()
        if not words or not words[0].startswith("cpu"):
            continue
        try:
            counters = tuple(int(w) for w in words[1:1 + _BUSY_FIELDS])
        except ValueError:
            continue
        if len(counters) >= 4:
            out[words[0]] = counters
    return out


def utilisation(prev: tuple[int, ...] | None, cur: tuple[int, ...] | None) -> float | None:
    """Busy share of the time between two samples, in percent. A counter that went backwards
    (wrapped, or a CPU that went offline and came back) gives None: neither a negative share
    nor a spike from a huge difference."""
    if prev is None or cur is None or len(prev) != len(cur):
        return None
    deltas = [c - p for p, c in zip(prev, cur)]
    if any(d < 0 for d in deltas):
        return None
    total = sum(deltas)
    if total <= 0:
        return None
    idle = sum(deltas[i] for i in _IDLE if i < len(deltas))
    return 100.0 * (total - idle) / total


class StatFile:
    """/proc/stat, read at most once per sample time however many columns use it."""

    def __init__(self, path: Path):
        self.path = path
        self._at: float | None = None
        self._cur: dict[str, tuple[int, ...]] = {}
        self._prev: dict[str, tuple[int, ...]] = {}
        self._why = ""

    def lines(self, now: float) -> tuple[dict, dict, str]:
        if now != self._at:
            self._at = now
            self._prev = self._cur
            try:
                self._cur, self._why = parse_stat(read_text(self.path, STAT_LIMIT)), ""
            except OSError as e:
                self._cur, self._why = {}, f"cannot read {self.path}: {e.strerror or e}"
        return self._prev, self._cur, self._why


class UtilReader:
    def __init__(self, stat: StatFile, line: str):
        self.stat, self.line = stat, line

    def read(self, now: float) -> tuple[float | None, str]:
        prev, cur, why = self.stat.lines(now)
        if why:
            return None, why
        if self.line not in cur:
            return None, f"{self.line} is gone from {self.stat.path}"
        return utilisation(prev.get(self.line), cur[self.line]), ""


class CommandReader:
    """A program printing one number per line, read by the power meter's own machinery. The
    newest number counts until it is older than `max_age_s`; a program that ended gives
    missing values from then on."""

    def __init__(self, argv: list[str], max_age_s: float, as_root: bool = False):
        self.argv = argv
        self.max_age_s = max_age_s
        self.meter = CommandMeter(argv, as_root=as_root)
        self._value: float | None = None
        self._at: float | None = None

    def open(self, cancel=None) -> None:
        self.meter.open(cancel)

    def read(self, now: float) -> tuple[float | None, str]:
        value = self.meter.read(now)
        # A meter that tells its own problems (garbage printed, the program's end) ends the
        # held value at once.
        problem = self.meter.problem()
        if problem:
            self._at = None
            tail = self.meter.stderr_tail()
            last = tail.strip().splitlines()[-1] if tail and tail.strip() else ""
            return None, f"{shlex.join(self.argv)} {problem}" + (f": {last}" if last else "")
        if value is not None and math.isfinite(value):
            self._value, self._at = value, now
        if self._at is not None and now - self._at <= self.max_age_s:
            return self._value, ""
        proc = self.meter.proc
        if proc is not None and proc.poll() is not None:
            return None, f"{shlex.join(self.argv)} ended (exit code {proc.returncode})"
        last = getattr(self.meter, "last_rejected", None)
        return None, (f"{shlex.join(self.argv)} printed no number for {self.max_age_s:g} s"
                      + (f" (its last line: {last})" if last else ""))

    def close(self) -> None:
        self.meter.close()


__all__ = ["AggregateReader", "CommandReader", "CountReader", "FileReader", "SourceError", "StatFile", "UtilReader",
           "parse_stat", "read_number", "read_text", "utilisation"]
