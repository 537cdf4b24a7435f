"""Verdicts: what each criterion judges, a step's verdict and the run's exit code, and the
running verdict the live view shows."""

import pytest

from kestrune.run import outcome as oc
from kestrune.run.verdict import FAILING, PASSING, SETTLING, Criteria, Running, judge_domain, step_verdict

# A 40 W step from 0 s: settling to 2 s, then readings every half second.
SETTLED = [(0.0, 20.0), (1.0, 35.0), (2.0, 40.2), (2.5, 39.8), (3.0, 40.4), (3.5, 39.6)]


def criterion_names(failed):
    return [f["criterion"] for f in failed]


@pytest.mark.parametrize("criteria, samples, failed, summary", [
    # Settling is not judged: the 20 and 35 W readings do not count.
    (Criteria(settle_s=2.0), SETTLED, [], {"mean_w": 40.0, "within_share": 1.0, "error_pct": 0.0}),
    # Judged from the start, half the readings are far out.
    (Criteria(settle_s=0.0, within_share=0.9), SETTLED, ["share within ±3 %"], {"within_share": 0.667}),
    # Only a bound on the mean: the settling drags it to -10.4 %.
    (Criteria(settle_s=0.0, within_share=None, max_error_pct=5.0), SETTLED, ["mean error %"],
     {"error_pct": -10.42}),
    # A wider band takes in a reading 1.5 W off.
    (Criteria(settle_s=2.0, tolerance_pct=5.0), SETTLED + [(4.0, 41.5)], [], {"within_share": 1.0}),
    (Criteria(settle_s=2.0, tolerance_pct=3.0, within_share=1.0), SETTLED + [(4.0, 41.5)],
     ["share within ±3 %"], {"within_share": 0.8}),
    # A missing reading in the judged time fails; in the settling it does not.
    (Criteria(settle_s=2.0), SETTLED + [(4.0, None)], ["readings missing"], {"missing": 1}),
    (Criteria(settle_s=2.0), [(0.5, None)] + SETTLED[2:], [], {"missing": 0}),
    # Nothing judged (a step shorter than its settling): no figures, nothing failed.
    (Criteria(settle_s=10.0), SETTLED, [], {"mean_w": None, "within_share": None}),
])
def test_a_target_domain_is_judged_on_its_criteria(criteria, samples, failed, summary):
    info, why = judge_domain("target", 40.0, samples, 0.0, criteria)
    assert criterion_names(why) == failed
    for key, value in summary.items():
        assert info[key] == (pytest.approx(value, abs=0.001) if isinstance(value, float) else value), key
    for f in why:
        assert f["measured"] is not None and f["limit"] is not None


def test_free_and_off_domains_give_figures_but_only_missing_readings_fail_them():
    info, why = judge_domain("free", None, [(3.0, 55.0), (3.5, 57.0)], 0.0, Criteria())
    assert (info["mean_w"], info["stdev_w"], info["error_pct"], why) == (56.0, 1.0, None, [])
    assert criterion_names(judge_domain("free", None, [(3.0, None)], 0.0, Criteria())[1]) == ["readings missing"]
    assert judge_domain("off", None, [(3.0, None)], 0.0, Criteria())[1] == []


@pytest.mark.parametrize("judged, failed, completed, verdict", [
    (True, [], True, "pass"),
    (True, [{"criterion": "x"}], True, "fail"),
    (False, [{"criterion": "cpu meter"}], True, "fail"),
    (False, [], True, "unjudged"),
    (True, [], False, "incomplete"),
    (True, [{"criterion": "x"}], False, "incomplete"),
])
def test_step_verdict(judged, failed, completed, verdict):
    assert step_verdict(judged, failed, completed) == verdict


@pytest.mark.parametrize("verdicts, incomplete, signum, written, result, code", [
    (["pass", "unjudged"], False, None, True, "pass", 0),
    (["pass", "fail"], False, None, True, "fail", 3),
    (["pass", "incomplete"], True, None, True, "incomplete", 4),
    (["pass", "pass"], False, None, False, "pass", 4),   # the record is not where it was asked for
    (["fail", "incomplete"], True, 2, True, "interrupted", 130),
    (["pass", "incomplete"], False, 15, True, "interrupted", 143),
])
def test_the_outcome_and_its_exit_code(verdicts, incomplete, signum, written, result, code):
    assert oc.outcome(verdicts, incomplete=incomplete, signum=signum) == result
    assert oc.exit_code(result, signum=signum, record_written=written) == code


def test_step_criteria_override_the_profile_defaults_and_merge_sensor_limits():
    base = Criteria(tolerance_pct=5.0, sensor_max={"a_c": 90.0, "b_c": 80.0})
    step = base.merged({"settle_s": 10.0, "within_share": None, "sensor_max": {"b_c": 70.0}})
    assert (step.tolerance_pct, step.settle_s, step.within_share) == (5.0, 10.0, None)
    assert step.sensor_max == {"a_c": 90.0, "b_c": 70.0}


def test_the_running_verdict_follows_the_readings():
    r = Running(40.0, start=10.0, criteria=Criteria(settle_s=2.0, within_share=0.75))
    r.add(11.0, 20.0)
    assert r.state() == (None, SETTLING)
    for t, w in [(12.0, 40.0), (12.5, 40.5), (13.0, 40.0)]:
        r.add(t, w)
    assert r.state() == (pytest.approx(0.42, abs=0.01), PASSING)
    r.add(13.5, 50.0)
    assert r.state()[1] == PASSING   # 3 of 4 in band
    r.add(14.0, 50.0)
    assert r.state()[1] == FAILING   # 3 of 5
    r2 = Running(40.0, start=0.0, criteria=Criteria(settle_s=0.0))
    r2.add(0.5, None)
    assert r2.state() == (None, FAILING)
