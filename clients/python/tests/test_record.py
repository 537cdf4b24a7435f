"""The record: run.csv, the per-step verdicts of summary.json, events.jsonl, and run.png."""

import csv
import json

import pytest

from kestrune import parse_event
from kestrune.helper import Helper
from kestrune.run.profile import parse
from kestrune.run.record import EventLog, row_from_status, summarize_steps, write_csv, write_json
from kestrune.run.plot import write_plot
from kestrune.run.verdict import settle_time

PROFILE = parse({
    "name": "rec",
    "load": {"cpu": True, "gpu": True},
    "verdict": {"settle_s": 0.0, "within_share": 0.5},
    "steps": [
        {"name": "free", "seconds": 1, "cpu": "free"},
        {"name": "hold", "seconds": 2, "cpu": {"mode": "target", "watts": 50, "cap": 40},
         "gpu": {"mode": "target", "watts": 100}},
    ],
})


def status(t_ms, cpu_mode, cpu_duty, cpu_target, gpu_mode="off", gpu_duty=0.0, gpu_target=None, dispatch=None,
           stale=False):
    return parse_event({"ev": "status", "tMs": t_ms,
            "cpu": {"mode": cpu_mode, "duty": cpu_duty, "targetW": cpu_target, "powerStale": stale},
            "gpu": {"mode": gpu_mode, "duty": gpu_duty, "targetW": gpu_target, "dispatchMs": dispatch,
                    "powerStale": False}})


def rows():
    out = [row_from_status(status(250, "free", 0.5, None), 0.25, 1, {"cpu": 30.0, "gpu": None}, ("cpu", "gpu"),
                           "2026-12-10T12:00:00.250Z", {"cpu_temp_c": 41.0}),
           row_from_status(status(750, "free", 1.0, None, stale=True), 0.75, 1, {"cpu": 50.0, "gpu": None},
                           ("cpu", "gpu"), "2026-12-10T12:00:00.750Z", {"cpu_temp_c": None})]
    # In step 2: 44 W (out of band), then 41.0, 39.5 (in ±3 % of 40 W), 42 (out), 40.4, 39.9 (in).
    for t, w in [(1.25, 44.0), (1.5, 41.0), (1.75, 39.5), (2.0, 42.0), (2.5, 40.4), (2.9, 39.9)]:
        out.append(row_from_status(status(int(t * 1000), "target", 0.6, 40.0, "target", 0.3, 100.0, 12.5), t, 2,
                                   {"cpu": w, "gpu": 100.0}, ("cpu", "gpu")))
    return out


@pytest.mark.parametrize("samples, expected", [
    ([], None),
    ([(1.0, 40.0)], 0.0),
    ([(1.2, 30.0), (1.4, 40.5), (1.6, 39.0)], 0.4),
    ([(1.2, 40.0), (1.4, 45.0), (1.6, 40.0), (1.8, 40.8)], 0.6),  # left the band: counts from the return
    ([(1.2, 40.0), (1.4, 41.3)], None),  # ended outside the band
    ([(1.2, 40.0), (1.4, None), (1.6, 40.5)], 0.2),  # a missing reading neither enters nor leaves
])
def test_settle_time_is_the_last_entry_into_the_band(samples, expected):
    assert settle_time(samples, 40.0, 1.0, 3.0) == expected


def test_settle_time_passes_over_a_hand_over():
    samples = [(1.2, 40.0), (1.4, 30.0), (1.6, 40.5)]
    assert settle_time(samples, 40.0, 1.0, 3.0) == 0.6
    assert settle_time(samples, 40.0, 1.0, 3.0, excluded=[(1.3, 1.5)]) == 0.2


def test_the_summary_judges_each_step_and_domain():
    free, hold = summarize_steps(PROFILE, rows(), ("cpu", "gpu"), completed_steps=2)
    assert free["domains"]["cpu"] == {"mode": "free", "target_w": None, "mean_w": 40.0, "stdev_w": 10.0,
                                      "error_pct": None, "settle_s": None, "within_share": None, "missing": 0}
    assert free["verdict"] == "unjudged" and free["failed"] == []
    assert free["domains"]["gpu"]["mean_w"] is None
    cpu = hold["domains"]["cpu"]
    assert cpu["target_w"] == 40.0  # capped
    assert cpu["mean_w"] == pytest.approx(41.133, abs=0.001)
    assert cpu["error_pct"] == pytest.approx(2.83, abs=0.01) and cpu["within_share"] == 0.667
    assert cpu["settle_s"] == 1.5  # from 2.5 s, 1.5 s after the step began at 1.0 s
    assert hold["domains"]["gpu"]["settle_s"] == 0.25 and hold["domains"]["gpu"]["error_pct"] == 0.0
    assert hold["verdict"] == "pass"
    # Not completed: never a pass, whatever the readings say.
    assert [s["verdict"] for s in summarize_steps(PROFILE, rows(), ("cpu", "gpu"), completed_steps=1)] == \
        ["unjudged", "incomplete"]


def test_a_meter_failure_or_a_missing_reading_fails_the_step_it_happens_in():
    r = rows()
    r[4].domains["cpu"].measured_w = None
    free, hold = summarize_steps(PROFILE, r, ("cpu", "gpu"), completed_steps=2,
                                 meter_failures=[(0.5, "cpu", "power command m for cpu exited with code 1")])
    assert free["verdict"] == "fail" and free["failed"] == [
        {"criterion": "cpu meter", "measured": "power command m for cpu exited with code 1",
         "limit": "working meter"}]
    assert hold["verdict"] == "fail"
    assert {"criterion": "cpu readings missing", "measured": 1, "limit": 0} in hold["failed"]


def test_a_hand_over_and_its_settling_are_not_judged():
    # Without the exclusion, the 44 W and 42 W readings put the share in band at 0.667.
    _, hold = summarize_steps(PROFILE, rows(), ("cpu", "gpu"), completed_steps=2, excluded=[(1.2, 2.1)])
    assert hold["domains"]["cpu"]["within_share"] == 1.0 and hold["domains"]["cpu"]["mean_w"] == 40.15


def test_sensor_limits_use_the_sensor_summaries():
    profile = parse({**PROFILE.source, "sensors": ["temp:cpu"],
                     "verdict": {"settle_s": 0.0, "sensor_max": {"cpu_temp_c": 40.0}}})
    summaries = []

    def summarise(times, values, threshold, column, judged_from_s):
        summaries.append((times, values, threshold, column, judged_from_s))
        good = [v for v in values if v is not None]
        return {"mean": None, "max": max(good) if good else None}

    free, hold = summarize_steps(profile, rows(), ("cpu", "gpu"), completed_steps=2, sensor_summary=summarise,
                                 sensor_columns=["cpu_temp_c"])
    assert summaries[0] == ([0.25, 0.75], [41.0, None], 40.0, "cpu_temp_c", 0.0)
    assert free["sensors"]["cpu_temp_c"]["max"] == 41.0
    assert {"criterion": "cpu_temp_c max", "measured": 41.0, "limit": 40.0} in free["failed"]
    # A limited sensor with no reading at all breaks its limit too.
    assert {"criterion": "cpu_temp_c max", "measured": None, "limit": 40.0} in hold["failed"]


def test_csv_and_json_files(tmp_path):
    r = rows()
    write_csv(tmp_path / "run.csv", r, ("cpu", "gpu"), ["cpu_temp_c"])
    with open(tmp_path / "run.csv", newline="") as f:
        table = list(csv.DictReader(f))
    assert len(table) == len(r)
    assert table[1] == {"time_s": "0.75", "utc": "2026-12-10T12:00:00.750Z", "t_ms": "750", "step": "1",
                        "cpu_mode": "free", "cpu_duty": "1", "cpu_target_w": "", "cpu_measured_w": "50",
                        "cpu_dispatch_ms": "", "cpu_stale": "1", "gpu_mode": "off", "gpu_duty": "0",
                        "gpu_target_w": "", "gpu_measured_w": "", "gpu_dispatch_ms": "", "gpu_stale": "0",
                        "cpu_temp_c": ""}
    assert table[0]["cpu_temp_c"] == "41"
    assert table[-1]["gpu_dispatch_ms"] == "12.5" and table[-1]["cpu_target_w"] == "40"
    write_json(tmp_path / "summary.json", {"steps": []})
    assert json.loads((tmp_path / "summary.json").read_text()) == {"steps": []}
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.csv", "summary.json"]  # no temporary left


def test_a_failed_write_leaves_the_earlier_file_whole(tmp_path):
    path = tmp_path / "summary.json"
    write_json(path, {"first": 1})
    with pytest.raises(TypeError):
        write_json(path, {"bad": object()})
    assert json.loads(path.read_text()) == {"first": 1}
    assert [p.name for p in tmp_path.iterdir()] == ["summary.json"]


def test_the_event_log_keeps_every_line_both_ways(tmp_path):
    log = EventLog(tmp_path / "events.jsonl", 0.0)
    # A stand-in helper: answers its first line with an ack and a line that is not an event.
    with Helper(["sh", "-c", "read -r line; echo '{\"ev\":\"ack\",\"seq\":1}'; echo 'not json'"]) as helper:
        log.instrument(helper)
        log.session = 2
        helper.send({"cmd": "hb"})
        assert helper.read(10).seq == 1  # events still come out as records
        assert helper.read_raw_line(10) == b"not json\n"
        assert helper.read_raw_line(10) is None
    assert not (tmp_path / "events.jsonl").exists()  # under its temporary name until finished
    assert log.finish()
    entries = [json.loads(line) for line in (tmp_path / "events.jsonl").read_text().splitlines()]
    assert [(e["dir"], e["line"], e["session"]) for e in entries] == [
        (">", {"cmd": "hb"}, 2), ("<", {"ev": "ack", "seq": 1}, 2), ("<", "not json", 2)]
    assert all(e["utc"].endswith("Z") and e["t_s"] > 0 for e in entries)


def test_the_plot_is_a_png(tmp_path):
    write_csv(tmp_path / "run.csv", rows(), ("cpu", "gpu"))
    write_plot(tmp_path / "run.png", tmp_path / "run.csv",
               {"steps": [{"index": 1, "name": "free", "start_s": 0, "end_s": 1},
                          {"index": 2, "name": "hold", "start_s": 1, "end_s": 3}]})
    assert (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def _judged(profile, in_rows, domains=("cpu", "gpu"), unavailable=None, excluded=None):
    from kestrune.run.steps import RunJudge
    judge = RunJudge(profile, domains)
    if excluded:
        judge.spans.append(excluded)
    for r in in_rows:
        judge.add(r)
    return judge.entries(domains, completed_steps=2, unavailable=unavailable)[1]


NOT_JUDGED = "readings after its settling time"


@pytest.mark.parametrize("keep, domains, unavailable, excluded, failed", [
    # No reading reached the judged time: the step never ran long enough to be judged.
    (lambda r: r.step == 1, ("cpu", "gpu"), None, None,
     [{"criterion": f"{d} judged", "measured": "no reading after its settling time (0 s) outside hand-overs",
       "limit": NOT_JUDGED} for d in ("cpu", "gpu")]),
    # A hand-over took the whole step.
    (lambda r: True, ("cpu",), None, (1.0, 3.0),
     [{"criterion": "cpu judged", "measured": "no reading after its settling time (0 s) outside hand-overs",
       "limit": NOT_JUDGED}]),
    # The GPU was optional and the helper could not give it: its target was never loaded.
    (lambda r: True, ("cpu",), {"gpu": "noAdapter"}, None,
     [{"criterion": "gpu judged", "measured": "no GPU load: noAdapter", "limit": NOT_JUDGED}]),
])
def test_a_target_step_with_nothing_judged_fails_and_says_why(keep, domains, unavailable, excluded, failed):
    hold = _judged(PROFILE, [r for r in rows() if keep(r)], domains, unavailable, excluded)
    assert hold["verdict"] == "fail" and hold["failed"] == failed


def test_a_step_marked_judge_false_is_not_judged_on_power_but_a_missing_reading_still_fails_it():
    source = {**PROFILE.source, "steps": [dict(s) for s in PROFILE.source["steps"]]}
    source["steps"][1]["judge"] = False
    profile = parse(source)
    r = rows()
    for x in r[2:]:
        x.domains["cpu"].measured_w = 80.0  # far out of the band: judged, this would fail
    assert _judged(profile, r, unavailable={"gpu": "noAdapter"}, domains=("cpu",))["verdict"] == "unjudged"
    r[4].domains["cpu"].measured_w = None
    hold = _judged(profile, r)
    assert hold["verdict"] == "fail" and hold["failed"] == [{"criterion": "cpu readings missing", "measured": 1,
                                                             "limit": 0}]
