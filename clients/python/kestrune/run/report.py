"""`kestrune report DIR [--out PNG]` and `kestrune compare DIR DIR [--out PNG]`: a record read
back, its plot remade and its steps printed as a table; two records side by side, with an
overlaid plot when asked for.

Only the record is read (run.csv and summary.json), never the profile or the helper."""

from __future__ import annotations

import sys
from pathlib import Path

from .junit import write_junit
from .partial import ends_text
from .plot import draw, write_plot
from .recordio import Record, RecordError, Step, load_record, number, unit_of

# Failures of these commands: a record that cannot be read, or a plot that cannot be written.
FAILED = 1
DOMAIN_ORDER = ("cpu", "gpu")


def _say_error(text: str) -> int:
    print(f"kestrune: {text}", file=sys.stderr, flush=True)
    return FAILED


def table(head: list[str], rows: list[list[str]], right: set[int] = frozenset()) -> list[str]:
    """Columns padded to their widest cell, two spaces apart; `right` columns right-aligned."""
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(head)]

    def line(cells):
        out = [c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))]
        return "  ".join(out).rstrip()
    return [line(head)] + [line(r) for r in rows]


def _fmt(value, form: str, unit: str = "") -> str:
    x = number(value)
    return "-" if x is None else f"{x:{form}}{unit}"


def _domains(steps: list[Step]) -> list[str]:
    seen = {d for s in steps for d in s.domains}
    return [d for d in DOMAIN_ORDER if d in seen] + sorted(seen - set(DOMAIN_ORDER))


def _sensors(steps: list[Step]) -> list[str]:
    return list(dict.fromkeys(c for s in steps for c in s.sensors))


def _trend(info: dict, column: str) -> str:
    """= steady; + or - rising or falling faster than the steady limit; blank when unjudged
    or not a temperature."""
    if unit_of(column) != "c":
        return ""
    if info.get("steady") is True:
        return " ="
    slope = number(info.get("slope_per_min"))
    if info.get("steady") is False and slope is not None:
        return " +" if slope > 0 else " -"
    return ""


def _sensor_cell(info: dict, column: str) -> str:
    form = ".0f" if unit_of(column) in ("mhz", "rpm") else ".1f"
    cell = f"{_fmt(info.get('mean'), form)} / {_fmt(info.get('max'), form)}{_trend(info, column)}"
    above = number(info.get("time_above_s"))
    return cell + (f" >{above:g}s" if above else "")


def _verdict(step: Step | None) -> str:
    return "-" if step is None else step.verdict.upper()


def step_lines(record: Record) -> list[str]:
    """The per-step table, the failed criteria, the sensors per step."""
    steps = record.steps
    if not steps:
        return ["no steps in the record"]
    domains = _domains(steps)
    head = ["#", "step", "verdict"]
    right = {0}
    for d in domains:
        first = len(head)
        head += [f"{d} mode", "target", "mean", "stdev", "error", "settle", "within"]
        right |= set(range(first + 1, first + 7))
    rows = []
    for s in steps:
        row = [str(s.index), s.name, _verdict(s)]
        for d in domains:
            x = s.domains.get(d, {})
            within = number(x.get("within_share"))
            row += [str(x.get("mode") or "-"), _fmt(x.get("target_w"), ".1f", " W"), _fmt(x.get("mean_w"), ".1f", " W"),
                    _fmt(x.get("stdev_w"), ".2f", " W"), _fmt(x.get("error_pct"), "+.1f", " %"),
                    _fmt(x.get("settle_s"), ".1f", " s"), "-" if within is None else f"{within * 100:.0f} %"]
        rows.append(row)
    out = table(head, rows, right)
    failed = [(s, f) for s in steps for f in s.failed]
    if failed:
        out += ["", "failed:"]
        out += [f"  step {s.index} {s.name}: {f.get('criterion')} {_measured(f.get('measured'))} "
                f"(limit {_measured(f.get('limit'))})" for s, f in failed]
    sensors = _sensors(steps)
    if sensors:
        out += ["", "sensors per step, mean / max (temperatures: = steady, + rising, - falling; "
                    ">N s above its limit):"]

        def cell(s, c):
            return _sensor_cell(s.sensors[c], c) if c in s.sensors else "-"
        if len(sensors) > len(steps) and len(steps) <= 8:
            # More sensors than steps: a sensor a line, a step a column, to stay narrow.
            out += table(["sensor", *(f"step {s.index}" for s in steps)],
                         [[c] + [cell(s, c) for s in steps] for c in sensors])
        else:
            out += table(["#", "step", *sensors], [[str(s.index), s.name] + [cell(s, c) for c in sensors]
                                                   for s in steps], {0})
    return out


def _measured(value) -> str:
    x = number(value)
    return str(value) if x is None else f"{x:g}"


def header_lines(record: Record) -> list[str]:
    s = record.summary
    host = s.get("host") if isinstance(s.get("host"), dict) else {}
    where = ""
    if host.get("hostname"):
        cpu = ", ".join(str(x) for x in (host.get("cpu_model"), f"{host['cores']} cores" if host.get("cores") else None)
                        if x)
        where = f" on {host['hostname']}" + (f" ({cpu})" if cpu else "")
    started = f", started {s['started_utc']}" if isinstance(s.get("started_utc"), str) else ""
    lines = [f"{record.folder}: {record.name}{started}{where}"]
    outcome = s.get("outcome")
    if s.get("partial") is True:
        files = ", ".join(str(f) for f in s.get("files") or [])
        lines.append(f"outcome {str(outcome).upper()}: a partial record ({files}): the runner ended without "
                     f"writing its summary, so no step was judged; {ends_text(s)}")
    elif isinstance(outcome, str):
        lines.append(f"outcome {outcome.upper()}, exit code {s.get('exit_code')}")
    energy = s.get("energy") if isinstance(s.get("energy"), dict) else {}
    parts = [f"{d} {_fmt(x.get('wh'), '.3f', ' Wh')} over {_fmt(x.get('covered_s'), '.1f', ' s')}"
             for d, x in energy.items() if isinstance(x, dict)]
    if parts:
        lines.append(f"energy from the readings: {', '.join(parts)}")
    for h in s.get("handovers") or []:
        if isinstance(h, dict):
            text = (f"helper hand-over at {_fmt(h.get('at_s'), '.1f', ' s')}, "
                    f"{_fmt(h.get('gap_s'), '.3f', ' s')} without load")
            if h.get("open") is True:
                text += ", still without load when the run ended"
            elif h.get("back_in_band") is True:
                text += f", back in the band after {_fmt(h.get('resettle_s'), '.1f', ' s')}"
            elif h.get("back_in_band") is False:
                text += ", not back in the band before the step ended"
            lines.append(text)
    for p in s.get("problems") or []:
        if isinstance(p, dict):
            lines.append(f"problem at {_fmt(p.get('at_s'), '.1f', ' s')} ({p.get('kind')}): {p.get('message')}"
                         + _problem_span(p))
    return lines


def _problem_span(p: dict) -> str:
    """How long a problem lasted and how often it came, when the record says."""
    parts = []
    count = number(p.get("count"))
    if count is not None and count > 1:
        parts.append(f"{count:g} times")
    ended = number(p.get("ended_s"))
    if ended is not None and ended != number(p.get("at_s")):
        parts.append(f"ended at {ended:.1f} s")
    elif "ended_s" in p and p.get("ended_s") is None:
        parts.append("in force at the end")
    return f" ({', '.join(parts)})" if parts else ""


def report(args, out=None) -> int:
    out = out or sys.stdout
    try:
        record = load_record(args.dir)
    except RecordError as e:
        return _say_error(str(e))
    for line in header_lines(record) + [""] + step_lines(record):
        print(line, file=out)
    from .htmlreport import write_html  # it borrows this module's cells
    plot = Path(args.out) if args.out else record.folder / "run.png"
    page, junit = getattr(args, "html", None), getattr(args, "junit", None)
    writes = [("\nplot", plot, lambda: write_plot(plot, record.columns, record.summary))]
    if page:
        writes.append(("html", page, lambda: write_html(Path(page), record.folder / "run.csv", record.summary,
                                                        str(record.folder))))
    if junit:
        writes.append(("junit", junit, lambda: write_junit(Path(junit), record.summary)))
    for label, path, write in writes:
        try:
            write()
        except OSError as e:
            return _say_error(f"cannot write {path}: {e.strerror or e}")
        print(f"{label}: {path}", file=out)
    return 0


def compare_lines(a: Record, b: Record) -> list[str]:
    sa, sb = a.steps, b.steps
    domains = [d for d in _domains(sa) if d in _domains(sb)]
    temps = [c for c in _sensors(sa) if c in _sensors(sb) and unit_of(c) == "c"]
    head = ["#", "step", "A", "B"]
    right = {0}
    for d in domains:
        first = len(head)
        head += [f"{d} mean A", "B", "error A", "B"]
        right |= set(range(first, first + 4))
    for c in temps:
        head += [f"{c} max A", "B"]
        right |= {len(head) - 2, len(head) - 1}
    rows = []
    differs = []
    for i in range(max(len(sa), len(sb))):
        x = sa[i] if i < len(sa) else None
        y = sb[i] if i < len(sb) else None
        name = x.name if x else y.name
        if x and y and x.name != y.name:
            name = f"{x.name} | {y.name}"
        row = [str(i + 1), name, _verdict(x), _verdict(y)]
        if x and y and x.verdict != y.verdict:
            differs.append(str(i + 1))
        for d in domains:
            dx = x.domains.get(d, {}) if x else {}
            dy = y.domains.get(d, {}) if y else {}
            row += [_fmt(dx.get("mean_w"), ".1f", " W"), _fmt(dy.get("mean_w"), ".1f", " W"),
                    _fmt(dx.get("error_pct"), "+.1f", " %"), _fmt(dy.get("error_pct"), "+.1f", " %")]
        for c in temps:
            row += [_fmt(((x.sensors.get(c) if x else None) or {}).get("max"), ".1f"),
                    _fmt(((y.sensors.get(c) if y else None) or {}).get("max"), ".1f")]
        rows.append(row)
    out = [f"A: {line}" if i == 0 else f"   {line}" for i, line in enumerate(header_lines(a))]
    out += [f"B: {line}" if i == 0 else f"   {line}" for i, line in enumerate(header_lines(b))]
    out += [""] + table(head, rows, right) + [""]

    def tally(steps):
        counts = {}
        for s in steps:
            counts[s.verdict] = counts.get(s.verdict, 0) + 1
        return ", ".join(f"{n} {v}" for v, n in sorted(counts.items())) or "no steps"
    out.append(f"A: {tally(sa)}; B: {tally(sb)}")
    both = min(len(sa), len(sb))
    out.append(f"verdicts differ in step {', '.join(differs)}" if differs else
               f"the verdicts agree in {'every step' if len(sa) == len(sb) else f'the {both} steps both have'}")
    if len(sa) != len(sb):
        longer = "A" if len(sa) > len(sb) else "B"
        out.append(f"steps {both + 1} to {max(len(sa), len(sb))} are only in {longer}")
    return out


def compare(args, out=None) -> int:
    out = out or sys.stdout
    try:
        a, b = load_record(args.a), load_record(args.b)
    except RecordError as e:
        return _say_error(str(e))
    for line in compare_lines(a, b):
        print(line, file=out)
    if args.out:
        plot = Path(args.out)
        try:
            draw([("A", a.columns, a.summary), ("B", b.columns, b.summary)], plot,
                 f"kestrune compare: A {a.name} ({a.folder.name}), B {b.name} ({b.folder.name}, dashed)")
        except OSError as e:
            return _say_error(f"cannot write {plot}: {e.strerror or e}")
        print(f"\nplot: {plot}", file=out)
    return 0


def add_parser(subparsers) -> None:
    p = subparsers.add_parser("report", help="print a run's per-step table and remake its plot from its record")
    p.add_argument("dir", help="the run's folder (run.csv, summary.json)")
    p.add_argument("--out", help="where to write the plot (default: DIR/run.png)")
    p.add_argument("--junit", metavar="FILE", help="also write the run's result as JUnit XML for CI")
    p.add_argument("--html", metavar="FILE", help="also write the record as one self-contained HTML page")
    p.set_defaults(func=main)
    p = subparsers.add_parser("compare", help="put two runs side by side: a per-step table and an overlaid plot")
    p.add_argument("a", help="the first run's folder (A)")
    p.add_argument("b", help="the second run's folder (B)")
    p.add_argument("--out", help="write the overlaid plot here (a .png file)")
    p.set_defaults(func=main)


def main(args) -> int:
    return compare(args) if args.command == "compare" else report(args)
