"""The runner's exit codes and how a run's outcome maps to them."""

from __future__ import annotations

PASSED = 0        # every judged step passed
SETUP_FAILED = 1  # the profile or the set-up failed before the helper started
USAGE = 2         # the command line was wrong (argparse's own code)
FAILED = 3        # the run completed, but a step failed its verdict
INCOMPLETE = 4    # the run could not be completed, or its record not written where asked
SAFETY_STOP = 5   # a safety limit was crossed and the load stopped

# outcome words in summary.json
PASS, FAIL, INCOMPLETE_RUN, INTERRUPTED, STOPPED = "pass", "fail", "incomplete", "interrupted", "stopped"


def outcome(verdicts, *, incomplete: bool, signum: int | None, safety_stop: bool = False) -> str:
    if signum is not None:
        return INTERRUPTED
    if safety_stop:
        return STOPPED
    if incomplete:
        return INCOMPLETE_RUN
    return FAIL if "fail" in verdicts else PASS


def exit_code(result: str, *, signum: int | None, record_written: bool) -> int:
    """A signal gives the shell's 128 + signal; a record that could not be written where asked
    makes an otherwise finished run incomplete; a safety stop says so whatever else."""
    if signum is not None:
        return 128 + signum
    if result == STOPPED:
        return SAFETY_STOP
    if result == INCOMPLETE_RUN or not record_written:
        return INCOMPLETE
    return FAILED if result == FAIL else PASSED
