"""When one helper session hands the run over to the next: the helper's run limit caps a
session, so a long run is a chain of sessions with a short gap between them."""

from __future__ import annotations

from ..commands import MAX_RUN_S, MIN_RUN_S

# A boundary between steps in a session's last fifth is a better place for the gap than
# the middle of a step: the step's settling is not disturbed.
EARLY_SHARE = 0.8


def session_reach_s(max_run_s: int, margin_s: float) -> float:
    """How long a session started with `max_run_s` may run: the limit the helper really
    keeps (it clamps what it is asked), less the runner's margin before it."""
    return min(max(max_run_s, MIN_RUN_S), MAX_RUN_S) - margin_s


def handover_due(session_start_s: float, session_s: float, boundaries, run_end_s: float,
                 reach_end_s: float | None = None) -> float | None:
    """The run time at which the session that began at `session_start_s` ends; None when
    the run ends first. `boundaries` are the steps' (start, end) run times. `reach_end_s` is
    the run time by which the session must be over at the latest (its helper's limit less
    the margin): a hand-over serves only to stay inside that limit, so where the rest of
    the run fits before it, the session runs on to the end."""
    due = session_start_s + session_s
    if due >= run_end_s:
        return None
    if reach_end_s is not None and run_end_s <= reach_end_s:
        return None
    early = session_start_s + EARLY_SHARE * session_s
    between = [start for start, _ in boundaries if session_start_s < start and early <= start <= due]
    return max(between) if between else due
