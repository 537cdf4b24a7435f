"""`kestrune sensors [--all] [--root DIR]`: what this machine offers to record, each sensor
with its current value and the profile line that records it."""

from __future__ import annotations

import sys
import time

from . import sensors as S

# Utilisation is a difference of two counter readings; this far apart.
UTIL_GAP_S = 0.25
GROUPS = (("temp", "fan", "power"), ("zone",), ("freq", "util"))


def _value(value, unit: str) -> str:
    if value is None:
        return "-"
    text = f"{value:.0f}" if unit in ("rpm", "mhz", "count") else f"{value:.1f}"
    return f"{text} {S.UNIT_TEXT.get(unit, unit)}".rstrip()


def _what(s: S.SensorInfo) -> str:
    if s.kind == "freq":
        return f"clock ({s.label})" if s.label in ("mean", "max") else f"{s.label} clock"
    if s.kind == "util":
        return "utilisation" if s.label == "cpu" else f"{s.label} utilisation"
    if s.kind == "throttle":
        return f"throttled ({s.label})"  # counted from the first reading: 0 in a listing
    return s.label


def listing(found: list[S.SensorInfo], values: dict, every: bool) -> list[str]:
    """The lines printed: sensors grouped under their chip, like a sensors tool."""
    shown = [s for s in found
             if every or s.kind not in ("freq", "util") or s.label in ("mean", "max", "cpu")]
    hidden = len(found) - len(shown)
    width = max((len(_what(s)) for s in shown), default=0) + 2
    lines: list[str] = []
    chip = None
    for s in shown:
        head = {"zone": "thermal zones", "freq": "cpu", "util": "cpu"}.get(s.kind, s.chip)
        if head != chip:
            if lines:
                lines.append("")
            lines.append(head)
            chip = head
        lines.append(f"  {_what(s):<{width}}{_value(values.get(s.column), s.unit):>12}   {s.profile_line}")
    if hidden:
        lines.append(f"  ({hidden} per-CPU clocks and utilisations not shown: --all)")
    return lines


def add_parser(subparsers) -> None:
    p = subparsers.add_parser("sensors", help="list the temperatures, fans, clocks and utilisation this "
                                              "machine offers, with the profile line that records each")
    p.add_argument("--all", action="store_true", help="also list every CPU's own clock and utilisation")
    p.add_argument("--root", help=f"read sysfs and procfs under this folder (default: ${S.ROOT_ENV}, else /)")
    p.set_defaults(func=main)


def main(args, out=None) -> int:
    out = out or sys.stdout
    found = S.discover(args.root)
    if not found:
        print(f"kestrune: no sensors under {S.resolve_root(args.root)}", file=sys.stderr)
        return 1
    first = time.monotonic()
    for s in found:
        s.read(first)
    time.sleep(UTIL_GAP_S)
    now = time.monotonic()
    values = {s.column: s.read(now)[0] for s in found}
    for line in listing(found, values, args.all):
        print(line, file=out)
    examples = [s.profile_line for s in found if s.kind in ("temp", "zone")][:2] or [found[0].profile_line]
    print('\nRecord them from a profile with sensors = "auto" (temperatures, fans, thermal zones, mean and '
          'maximum clock, utilisation) or a list of the lines above, such as\n'
          f"  sensors = [{', '.join(examples)}]\n"
          'A program that prints one number per line is a sensor too:\n'
          '  sensors = [{ name = "gpu", command = ["my-gpu-temp"], unit = "c" }]', file=out)
    return 0
