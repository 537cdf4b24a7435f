"""When a helper session hands the run over to the next."""

import pytest

from kestrune.run.handover import handover_due

STEPS = [(0.0, 100.0), (100.0, 170.0), (170.0, 400.0)]


@pytest.mark.parametrize("session_start, session_s, run_end, due", [
    (0.0, 500.0, 400.0, None),     # the run ends first: no hand-over
    (0.0, 400.0, 400.0, None),     # ... also when it ends just as the session would
    (0.0, 200.0, 400.0, 170.0),    # a step boundary in the session's last fifth (160..200)
    (0.0, 150.0, 400.0, 150.0),    # none there (100 is too early): at the session's end
    (170.0, 100.0, 400.0, 270.0),  # the boundary the session began at does not count
    (0.0, 120.0, 400.0, 100.0),    # a boundary at the start of the last fifth counts
])
def test_handover_due(session_start, session_s, run_end, due):
    assert handover_due(session_start, session_s, STEPS, run_end) == due
