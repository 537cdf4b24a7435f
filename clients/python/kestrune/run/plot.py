"""run.png: per domain, measured power and target against time, the duty on a second axis,
step boundaries marked and named."""

from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only; no display is needed or wanted
import matplotlib.pyplot as plt  # noqa: E402

from .profile import Profile  # noqa: E402
from .record import Row  # noqa: E402

POWER_COLOUR = "#1f5fa8"
TARGET_COLOUR = "#d0541b"
DUTY_COLOUR = "#5a9e4b"


def _series(rows: list[Row], d: str, attr: str):
    xs, ys = [], []
    for r in rows:
        v = getattr(r.domains[d], attr)
        xs.append(r.time_s)
        ys.append(float("nan") if v is None else v)
    return xs, ys


def write_plot(path: Path, profile: Profile, rows: list[Row]) -> None:
    domains = profile.load.enabled()
    fig, axes = plt.subplots(len(domains), 1, figsize=(10, 3.4 * len(domains) + 0.6), sharex=True,
                             squeeze=False)
    bounds = profile.boundaries()
    end = bounds[-1][1]
    for ax, d in zip(axes[:, 0], domains):
        xs, measured = _series(rows, d, "measured_w")
        _, target = _series(rows, d, "target_w")
        _, duty = _series(rows, d, "duty")
        ax.plot(xs, measured, color=POWER_COLOUR, lw=1.6, label="measured W")
        ax.step(xs, target, where="post", color=TARGET_COLOUR, lw=1.4, ls="--", label="target W")
        ax.set_ylabel(f"{d.upper()} power (W)")
        ax.set_ylim(bottom=0)
        ax.grid(alpha=0.3)
        duty_ax = ax.twinx()
        duty_ax.fill_between(xs, duty, step="post", color=DUTY_COLOUR, alpha=0.18, lw=0)
        duty_ax.step(xs, duty, where="post", color=DUTY_COLOUR, lw=1.0, label="duty")
        duty_ax.set_ylim(0, 1.05)
        duty_ax.set_ylabel("duty")
        for start, _ in bounds[1:]:
            ax.axvline(start, color="0.35", lw=0.8, ls=":")
        lines = ax.get_lines()[:2] + duty_ax.get_lines()[:1]
        ax.legend(lines, [ln.get_label() for ln in lines], loc="upper left", fontsize=8, framealpha=0.85)
    top = axes[0, 0]
    for step, (start, stop) in zip(profile.steps, bounds):
        top.annotate(step.name, xy=((start + stop) / 2, 1.0), xycoords=("data", "axes fraction"),
                     xytext=(0, 3), textcoords="offset points", ha="center", va="bottom", fontsize=8)
    axes[-1, 0].set_xlim(0, max(end, rows[-1].time_s if rows else end))
    axes[-1, 0].set_xlabel("time (s)")
    fig.suptitle(f"kestrune run: {profile.name} (power from the {profile.power.source} source)", y=0.995)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
