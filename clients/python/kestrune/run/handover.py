"""When one helper session hands the run over to the next: the helper's run limit caps a
session, so a long run is a chain of sessions with a short gap between them."""

from __future__ import annotations

# A boundary between steps in a session's last fifth is a better place for the gap than
# the middle of a step: the step's settling is not disturbed.
EARLY_SHARE = 0.8


def handover_due(session_start_s: float, session_s: float, boundaries, run_end_s: float) -> float | None:
    """The run time at which the session that began at `session_start_s` ends; None when
    the run ends first. `boundaries` are the steps' (start, end) run times."""
    due = session_start_s + session_s
    if due >= run_end_s:
        return None
    early = session_start_s + EARLY_SHARE * session_s
    between = [start for start, _ in boundaries if session_start_s < start and early <= start <= due]
    return max(between) if between else due
