"""What run.png marks besides the readings: each target step's tolerance band on its power
panel, each step's sensor limits (dotted, over the step) and the safety limits (dashed,
over the run) on the sensor panels, and the hand-overs as lines on every panel. Read from
the summary alone, as the HTML report's plot does."""

from __future__ import annotations

from .recordio import Step, number
from .svgplot import step_settings

BAND_COLOUR = "#d0541b"
SAFETY_COLOUR = "#b00020"
HANDOVER_COLOUR = "0.25"


def mark_limits(power_axes: dict, sensor_axes: list, summary: dict, steps: list[Step]) -> None:
    """`power_axes`: domain -> its axes; `sensor_axes`: (axes, the columns on its left axis)."""
    for d, ax in power_axes.items():
        for s in steps:
            target = number((s.domains.get(d) or {}).get("target_w"))
            if target is None or s.start_s is None or s.end_s is None:
                continue
            tol = step_settings(summary, s.index)[0]
            top = target * (1 + tol / 100)
            ax.fill_between([s.start_s, s.end_s], target * (1 - tol / 100), top,
                            color=BAND_COLOUR, alpha=0.15, lw=0, gid=f"band-{s.index}")
            low, high = ax.get_ylim()  # the panel's limits are already set: the band must fit
            if top > high:
                ax.set_ylim(low, top * 1.03)
    safety = summary.get("safety") if isinstance(summary.get("safety"), dict) else {}
    limits = safety.get("sensor_max") if isinstance(safety.get("sensor_max"), dict) else {}
    for ax, columns in sensor_axes:
        for c in columns:
            if number(limits.get(c)) is not None:
                ax.axhline(number(limits[c]), color=SAFETY_COLOUR, lw=1.1, ls="--", gid=f"safety-{c}")
            for s in steps:
                v = number(step_settings(summary, s.index)[1].get(c))
                if v is not None and s.start_s is not None and s.end_s is not None:
                    ax.hlines(v, s.start_s, s.end_s, colors=SAFETY_COLOUR, lw=1.4, linestyles=":",
                              gid=f"limit-{s.index}-{c}")
    handovers = [number(h.get("at_s")) for h in summary.get("handovers") or [] if isinstance(h, dict)]
    for ax in [*power_axes.values(), *(a for a, _ in sensor_axes)]:
        for at in handovers:
            if at is not None:
                ax.axvline(at, color=HANDOVER_COLOUR, lw=1.0, ls="-.", gid="handover")
