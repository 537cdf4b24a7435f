"""When a helper session hands the run over to the next."""

import pytest

from kestrune.run.handover import handover_due, session_reach_s

STEPS = [(0.0, 100.0), (100.0, 170.0), (170.0, 400.0)]


@pytest.mark.parametrize("session_start, session_s, run_end, reach_end, due", [
    (0.0, 500.0, 400.0, None, None),     # the run ends first: no hand-over
    (0.0, 400.0, 400.0, None, None),     # ... also when it ends just as the session would
    (0.0, 200.0, 400.0, None, 170.0),    # a step boundary in the session's last fifth (160..200)
    (0.0, 150.0, 400.0, None, 150.0),    # none there (100 is too early): at the session's end
    (170.0, 100.0, 400.0, None, 270.0),  # the boundary the session began at does not count
    (0.0, 120.0, 400.0, None, 100.0),    # a boundary at the start of the last fifth counts
    # The helper's limit leaves room for the rest of the run: a hand-over would gain nothing.
    (170.0, 200.0, 400.0, 400.0, None),  # the run ends just as the limit would
    (170.0, 200.0, 400.0, 420.0, None),
    (0.0, 3.0, 9.0, 19.8, None),         # session_s = 3 in a 9 s run, the helper's 30 s limit less 10
    # It does not: the session ends as before.
    (170.0, 200.0, 400.0, 399.0, 370.0),
    (0.0, 3.0, 24.0, 19.8, 3.0),
])
def test_handover_due(session_start, session_s, run_end, reach_end, due):
    assert handover_due(session_start, session_s, STEPS, run_end, reach_end) == due


@pytest.mark.parametrize("asked, reach", [
    (13, 20.0),      # the helper keeps at least 30 s, whatever it is asked
    (30, 20.0),
    (1750, 1740.0),
    (5000, 1790.0),  # and at most 1800 s
])
def test_a_session_reaches_as_far_as_the_limit_the_helper_keeps(asked, reach):
    assert session_reach_s(asked, 10) == reach
