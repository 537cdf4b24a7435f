"""What the runner shows while it runs: a live view redrawn in place on a terminal, or one
plain line per status when the output is a file or a pipe.

Both take the runner's `Snapshot` (live.py) and nothing else, so what is shown is what is
recorded."""

from __future__ import annotations

import math
import sys
from collections import deque

from rich.console import Console, Group
from rich.live import Live
from rich.table import Table
from rich.text import Text

from . import live as L
from .safety import CLOSE, NEAR, OVER, nearness
from .sensors import UNIT_TEXT

HISTORY = 40          # samples kept for each sparkline
SPARKS = "▁▂▃▄▅▆▇█"
LIMIT_STYLE = {OVER: "bold red", NEAR: "red", CLOSE: "yellow"}
# The domain table's columns other than the duty bar and the history, at their widest
# ("1234.5 W stale", "+1234.5 %", "settling"), with two spaces between columns.
DOMAIN_FIXED_WIDTH = 3 + 6 + 5 + 14 + 8 + 9 + 8 + 2 * 6
# (duty bar, history) widths, the widest that fits the terminal: a narrow one gets fewer
# columns, never cut words.
DOMAIN_LAYOUTS = ((20, 20), (20, 10), (10, 10), (10, 0), (0, 0))
SHOWN_PROBLEMS = 3
VERDICT_STYLE = {L.SETTLING: "yellow", L.PASSING: "green", L.FAILING: "bold red", L.PASS: "bold green",
                 L.FAIL: "bold red", L.UNJUDGED: "dim"}


def bar(fraction: float, width: int) -> str:
    fraction = min(1.0, max(0.0, fraction)) if math.isfinite(fraction) else 0.0
    full = int(round(fraction * width))
    return "█" * full + "·" * (width - full)


def sparkline(values, width: int = HISTORY) -> str:
    """The last `width` values as block heights between their own minimum and maximum; a
    missing value is a gap."""
    values = list(values)[-width:]
    known = [v for v in values if v is not None]
    if not known:
        return " " * len(values)
    lo, hi = min(known), max(known)
    span = hi - lo
    out = []
    for v in values:
        if v is None:
            out.append(" ")
        else:
            out.append(SPARKS[int((v - lo) / span * (len(SPARKS) - 1) + 0.5)] if span > 0 else SPARKS[0])
    return "".join(out)


def duration(seconds: float) -> str:
    """12.3 s under a minute, then m:ss, then h:mm:ss."""
    seconds = max(0.0, seconds)
    if seconds < 60:
        return f"{seconds:.1f} s"
    whole = int(seconds)
    h, rest = divmod(whole, 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02d}:{s:02d}" if h else f"{m}:{s:02d}"


def sensor_value(value, unit: str, with_unit: bool = True) -> str:
    if value is None:
        text = "-"
    else:
        text = f"{value:.0f}" if unit in ("rpm", "mhz", "count") else f"{value:.1f}"
    return f"{text} {UNIT_TEXT.get(unit, unit)}".rstrip() if with_unit else text


def _watts(value) -> str:
    return f"{value:6.1f} W" if value is not None else "     - W"


class View:
    def __init__(self, profile=None, out=None):
        self.profile = profile
        self.out = out or sys.stdout

    def write(self, text: str) -> None:
        # A closed terminal or pipe must not stop the run from ending cleanly.
        try:
            self.out.write(text)
            self.out.flush()
        except (OSError, ValueError):
            pass

    def say(self, text: str) -> None:
        """A line above the view: a message, a problem."""
        self.write(text + "\n")

    def update(self, snapshot: L.Snapshot) -> None:
        raise NotImplementedError

    def finish(self, lines=()) -> None:
        """Leaves the last picture and writes the closing lines below it."""
        for line in lines:
            self.say(line)


class PlainView(View):
    """One line per status, easy to read back or to grep; sensor values, then each judged
    domain's running error and verdict, at the end."""

    def update(self, snapshot: L.Snapshot) -> None:
        parts = [f"t={snapshot.run_s:7.2f}s", f"step={snapshot.step_index + 1}/{snapshot.step_count}"]
        for d in snapshot.domains:
            parts.append(f"{d.name}={d.mode}")
            parts.append(f"duty={d.duty:.3f}")
            parts.append(f"W={'-' if d.measured_w is None else f'{d.measured_w:.1f}'}")
            parts.append(f"targetW={'-' if d.target_w is None else f'{d.target_w:.1f}'}")
            if d.name == "gpu":
                parts.append(f"dispatchMs={'-' if d.dispatch_ms is None else f'{d.dispatch_ms:.1f}'}")
            parts.append(f"stale={'yes' if d.stale else 'no'}")
        for column, value in snapshot.sensors.items():
            parts.append(f"{column}={sensor_value(value, snapshot.sensor_units.get(column, ''), False)}")
        # Each judged domain's running error and verdict last, as the live view shows them.
        for d in snapshot.domains:
            if d.verdict is not None:
                parts.append(f"{d.name}Error={'-' if d.error_pct is None else f'{d.error_pct:+.1f}%'}")
                parts.append(f"{d.name}Verdict={d.verdict}")
        self.say(" ".join(parts))


class RichView(View):
    """A panel redrawn in place: progress of the step and the run, each domain with its duty,
    watts, history and verdict, the sensors with theirs, and the problems in force."""

    BAR = 20

    def __init__(self, profile=None, out=None, console: Console | None = None):
        super().__init__(profile, out)
        self.console = console or Console(file=self.out, highlight=False)
        self._live: Live | None = None
        self._history: dict[str, deque] = {}

    def _remember(self, key: str, value) -> deque:
        h = self._history.setdefault(key, deque(maxlen=HISTORY))
        h.append(value)
        return h

    def _progress(self, label: str, done: float, total: float, tail: str) -> Table:
        row = Table.grid(padding=(0, 1))
        row.add_row(Text(label, style="bold"),
                    Text(bar(done / total if total > 0 else 1.0, self.BAR), style="cyan"),
                    Text(f"{duration(min(done, total))} / {duration(total)}, {duration(total - done)} left"),
                    Text(tail, style="dim"))
        return row

    def render(self, snapshot: L.Snapshot, width: int | None = None):
        s = snapshot
        width = width or self.console.width
        parts = []
        state = {L.STARTING: "starting the helper", L.HANDOVER: "handing over to a new helper session",
                 L.STOPPING: "stopping", L.DONE: "done"}.get(s.state)
        step_label = f"step {s.step_index + 1}/{s.step_count}"
        parts.append(Text.assemble((step_label + "  ", "bold"), s.step_name,
                                   (f"   next: {s.next_step_name}" if s.next_step_name else "   last step", "dim"),
                                   (f"   [{state}]" if state else "", "yellow")))
        parts.append(self._progress("step", s.step_s, s.step_total_s, ""))
        helper = f"helper pid {s.helper_pid}" if s.helper_pid else ""
        parts.append(self._progress("run ", s.run_s, s.run_total_s, helper))
        if s.domains:
            parts.append(self._domain_table(s, width))
        if s.sensors:
            # Side by side as the width allows: a machine may well have thirty sensors.
            items = list(s.sensors.items())
            longest = max(len(c) for c, _ in items)
            across = max(1, min(4, width // (longest + HISTORY // 2 + 16)))
            t = Table(box=None, padding=(0, 1), show_edge=False, pad_edge=False)
            for k in range(across):
                for head, justify in (("sensor", "left"), ("now", "right"), ("history", "left")):
                    t.add_column(head, justify=justify, no_wrap=True)
            cells = []
            for column, value in items:
                history = self._remember(f"sensor:{column}", value)
                cells.append([Text(column), self._sensor_now(s, column, value),
                              Text(sparkline(history, HISTORY // 2), style="magenta")])
            rows = math.ceil(len(cells) / across)
            for r in range(rows):
                row = []
                for k in range(across):
                    i = k * rows + r  # down the first column, then the next
                    row += cells[i] if i < len(cells) else [Text("")] * 3
                t.add_row(*row)
            parts.append(t)
        # The problems in force, the newest few: the view stays within a terminal's height.
        for p in s.problems[-SHOWN_PROBLEMS:]:
            parts.append(Text(f"! {p}", style="bold red"))
        if len(s.problems) > SHOWN_PROBLEMS:
            parts.append(Text(f"! and {len(s.problems) - SHOWN_PROBLEMS} more problems in force", style="bold red"))
        return Group(*parts)

    @staticmethod
    def _sensor_now(s: L.Snapshot, column: str, value) -> Text:
        """The reading, and under a limit (the lower of the step's and the safety one) the limit
        beside it, coloured as the reading nears it."""
        unit = s.sensor_units.get(column, "")
        limits = [x for x in (s.sensor_limits.get(column), s.safety_limits.get(column)) if x is not None]
        if not limits:
            return Text(sensor_value(value, unit))
        limit = min(limits)
        text = Text(sensor_value(value, unit, False), style=LIMIT_STYLE.get(nearness(value, limit), "green"))
        text.append(f" / {sensor_value(limit, unit)}", style="dim")
        return text
    def _domain_table(self, s: L.Snapshot, width: int) -> Table:
        bar_w, history_w = next(((b, h) for b, h in DOMAIN_LAYOUTS
                                 if DOMAIN_FIXED_WIDTH + (b + 2 if b else 0) + (h + 2 if h else 0) <= width),
                                DOMAIN_LAYOUTS[-1])
        t = Table(box=None, padding=(0, 1), show_edge=False, pad_edge=False)
        columns = [("", "left"), ("mode", "left")] + ([("duty", "left"), ("", "right")] if bar_w else
                                                      [("duty", "right")])
        columns += [("measured", "right"), ("target", "right")] + ([("history", "left")] if history_w else [])
        for head, justify in columns + [("error", "right"), ("verdict", "left")]:
            t.add_column(head, justify=justify, no_wrap=True, style="bold" if head == "" else None)
        for d in s.domains:
            history = self._remember(f"domain:{d.name}", d.measured_w)
            measured = Text(_watts(d.measured_w).strip(), style="red" if d.stale else "")
            if d.stale:
                measured.append(" stale", style="red")
            # Text, not str: what the helper sends is never read as markup.
            row = [Text(d.name), Text(str(d.mode))]
            row += [Text(bar(d.duty, bar_w), style="green")] if bar_w else []
            row += [Text(f"{d.duty:5.3f}"), measured, Text("-" if d.target_w is None else f"{d.target_w:.1f} W")]
            row += [Text(sparkline(history, history_w), style="blue")] if history_w else []
            row += [Text("" if d.error_pct is None else f"{d.error_pct:+.1f} %"),
                    Text(d.verdict or "", style=VERDICT_STYLE.get(d.verdict, ""))]
            t.add_row(*row)
        return t

    def update(self, snapshot: L.Snapshot) -> None:
        try:
            view = self.render(snapshot)
            if self._live is None:
                self._live = Live(view, console=self.console, auto_refresh=False, transient=False,
                                  redirect_stdout=False, redirect_stderr=False)
                self._live.start()
            self._live.update(view, refresh=True)
        except (OSError, ValueError):
            pass

    def say(self, text: str) -> None:
        # While the view is up, the console prints above it and redraws it below.
        try:
            self.console.print(Text(text), soft_wrap=True)  # the terminal wraps; paths stay whole
        except (OSError, ValueError):
            pass

    def finish(self, lines=()) -> None:
        if self._live is not None:
            try:
                self._live.stop()
            except (OSError, ValueError):
                pass
            self._live = None
        for line in lines:
            self.say(line)


def make_view(profile=None, out=None) -> View:
    out = out or sys.stdout
    try:
        tty = out.isatty()
    except (AttributeError, ValueError):
        tty = False
    return RichView(profile, out) if tty else PlainView(profile, out)
