"""What a run looks like while it runs: one snapshot per status, handed by the runner to
everything that shows or serves the run (the live view, the metrics endpoint).

Kept apart from the runner's loop so that each consumer depends on this record alone."""

from __future__ import annotations

from dataclasses import dataclass, field

# A step's verdict as it stands: judged time not reached yet, within its criteria so far,
# outside them, or not judged at all (a step with nothing to hold).
SETTLING, PASSING, FAILING, PASS, FAIL, UNJUDGED = "settling", "passing", "failing", "pass", "fail", "unjudged"

# The run's state.
STARTING, RUNNING, HANDOVER, STOPPING, DONE = "starting", "running", "handover", "stopping", "done"


@dataclass(frozen=True)
class DomainLive:
    name: str                     # "cpu" or "gpu"
    mode: str                     # "off", "free" or "target"
    duty: float                   # 0..1, as the helper last reported it
    target_w: float | None        # the target in force, None when not in target mode
    measured_w: float | None      # the latest reading; None when the meter has none (missing)
    stale: bool                   # the helper's powerStale flag
    error_pct: float | None       # the step's running error of the judged mean, in % of target
    verdict: str | None           # SETTLING, PASSING, FAILING, or None when not judged
    dispatch_ms: float | None = None  # the GPU's time per dispatch, as the helper last reported it


@dataclass(frozen=True)
class Snapshot:
    run_s: float                  # seconds since the first step began
    run_total_s: float            # the profile's planned length in seconds
    state: str                    # STARTING, RUNNING, HANDOVER, STOPPING, DONE
    step_index: int               # 0-based index of the step in force
    step_count: int
    step_name: str
    step_s: float                 # seconds into the step
    step_total_s: float           # the step's planned length
    next_step_name: str | None
    domains: tuple[DomainLive, ...] = ()
    sensors: dict[str, float | None] = field(default_factory=dict)   # column name -> value
    sensor_units: dict[str, str] = field(default_factory=dict)       # column name -> unit
    helper_pid: int | None = None
    helper_version: str | None = None
    problems: tuple[str, ...] = ()  # meter or sensor failures in force, one line each
    sensor_limits: dict[str, float] = field(default_factory=dict)  # column -> the step's upper limit
    safety_limits: dict[str, float] = field(default_factory=dict)  # column -> the value that stops the load
    problems_total: int = 0         # every problem of the run so far, those that ended included
