"""run.png, drawn from the record alone (run.csv and summary.json), so `kestrune report`
can remake it: per load domain, measured power and target against time with the duty on a
second axis; under them, when sensors were recorded, temperatures with clocks, then
utilisation with fans and anything else. Steps are marked and named (numbered, with a key
below, when their names do not fit); failed steps are shaded red; each hand-over between
helper sessions is shaded from its start until the readings were back in the band."""

from __future__ import annotations

import math
import os
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only; no display is needed or wanted
import matplotlib.pyplot as plt  # noqa: E402

from .decimate import read_series  # noqa: E402
from .plot_marks import mark_limits  # noqa: E402
from .recordio import Step, domains_of, profile_name, sensor_columns, steps_of, unit_of  # noqa: E402
from .safefile import create  # noqa: E402

POWER_COLOUR = "#1f5fa8"
TARGET_COLOUR = "#d0541b"
DUTY_COLOUR = "#5a9e4b"
FAILED_COLOUR = "#d62728"
SECOND_COLOUR = "#7b3fa0"   # the second run in a comparison
HANDOVER_COLOUR = "#8a6d00"
SENSOR_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22",
                  "#7f7f7f", "#d62728")
WIDTH_IN = 11.0
DPI = 110
LABEL_PT = 8


def _nan(values):
    return [math.nan if v is None else v for v in values]


def _series(columns, name):
    return _nan(columns.get(name) or [])


def _sensor_groups(columns) -> list[tuple[list[str], list[str], str, str]]:
    """The sensor panels: (left columns, right columns, left label, right label)."""
    sensors = sensor_columns(columns)
    by_unit: dict[str, list[str]] = {}
    for c in sensors:
        if any(v is not None for v in columns[c]):
            by_unit.setdefault(unit_of(c), []).append(c)
    other = [c for u, cs in by_unit.items() if u not in ("c", "mhz", "rpm") for c in cs]
    other_label = "utilisation (%)" if set(map(unit_of, other)) == {"pct"} else "utilisation (%), other"
    panels = []
    for left, right, left_label, right_label in (
            (by_unit.get("c", []), by_unit.get("mhz", []), "temperature (°C)", "clock (MHz)"),
            (other, by_unit.get("rpm", []), other_label, "fan (RPM)")):
        if left:
            panels.append((left, right, left_label, right_label))
        elif right:  # nothing for the left axis: the right one's lines take it
            panels.append((right, [], right_label, ""))
    return panels


def _labels_fit(steps: list[Step], end: float, width_px: float, numbered: bool) -> list[str | None]:
    """Each step's label, or None where it would run into its neighbour."""
    out = []
    right_edge = -math.inf
    for s in steps:
        if s.start_s is None or s.end_s is None or end <= 0:
            out.append(None)
            continue
        text = str(s.index) if numbered else s.name
        width = len(text) * LABEL_PT * 0.62 + 4
        span = (s.end_s - s.start_s) / end * width_px
        centre = (s.start_s + s.end_s) / 2 / end * width_px
        fits = (numbered or width <= span) and centre - width / 2 >= right_edge
        out.append(text if fits else None)
        if fits:
            right_edge = centre + width / 2
    return out


def _mark_steps(axes, steps: list[Step], end: float, fig_width_px: float):
    """Boundaries on every panel, failed steps shaded, labels on the top panel. Returns the key
    lines (number and name) when the steps had to be numbered."""
    for s in steps:
        if s.start_s is None or s.end_s is None:
            continue
        for ax in axes:
            if s.start_s > 0:
                ax.axvline(s.start_s, color="0.35", lw=0.6, ls=":")
            if s.verdict in ("fail", "incomplete"):
                ax.axvspan(s.start_s, s.end_s, color=FAILED_COLOUR if s.verdict == "fail" else "0.5",
                           alpha=0.09, lw=0)
    width_px = fig_width_px * 0.8
    labels = _labels_fit(steps, end, width_px, numbered=False)
    numbered = any(label is None for s, label in zip(steps, labels) if s.start_s is not None)
    if numbered:
        labels = _labels_fit(steps, end, width_px, numbered=True)
    top = axes[0]
    for s, label in zip(steps, labels):
        if label is None:
            continue
        failed = s.verdict == "fail"
        top.annotate(label, xy=((s.start_s + s.end_s) / 2, 1.0), xycoords=("data", "axes fraction"),
                     xytext=(0, 3), textcoords="offset points", ha="center", va="bottom", fontsize=LABEL_PT,
                     color=FAILED_COLOUR if failed else "black", fontweight="bold" if failed else "normal")
    if not numbered:
        return []
    return [f"{s.index} {s.name}" + (" (FAIL)" if s.verdict == "fail" else "") for s in steps]


def _mark_handovers(axes, summary: dict) -> None:
    """The gap without load darker, the time until the readings were back in the band lighter."""
    for h in summary.get("handovers") or []:
        if not isinstance(h, dict) or not isinstance(h.get("at_s"), (int, float)):
            continue
        at, gap = h["at_s"], h.get("gap_s") if isinstance(h.get("gap_s"), (int, float)) else 0.0
        back = h.get("resettle_s") if isinstance(h.get("resettle_s"), (int, float)) else None
        for ax in axes:
            ax.axvspan(at, at + max(gap, 0.05), color=HANDOVER_COLOUR, alpha=0.25, lw=0)
            if back is not None and back > gap:
                ax.axvspan(at + gap, at + back, color=HANDOVER_COLOUR, alpha=0.08, lw=0)
        axes[0].annotate("hand-over", xy=(at, 0.0), xycoords=("data", "axes fraction"), xytext=(2, 2),
                         textcoords="offset points", fontsize=6.5, color=HANDOVER_COLOUR, rotation=90,
                         va="bottom")


def _end_time(columns, steps) -> float:
    ends = [s.end_s for s in steps if s.end_s is not None]
    times = [t for t in columns.get("time_s") or [] if t is not None]
    return max(ends + times + [1.0])


def draw(runs: list[tuple[str, dict, dict]], path: Path, title: str) -> None:
    """Draws one run, or several overlaid (the first in the usual colours, the others in
    their own, dashed); step marks come from the first."""
    first_cols, first_summary = runs[0][1], runs[0][2]
    domains = list(dict.fromkeys(d for _, cols, _ in runs for d in domains_of(cols)))
    merged = {}
    for _, cols, _ in runs:
        for c in sensor_columns(cols):
            merged.setdefault(c, cols[c])
    merged.update({"time_s": first_cols.get("time_s", [])})
    sensor_panels = _sensor_groups(merged)
    steps = steps_of(first_summary)
    end = max(_end_time(cols, steps_of(s)) for _, cols, s in runs)

    heights = [3.2] * len(domains) + [2.8] * len(sensor_panels)
    if not heights:
        heights = [2.0]
    fig_width_px = WIDTH_IN * DPI
    fig, axes = plt.subplots(len(heights), 1, figsize=(WIDTH_IN, sum(heights) + 0.8), sharex=True, squeeze=False,
                             height_ratios=heights)
    axes = list(axes[:, 0])
    for i, d in enumerate(domains):
        ax = axes[i]
        duty_ax = ax.twinx()
        for n, (label, cols, _) in enumerate(runs):
            if f"{d}_measured_w" not in cols:
                continue
            xs = _series(cols, "time_s")
            suffix = f" ({label})" if len(runs) > 1 else ""
            colour = POWER_COLOUR if n == 0 else SECOND_COLOUR
            ls = "-" if n == 0 else "--"
            ax.plot(xs, _series(cols, f"{d}_measured_w"), color=colour, lw=1.5, ls=ls, label=f"measured W{suffix}")
            ax.step(xs, _series(cols, f"{d}_target_w"), where="post", color=TARGET_COLOUR, lw=1.2,
                    ls="--" if n == 0 else ":", label=f"target W{suffix}")
            if n == 0:
                duty = _series(cols, f"{d}_duty")
                duty_ax.fill_between(xs, [0 if math.isnan(v) else v for v in duty], step="post",
                                     color=DUTY_COLOUR, alpha=0.15, lw=0)
                duty_ax.step(xs, duty, where="post", color=DUTY_COLOUR, lw=0.9, label="duty")
        ax.set_ylabel(f"{d.upper()} power (W)")
        ax.set_ylim(bottom=0)
        ax.grid(alpha=0.3)
        duty_ax.set_ylim(0, 1.05)
        duty_ax.set_ylabel("duty")
        lines = ax.get_lines() + duty_ax.get_lines()[:1]
        ax.legend(lines, [ln.get_label() for ln in lines], loc="upper left", fontsize=7, framealpha=0.85)
    for j, (left, right, left_label, right_label) in enumerate(sensor_panels):
        ax = axes[len(domains) + j]
        other = ax.twinx() if right else None
        # One colour per column, kept by every run; the right axis's lines are thinner and
        # say so in the legend.
        colour = {c: SENSOR_COLOURS[k % len(SENSOR_COLOURS)] for k, c in enumerate(left + right)}
        handles = []
        for n, (label, cols, _) in enumerate(runs):
            xs = _series(cols, "time_s")
            ls = "-" if n == 0 else "--"
            suffix = f" ({label})" if len(runs) > 1 else ""
            # The right axis's lines are dash-dotted (dotted for a second run).
            for target_ax, names, lw, side, style in ((ax, left, 1.2, "", ls),
                                                      (other, right, 0.9, " (right)", "-." if n == 0 else ":")):
                for c in names:
                    if c in cols and target_ax is not None:
                        handles += target_ax.plot(xs, _series(cols, c), lw=lw, ls=style, color=colour[c],
                                                  label=c + side + suffix)
        ax.set_ylabel(left_label)
        ax.grid(alpha=0.3)
        ax.margins(y=0.12)
        if other is not None:
            other.set_ylabel(right_label)
            other.margins(y=0.12)
        if handles:
            labels = [h.get_label() for h in handles]
            if len(handles) <= 4:
                ax.legend(handles, labels, loc="upper left", fontsize=6.5, framealpha=0.85)
            else:  # many lines: the key goes beside the panel, clear of them
                ax.legend(handles, labels, loc="upper left", bbox_to_anchor=(1.1 if other else 1.01, 1.0),
                          fontsize=6.5, framealpha=0.85, borderaxespad=0, ncol=1 if len(handles) <= 14 else 2)
    mark_limits(dict(zip(domains, axes)), [(axes[len(domains) + j], panel[0]) for j, panel in enumerate(sensor_panels)],
                first_summary, steps)
    key_lines = _mark_steps(axes, steps, end, fig_width_px) if steps else []
    _mark_handovers(axes, first_summary)
    axes[-1].set_xlim(0, end)
    axes[-1].set_xlabel("time (s)")
    fig.suptitle(title, y=0.998)
    if key_lines:
        # The key of numbered steps goes below the panels, in columns of 12 lines.
        per_col = 12
        cols_n = math.ceil(len(key_lines) / per_col)
        rows_n = min(per_col, len(key_lines))
        extra = 0.12 * rows_n + 0.25
        fig.set_size_inches(WIDTH_IN, fig.get_size_inches()[1] + extra)
        fig.tight_layout(rect=(0, extra / fig.get_size_inches()[1], 1, 1))
        for c in range(cols_n):
            chunk = key_lines[c * per_col:(c + 1) * per_col]
            fig.text(0.02 + c * (0.96 / cols_n), extra / fig.get_size_inches()[1] - 0.01, "\n".join(chunk),
                     va="top", ha="left", fontsize=7, family="monospace")
    else:
        fig.tight_layout()
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        # A new file, never one reached through a link left in the folder.
        with os.fdopen(create(tmp, os.O_WRONLY), "wb") as f:
            fig.savefig(f, dpi=DPI, format="png")
        os.replace(tmp, path)
    finally:
        plt.close(fig)
        tmp.unlink(missing_ok=True)


def _title(summary: dict) -> str:
    copy = (summary.get("profile") or {}).get("copy") if isinstance(summary.get("profile"), dict) else None
    source = ((copy or {}).get("power") or {}).get("source") if isinstance(copy, dict) else None
    head = f"kestrune run: {profile_name(summary)}"
    outcome = summary.get("outcome")
    if isinstance(outcome, str):
        head += f" ({outcome.upper()})"
    return head + (f", power from the {source} source" if isinstance(source, str) else "")


def write_plot(path, csv_path_or_columns, summary: dict) -> None:
    """run.png from run.csv (a path, read in one pass and decimated, or its columns as read)
    and the summary."""
    if isinstance(csv_path_or_columns, dict):
        columns = csv_path_or_columns
    else:
        ends = [s.end_s for s in steps_of(summary) if s.end_s is not None]
        columns = read_series(Path(csv_path_or_columns), span_s=max(ends, default=None))
    draw([("", columns, summary)], Path(path), _title(summary))
