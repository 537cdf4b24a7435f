"""What the runner shows while it runs: a view redrawn in place on a terminal, or one plain
line per status when the output is a file or a pipe."""

from __future__ import annotations

import shutil
import sys

from .profile import Profile


def bar(fraction: float, width: int) -> str:
    fraction = min(1.0, max(0.0, fraction))
    full = int(round(fraction * width))
    return "█" * full + "·" * (width - full)


def _watts(value) -> str:
    return f"{value:6.1f} W" if value is not None else "     - W"


class View:
    def __init__(self, profile: Profile, out=None):
        self.profile = profile
        self.out = out or sys.stdout
        self.domains = profile.load.enabled()

    def write(self, text: str) -> None:
        # A closed terminal or pipe must not stop the run from ending cleanly.
        try:
            self.out.write(text)
            self.out.flush()
        except (OSError, ValueError):
            pass

    def say(self, text: str) -> None:
        self.write(text + "\n")

    def status(self, status: dict, time_s: float, step: int, measured: dict) -> None:
        raise NotImplementedError

    def finish(self) -> None:
        pass


class PlainView(View):
    """One line per status, easy to read back or to grep."""

    def status(self, status, time_s, step, measured):
        parts = [f"t={time_s:7.2f}s", f"step={step}/{len(self.profile.steps)}"]
        for d in self.domains:
            s = status.domain(d)
            parts.append(f"{d}={s.mode}")
            parts.append(f"duty={s.duty:.3f}")
            m = measured.get(d)
            parts.append(f"W={'-' if m is None else f'{m:.1f}'}")
            t = s.target_w
            parts.append(f"targetW={'-' if t is None else f'{t:.1f}'}")
            if d == "gpu":
                ms = s.dispatch_ms
                parts.append(f"dispatchMs={'-' if ms is None else f'{ms:.1f}'}")
            parts.append(f"stale={'yes' if s.power_stale else 'no'}")
        self.say(" ".join(parts))


class LiveView(View):
    """A block of lines redrawn in place; messages scroll above it."""

    BAR = 24

    def __init__(self, profile, out=None):
        super().__init__(profile, out)
        self._drawn = 0
        self._last: list[str] = []

    def _clear(self) -> None:
        if self._drawn:
            # Up to the block's first line, then clear to the end of the screen.
            self.write(f"\x1b[{self._drawn}F\x1b[J")
            self._drawn = 0

    def _draw(self, lines: list[str]) -> None:
        # A line that wraps would break the count of lines to go back up: cut to the width.
        width = max(20, shutil.get_terminal_size().columns - 1)
        lines = [line[:width] for line in lines]
        self._clear()
        self.write("".join(line + "\n" for line in lines))
        self._drawn = len(lines)
        self._last = lines

    def say(self, text: str) -> None:
        self._clear()
        self.write(text + "\n")
        if self._last:
            self._draw(self._last)

    def lines(self, status, time_s, step, measured) -> list[str]:
        total = self.profile.seconds
        steps = self.profile.steps
        name = steps[step - 1].name if 0 < step <= len(steps) else ""
        out = [f"step {step}/{len(steps)}  {name}",
               f"run  [{bar(time_s / total if total else 1.0, self.BAR)}] {min(time_s, total):6.1f} / {total:.1f} s"]
        for d in self.domains:
            s = status.domain(d)
            duty = s.duty
            line = (f"{d}  {s.mode:<6} [{bar(duty, self.BAR)}] {duty:5.3f}"
                    f"  {_watts(measured.get(d))}  target {_watts(s.target_w)}")
            if d == "gpu":
                ms = s.dispatch_ms
                line += f"  dispatch {'-' if ms is None else f'{ms:.1f}'} ms"
            if s.power_stale:
                line += "  STALE"
            out.append(line)
        return out

    def status(self, status, time_s, step, measured):
        self._draw(self.lines(status, time_s, step, measured))

    def finish(self) -> None:
        # Leave the last picture on screen; later messages go below it.
        self._drawn = 0
        self._last = []


def make_view(profile: Profile, out=None) -> View:
    out = out or sys.stdout
    return LiveView(profile, out) if out.isatty() else PlainView(profile, out)
