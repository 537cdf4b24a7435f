"""run.csv cut down for drawing, read in one pass: memory grows with the picture's width, not
with the run's length (a day's record is hundreds of megabytes).

The run's time is cut into at most `BUCKETS` spans, about one per pixel column of the plot;
each span keeps, per numeric column, its lowest and its highest value in the order they came,
so a one-sample spike or dip is still drawn. Spans start narrow and double (neighbours
merged) whenever the run outgrows them, so the run's length need not be known beforehand."""

from __future__ import annotations

import csv
from pathlib import Path

from .recordio import RecordError, number

# The plot is 11 in at 110 dpi: 1210 pixel columns, of which the panels take about 80 %.
BUCKETS = 1200
FIRST_WIDTH_S = 1 / 64


class _Span:
    __slots__ = ("t0", "t1", "text", "lo", "lo_at", "hi", "hi_at")

    def __init__(self, t: float, at: int, text: list, values: list):
        self.t0 = self.t1 = t
        self.text = text
        self.lo, self.hi = values, list(values)
        self.lo_at = [at] * len(values)
        self.hi_at = [at] * len(values)

    def add(self, t: float, at: int, values: list) -> None:
        self.t1 = t
        for i, v in enumerate(values):
            if v is None:
                continue
            lo = self.lo[i]
            if lo is None or v < lo:
                self.lo[i], self.lo_at[i] = v, at
            hi = self.hi[i]
            if hi is None or v > hi:
                self.hi[i], self.hi_at[i] = v, at

    def merge(self, later: "_Span") -> None:
        self.t1 = later.t1
        for i in range(len(self.lo)):
            if later.lo[i] is not None and (self.lo[i] is None or later.lo[i] < self.lo[i]):
                self.lo[i], self.lo_at[i] = later.lo[i], later.lo_at[i]
            if later.hi[i] is not None and (self.hi[i] is None or later.hi[i] > self.hi[i]):
                self.hi[i], self.hi_at[i] = later.hi[i], later.hi_at[i]


class Decimator:
    """Rows in (as csv.reader gives them), `columns()` out: the same columns, at most two
    rows per span."""

    def __init__(self, head: list[str], buckets: int = BUCKETS, span_s: float | None = None):
        if "time_s" not in head:
            raise ValueError("no time_s column")
        self.head = head
        self.buckets = buckets
        self._time = head.index("time_s")
        self._text = [i for i, h in enumerate(head) if h == "utc" or h.endswith("_mode")]
        self._numeric = [i for i, h in enumerate(head) if i not in self._text and i != self._time]
        # Wide enough for the run's expected length from the start, when it is known.
        self.width = max(FIRST_WIDTH_S, span_s * 1.01 / buckets) if span_s and span_s > 0 else FIRST_WIDTH_S
        self._spans: dict[int, _Span] = {}
        self._rows = 0

    def _coarsen(self) -> None:
        self.width *= 2
        merged: dict[int, _Span] = {}
        for i in sorted(self._spans):
            span = self._spans[i]
            into = merged.get(i // 2)
            if into is None:
                merged[i // 2] = span
            else:
                into.merge(span)
        self._spans = merged

    def add(self, row: list[str]) -> None:
        t = number(row[self._time]) if self._time < len(row) else None
        if t is None:
            return  # a row that cannot be placed in time cannot be drawn
        index = max(0, int(t // self.width))
        while index >= self.buckets:
            self._coarsen()
            index = max(0, int(t // self.width))
        values = [number(row[i]) if i < len(row) and row[i] != "" else None for i in self._numeric]
        self._rows += 1
        span = self._spans.get(index)
        if span is None:
            self._spans[index] = _Span(t, self._rows, [row[i] if i < len(row) else "" for i in self._text], values)
        else:
            span.add(t, self._rows, values)

    def columns(self) -> dict[str, list]:
        out: dict[str, list] = {h: [] for h in self.head}
        time_col = out[self.head[self._time]]
        text_cols = [out[self.head[i]] for i in self._text]
        numeric_cols = [out[self.head[i]] for i in self._numeric]
        for index in sorted(self._spans):
            span = self._spans[index]
            two = span.t1 > span.t0
            time_col.extend((span.t0, span.t1) if two else (span.t0,))
            for col, text in zip(text_cols, span.text):
                col.extend((text, text) if two else (text,))
            for k, col in enumerate(numeric_cols):
                lo, hi = span.lo[k], span.hi[k]
                first, second = (lo, hi) if span.lo_at[k] <= span.hi_at[k] else (hi, lo)
                col.extend((first, second) if two else (first,))
        return out


def read_series(path: Path, buckets: int = BUCKETS, span_s: float | None = None) -> dict[str, list]:
    """run.csv as read_columns gives it, decimated for drawing (see the module's note);
    RecordError (one line) when it cannot be read."""
    try:
        with open(path, newline="", encoding="utf-8", errors="replace") as f:
            reader = csv.reader(f)
            head = next(reader, None)
            if not head:
                raise RecordError(f"{path} is empty")
            if "time_s" not in head:
                raise RecordError(f"{path} has no time_s column: not a run record")
            series = Decimator(head, buckets, span_s)
            for row in reader:
                series.add(row)
    except OSError as e:
        raise RecordError(f"cannot read {path}: {e.strerror or e}") from None
    except csv.Error as e:
        raise RecordError(f"{path} is not a readable CSV file: {e}") from None
    return series.columns()
