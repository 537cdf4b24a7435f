"""The run's plot as inline SVG for the HTML report: per load domain the measured power, the
target and each target step's tolerance band; a temperature panel with each step's sensor
limits and the safety limits; steps marked (failed ones shaded), hand-overs as lines.

Drawn from the record alone, decimated like run.png, with no script: it opens anywhere."""

from __future__ import annotations

import math
from html import escape

from .recordio import Step, domains_of, number, sensor_columns, unit_of
from .verdict import Criteria

WIDTH, PANEL_H, PAD_L, PAD_R, PAD_T, PAD_B = 960, 190, 58, 16, 22, 26
COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22")
MEASURED, TARGET, BAND, FAILED, SAFETY, HANDOVER = "#1f5fa8", "#d0541b", "#d0541b", "#d62728", "#b00020", "#555"


def _dict(value) -> dict:
    return value if isinstance(value, dict) else {}


def step_settings(summary: dict, index: int) -> tuple[float, dict]:
    """A step's tolerance (%) and sensor limits, from the profile's copy in the summary."""
    copy = _dict(_dict(summary.get("profile")).get("copy"))
    top = _dict(copy.get("verdict"))
    steps = copy.get("steps") if isinstance(copy.get("steps"), list) else []
    own = _dict(_dict(steps[index - 1]).get("verdict")) if 0 < index <= len(steps) else {}
    tol = number(own.get("tolerance_pct"))
    tol = tol if tol is not None else number(top.get("tolerance_pct"))
    limits = {**_dict(top.get("sensor_max")), **_dict(own.get("sensor_max"))}
    return (tol if tol is not None and tol > 0 else Criteria().tolerance_pct,
            {str(k): v for k, v in limits.items() if number(v) is not None})


class _Panel:
    def __init__(self, top: float, end: float, lo: float, hi: float):
        if hi <= lo:
            lo, hi = lo - 1.0, hi + 1.0
        pad = (hi - lo) * 0.08
        # Power starts at zero; anything else gets room below its lowest value too.
        self.top, self.end, self.lo, self.hi = top, end, lo - pad if lo != 0 else 0.0, hi + pad

    def x(self, t: float) -> float:
        return PAD_L + (WIDTH - PAD_L - PAD_R) * min(max(t / self.end, 0.0), 1.0)

    def y(self, v: float) -> float:
        v = min(max(v, self.lo), self.hi)
        return self.top + PANEL_H * (1 - (v - self.lo) / (self.hi - self.lo))


def _path(panel: _Panel, times, values) -> str:
    """A polyline broken where a value is missing."""
    parts, pen = [], "M"
    for t, v in zip(times, values):
        if t is None or v is None:
            pen = "M"
            continue
        parts.append(f"{pen}{panel.x(t):.1f},{panel.y(v):.1f}")
        pen = "L"
    return " ".join(parts)


def _steps_path(panel: _Panel, times, values) -> str:
    """The target as steps: it holds until the next row."""
    parts, pen, last = [], "M", None
    for t, v in zip(times, values):
        if t is None or v is None:
            pen, last = "M", None
            continue
        if last is not None:
            parts.append(f"L{panel.x(t):.1f},{panel.y(last):.1f}")
        parts.append(f"{pen}{panel.x(t):.1f},{panel.y(v):.1f}")
        pen, last = "L", v
    return " ".join(parts)


def _frame(out: list, panel: _Panel, label: str, steps: list[Step], handovers: list[float]) -> None:
    x0, x1, y0, y1 = PAD_L, WIDTH - PAD_R, panel.top, panel.top + PANEL_H
    for s in steps:
        if s.start_s is None or s.end_s is None:
            continue
        if s.verdict in ("fail", "incomplete"):
            colour = FAILED if s.verdict == "fail" else "#888"
            out.append(f'<rect class="step-{escape(s.verdict)}" x="{panel.x(s.start_s):.1f}" y="{y0}" '
                       f'width="{max(0.0, panel.x(s.end_s) - panel.x(s.start_s)):.1f}" height="{PANEL_H}" '
                       f'fill="{colour}" fill-opacity="0.09"/>')
        if s.start_s > 0:
            out.append(f'<line x1="{panel.x(s.start_s):.1f}" x2="{panel.x(s.start_s):.1f}" y1="{y0}" y2="{y1}" '
                       'stroke="#999" stroke-dasharray="2,3"/>')
    for at in handovers:
        out.append(f'<line class="handover" x1="{panel.x(at):.1f}" x2="{panel.x(at):.1f}" y1="{y0}" y2="{y1}" '
                   f'stroke="{HANDOVER}" stroke-width="1.5" stroke-dasharray="6,3"><title>hand-over at {at:.1f} s'
                   '</title></line>')
    out.append(f'<rect x="{x0}" y="{y0}" width="{x1 - x0}" height="{PANEL_H}" fill="none" stroke="#444"/>')
    for k in range(5):
        v = panel.lo + (panel.hi - panel.lo) * k / 4
        out.append(f'<text x="{x0 - 4}" y="{panel.y(v) + 3:.1f}" text-anchor="end">{v:.4g}</text>')
    out.append(f'<text x="{x0}" y="{y0 - 6}" font-weight="bold">{escape(label)}</text>')


def _range(*series) -> tuple[float, float]:
    values = [v for s in series for v in s if v is not None and math.isfinite(v)]
    return (min(values), max(values)) if values else (0.0, 1.0)


def svg_plot(columns: dict, summary: dict, steps: list[Step]) -> str:
    times = columns.get("time_s") or []
    ends = [s.end_s for s in steps if s.end_s is not None] + [t for t in times if t is not None]
    end = max(ends + [1.0])
    handovers = [x for h in summary.get("handovers") or [] if (x := number(_dict(h).get("at_s"))) is not None]
    safety = {str(k): number(v) for k, v in _dict(_dict(summary.get("safety")).get("sensor_max")).items()
              if number(v) is not None}
    temps = [c for c in sensor_columns(columns) if unit_of(c) == "c" and any(v is not None for v in columns[c])]
    domains = domains_of(columns)
    panels = len(domains) + (1 if temps else 0)
    height = PAD_T + panels * (PANEL_H + PAD_T + PAD_B) + 10
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" class="plot" viewBox="0 0 {WIDTH} {height}" '
           f'width="{WIDTH}" height="{height}" font-family="sans-serif" font-size="11">',
           f'<rect width="{WIDTH}" height="{height}" fill="#fff"/>']
    top = PAD_T
    for d in domains:
        measured, target = columns.get(f"{d}_measured_w") or [], columns.get(f"{d}_target_w") or []
        bands = []
        for s in steps:
            t = number(_dict(s.domains.get(d)).get("target_w"))
            if t is not None and s.start_s is not None and s.end_s is not None:
                tol = step_settings(summary, s.index)[0]
                bands.append((s, t * (1 - tol / 100), t * (1 + tol / 100), tol))
        lo, hi = _range(measured, target, [b[1] for b in bands], [b[2] for b in bands])
        panel = _Panel(top, end, min(0.0, lo), hi)
        _frame(out, panel, f"{d.upper()} power (W): measured, target and its band", steps, handovers)
        for s, low, high, tol in bands:
            out.append(f'<rect class="band" x="{panel.x(s.start_s):.1f}" y="{panel.y(high):.1f}" '
                       f'width="{max(0.0, panel.x(s.end_s) - panel.x(s.start_s)):.1f}" '
                       f'height="{max(0.5, panel.y(low) - panel.y(high)):.1f}" fill="{BAND}" fill-opacity="0.18">'
                       f'<title>step {s.index}: target ±{tol:g} %</title></rect>')
        out.append(f'<path d="{_steps_path(panel, times, target)}" fill="none" stroke="{TARGET}" '
                   'stroke-dasharray="5,3"/>')
        out.append(f'<path class="measured" d="{_path(panel, times, measured)}" fill="none" stroke="{MEASURED}" '
                   'stroke-width="1.5"/>')
        top += PANEL_H + PAD_T + PAD_B
    if temps:
        limits = [(s, c, number(v)) for s in steps for c, v in step_settings(summary, s.index)[1].items()
                  if c in temps and s.start_s is not None and s.end_s is not None]
        lo, hi = _range(*(columns[c] for c in temps), [x for _, _, x in limits],
                        [v for c, v in safety.items() if c in temps])
        panel = _Panel(top, end, lo, hi)
        _frame(out, panel, "temperature (°C), step limits dotted, safety limits dashed", steps, handovers)
        colour = {c: COLOURS[k % len(COLOURS)] for k, c in enumerate(temps)}
        for s, c, v in limits:
            out.append(f'<line class="limit" x1="{panel.x(s.start_s):.1f}" x2="{panel.x(s.end_s):.1f}" '
                       f'y1="{panel.y(v):.1f}" y2="{panel.y(v):.1f}" stroke="{colour[c]}" stroke-dasharray="1,2" '
                       f'stroke-width="2"><title>step {s.index}: {escape(c)} at most {v:g}</title></line>')
        for c, v in safety.items():
            if c in temps:
                out.append(f'<line class="safety" x1="{PAD_L}" x2="{WIDTH - PAD_R}" y1="{panel.y(v):.1f}" '
                           f'y2="{panel.y(v):.1f}" stroke="{SAFETY}" stroke-dasharray="8,4" stroke-width="1.5">'
                           f'<title>safety limit: {escape(c)} {v:g}</title></line>')
        for k, c in enumerate(temps):
            out.append(f'<path d="{_path(panel, times, columns[c])}" fill="none" stroke="{colour[c]}" '
                       'stroke-width="1.3"/>')
            out.append(f'<text x="{WIDTH - PAD_R - 4}" y="{panel.top + 14 + 13 * k}" text-anchor="end" '
                       f'fill="{colour[c]}">{escape(c)}</text>')
        top += PANEL_H + PAD_T + PAD_B
    if not panels:
        out.append(f'<text x="{PAD_L}" y="{PAD_T + 10}">no readings in the record</text>')
    out.append(f'<text x="{WIDTH / 2}" y="{height - 6}" text-anchor="middle">time (s), 0 to {end:.4g}</text>')
    out.append("</svg>")
    return "\n".join(out)
