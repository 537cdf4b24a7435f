"""The record: run.csv, the per-step summary in summary.json, and run.png."""

import csv
import json

import pytest

from kestrune.run.profile import parse
from kestrune.run.record import row_from_status, settle_time, summarize_steps, write_csv, write_summary
from kestrune.run.plot import write_plot

PROFILE = parse({
    "name": "rec",
    "load": {"cpu": True, "gpu": True},
    "steps": [
        {"name": "free", "seconds": 1, "cpu": "free"},
        {"name": "hold", "seconds": 2, "cpu": {"mode": "target", "watts": 50, "cap": 40},
         "gpu": {"mode": "target", "watts": 100}},
    ],
})


def status(t_ms, cpu_mode, cpu_duty, cpu_target, gpu_mode="off", gpu_duty=0.0, gpu_target=None, dispatch=None,
           stale=False):
    return {"ev": "status", "tMs": t_ms,
            "cpu": {"mode": cpu_mode, "duty": cpu_duty, "targetW": cpu_target, "powerStale": stale},
            "gpu": {"mode": gpu_mode, "duty": gpu_duty, "targetW": gpu_target, "dispatchMs": dispatch,
                    "powerStale": False}}


def rows():
    out = [row_from_status(status(250, "free", 0.5, None), 0.25, 1, {"cpu": 30.0, "gpu": None}, ("cpu", "gpu")),
           row_from_status(status(750, "free", 1.0, None, stale=True), 0.75, 1, {"cpu": 50.0, "gpu": None},
                           ("cpu", "gpu"))]
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
])
def test_settle_time_is_the_last_entry_into_the_band(samples, expected):
    assert settle_time(samples, 40.0, 1.0) == expected


def test_the_summary_gives_mean_error_and_settle_time_per_step_and_domain():
    free, hold = summarize_steps(PROFILE, rows())
    assert free["cpu"] == {"mode": "free", "targetW": None, "meanW": 40.0, "errorW": None, "errorPct": None,
                           "settleS": None}
    assert free["gpu"]["meanW"] is None and free["rows"] == 2
    cpu = hold["cpu"]
    assert cpu["targetW"] == 40.0  # capped
    assert cpu["meanW"] == pytest.approx(41.13, abs=0.01)
    assert cpu["errorW"] == pytest.approx(1.13, abs=0.01) and cpu["errorPct"] == pytest.approx(2.83, abs=0.01)
    assert cpu["settleS"] == 1.5  # from 2.5 s, 1.5 s after the step began at 1.0 s
    assert hold["gpu"]["settleS"] == 0.25 and hold["gpu"]["errorW"] == 0.0


def test_csv_and_summary_files(tmp_path):
    r = rows()
    write_csv(tmp_path / "run.csv", r, ("cpu", "gpu"))
    with open(tmp_path / "run.csv", newline="") as f:
        table = list(csv.DictReader(f))
    assert len(table) == len(r)
    assert table[1] == {"time_s": "0.75", "t_ms": "750", "step": "1", "cpu_mode": "free", "cpu_duty": "1",
                        "cpu_target_w": "", "cpu_measured_w": "50", "cpu_dispatch_ms": "", "cpu_stale": "1",
                        "gpu_mode": "off", "gpu_duty": "0", "gpu_target_w": "", "gpu_measured_w": "",
                        "gpu_dispatch_ms": "", "gpu_stale": "0"}
    assert table[-1]["gpu_dispatch_ms"] == "12.5" and table[-1]["cpu_target_w"] == "40"

    bye = {"ev": "bye", "why": "stop", "code": 0, "cpuS": 1.5, "gpuS": 0.4}
    write_summary(tmp_path / "summary.json", PROFILE, r, bye, 0, True, None)
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["bye"] == bye and summary["exitCode"] == 0 and summary["interrupted"] is True
    assert [s["name"] for s in summary["steps"]] == ["free", "hold"]


def test_the_plot_is_a_png(tmp_path):
    write_csv(tmp_path / "run.csv", rows(), ("cpu", "gpu"))
    write_plot(tmp_path / "run.png", tmp_path / "run.csv",
               {"steps": [{"index": 1, "name": "free", "start_s": 0, "end_s": 1},
                          {"index": 2, "name": "hold", "start_s": 1, "end_s": 3}]})
    assert (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
