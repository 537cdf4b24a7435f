"""The plot, `kestrune report` and `kestrune compare` on small records written here (run.csv and
summary.json in the runner's format), including damaged ones."""

import argparse
import re
import csv
import io
import json
import struct
from pathlib import Path

import matplotlib.pyplot as plt
import pytest

from kestrune.run import cli
from kestrune.run import plot as P
from kestrune.run import report as R
from kestrune.run.recordio import Step, read_columns, steps_of

SENSORS = ("coretemp_package_id_0_c", "cpu_mean_mhz", "cpu_util_pct", "nct6798_fan1_rpm")


def step(index, name, start, end, verdict="pass", mean=40.0, error=0.5, failed=(), sensors=None):
    return {"index": index, "name": name, "start_s": start, "end_s": end, "verdict": verdict,
            "domains": {"cpu": {"mode": "target", "target_w": 40.0, "mean_w": mean, "stdev_w": 0.31,
                                "error_pct": error, "settle_s": 1.25, "within_share": 0.962}},
            "sensors": sensors if sensors is not None else
            {"coretemp_package_id_0_c": {"mean": 61.04, "max": 64.5, "time_above_s": None, "steady": True,
                                         "slope_per_min": 0.2},
             "cpu_mean_mhz": {"mean": 3402.2, "max": 3600, "time_above_s": None, "steady": None,
                              "slope_per_min": None}},
            "failed": list(failed)}


def make_record(folder: Path, steps, sensors=SENSORS, seconds=None, watts=40.0) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    end = seconds or max(s["end_s"] for s in steps)
    head = ["time_s", "utc", "t_ms", "step", "cpu_mode", "cpu_duty", "cpu_target_w", "cpu_measured_w",
            "cpu_dispatch_ms", "cpu_stale", *sensors]
    rows = []
    t = 0.0
    while t < end:
        k = next((s["index"] for s in steps if s["start_s"] <= t < s["end_s"]), len(steps))
        rows.append([f"{t:.2f}", "2026-12-10T12:00:00Z", int(t * 1000), k, "target", "0.6", "40",
                     "" if k == 2 and t < 3 else f"{watts + (t % 1):.2f}", "", "0"] +
                    ["62.5", "3400", "55", "1200"][:len(sensors)])
        t += 0.5
    with open(folder / "run.csv", "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(head)
        w.writerows(rows)
    summary = {"profile": {"name": "soak", "path": "soak.toml", "copy": {"power": {"source": "sysfs"}}},
               "host": {"hostname": "lab7", "cpu_model": "Test CPU", "cores": 8, "kernel": "6.1",
                        "helper_version": "1.0", "runner_version": "1.0"},
               "started_utc": "2026-12-10T12:00:00Z", "run_id": "r1", "outcome": "fail", "exit_code": 3,
               "handovers": [{"at_s": 4.0, "gap_s": 0.212, "open": False, "resettle_s": 2.75, "back_in_band": True}],
               "problems": [{"kind": "sensor", "at_s": 2.5,
                             "message": "sensor nct6798_fan1_rpm: gone; recorded as missing", "stderr_tail": None}],
               "steps": steps}
    (folder / "summary.json").write_text(json.dumps(summary))
    return folder


STEPS = [step(1, "warm up", 0, 2),
         step(2, "hold 40 W", 2, 6, "fail", mean=37.2, error=-7.0,
              failed=[{"criterion": "cpu.error_pct", "measured": -7.0, "limit": 3.0},
                      {"criterion": "coretemp_package_id_0_c.max", "measured": 64.5, "limit": 60}],
              sensors={"coretemp_package_id_0_c": {"mean": 62.0, "max": 64.5, "time_above_s": 3.5, "steady": False,
                                                   "slope_per_min": 1.8}})]


def png_size(path: Path) -> tuple[int, int]:
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


# --- the plot ------------------------------------------------------------------------------------

@pytest.mark.parametrize("sensors, panels", [
    ((), []),
    (("coretemp_package_id_0_c",), [(["coretemp_package_id_0_c"], [])]),
    (SENSORS, [(["coretemp_package_id_0_c"], ["cpu_mean_mhz"]), (["cpu_util_pct"], ["nct6798_fan1_rpm"])]),
    # Nothing for a left axis: fans take it.
    (("gpu_temp_c", "fan1_rpm"), [(["gpu_temp_c"], []), (["fan1_rpm"], [])]),
])
def test_sensor_panels_come_from_the_recorded_columns(tmp_path, sensors, panels):
    make_record(tmp_path, STEPS, sensors)
    got = P._sensor_groups(read_columns(tmp_path / "run.csv"))
    assert [(left, right) for left, right, _, _ in got] == panels


def test_sensors_add_panels_under_the_power_panels(tmp_path):
    plain = make_record(tmp_path / "plain", STEPS, ())
    rich = make_record(tmp_path / "rich", STEPS)
    for folder in (plain, rich):
        P.write_plot(folder / "run.png", folder / "run.csv", json.loads((folder / "summary.json").read_text()))
        assert not list(folder.glob(".*tmp"))  # written under a temporary name, then renamed
    (w1, h1), (w2, h2) = png_size(plain / "run.png"), png_size(rich / "run.png")
    assert w1 == w2 and h2 > h1 * 2


def steps_at(lengths, names=None, failed=()):
    out, t = [], 0.0
    for i, n in enumerate(lengths, 1):
        out.append(Step(i, names[i - 1] if names else f"step number {i}", t, t + n, "fail" if i in failed else "pass",
                        {}, {}, []))
        t += n
    return out


@pytest.mark.parametrize("steps, numbered, shown", [
    (steps_at([10, 10, 10], ["idle", "hold 40 W", "cool"]), False, ["idle", "hold 40 W", "cool"]),
    # 40 steps: the names cannot fit, so every step is numbered and named in a key.
    (steps_at([5] * 40), True, [str(i) for i in range(1, 41)]),
    # One very short step among long ones: numbered; its number is left out where it would overlap.
    (steps_at([30, 0.2, 0.2, 30]), True, ["1", "2", None, "4"]),
])
def test_step_labels_fit_or_are_numbered_with_a_key(steps, numbered, shown):
    fig, axes = plt.subplots(2, 1)
    try:
        key = P._mark_steps(list(axes), steps, steps[-1].end_s, P.WIDTH_IN * P.DPI)
        labels = {a.get_text() for a in axes[0].texts}
        assert [label if label in labels else None for label in shown] == shown
        assert bool(key) == numbered
        if numbered:
            assert key[0] == f"1 {steps[0].name}" and len(key) == len(steps)
    finally:
        plt.close(fig)


def test_failed_steps_are_shaded_on_every_panel_and_named_in_red():
    fig, axes = plt.subplots(2, 1)
    try:
        steps = steps_at([5] * 40, failed={7, 30})
        key = P._mark_steps(list(axes), steps, 200.0, P.WIDTH_IN * P.DPI)
        for ax in axes:
            spans = [min(x for x, _ in p.get_xy()) for p in ax.patches]
            assert spans == [30.0, 145.0]
        red = [a.get_text() for a in axes[0].texts if a.get_color() == P.FAILED_COLOUR]
        assert red == ["7", "30"]
        assert key[6] == "7 step number 7 (FAIL)"
    finally:
        plt.close(fig)


# --- report --------------------------------------------------------------------------------------

def test_report_prints_the_step_table_and_remakes_the_plot(tmp_path):
    folder = make_record(tmp_path / "run", STEPS)
    out = io.StringIO()
    assert R.report(argparse.Namespace(dir=str(folder), out=None), out) == 0
    assert out.getvalue().splitlines() == [
        f"{folder}: soak, started 2026-12-10T12:00:00Z on lab7 (Test CPU, 8 cores)",
        "outcome FAIL, exit code 3",
        "helper hand-over at 4.0 s, 0.212 s without load, back in the band after 2.8 s",
        "problem at 2.5 s (sensor): sensor nct6798_fan1_rpm: gone; recorded as missing",
        "",
        "#  step       verdict  cpu mode  target    mean   stdev   error  settle  within",
        "1  warm up    PASS     target    40.0 W  40.0 W  0.31 W  +0.5 %   1.2 s    96 %",
        "2  hold 40 W  FAIL     target    40.0 W  37.2 W  0.31 W  -7.0 %   1.2 s    96 %",
        "",
        "failed:",
        "  step 2 hold 40 W: cpu.error_pct -7 (limit 3)",
        "  step 2 hold 40 W: coretemp_package_id_0_c.max 64.5 (limit 60)",
        "",
        "sensors per step, mean / max (temperatures: = steady, + rising, - falling; >N s above its limit):",
        "#  step       coretemp_package_id_0_c  cpu_mean_mhz",
        "1  warm up    61.0 / 64.5 =            3402 / 3600",
        "2  hold 40 W  62.0 / 64.5 + >3.5s      -",
        "",
        f"plot: {folder / 'run.png'}"]
    png_size(folder / "run.png")


def test_many_sensors_over_few_steps_are_listed_a_sensor_a_line():
    steps = steps_of({"steps": [step(1, "soak", 0, 60, sensors={
        "coretemp_package_id_0_c": {"mean": 70.0, "max": 71.5, "steady": False, "slope_per_min": -0.9},
        "nct6798_fan1_rpm": {"mean": 1200, "max": 1250, "steady": True, "slope_per_min": 0.0},
        "gpu_c": {"mean": 55.0, "max": 56.0, "steady": None}})]})
    record = R.Record(Path("x"), {}, {"steps": [vars(s) for s in steps]})
    assert R.step_lines(record)[-4:] == ["sensor                   step 1",
                                         "coretemp_package_id_0_c  70.0 / 71.5 -",
                                         "nct6798_fan1_rpm         1200 / 1250",  # a fan is not judged steady
                                         "gpu_c                    55.0 / 56.0"]


def test_report_writes_the_plot_where_asked_and_survives_a_damaged_summary(tmp_path):
    folder = make_record(tmp_path / "run", STEPS)
    summary = json.loads((folder / "summary.json").read_text())
    summary["host"] = "lab7"
    summary["steps"] = [{"name": 5, "start_s": "soon", "domains": {"cpu": {"mean_w": "hot", "error_pct": None}},
                         "sensors": [], "failed": "all"}, "not a step"]
    summary["problems"] = None
    (folder / "summary.json").write_text(json.dumps(summary))
    out = io.StringIO()
    assert R.report(argparse.Namespace(dir=str(folder), out=str(tmp_path / "elsewhere.png")), out) == 0
    assert out.getvalue().splitlines()[-4:-2] == [
        "#  step  verdict   cpu mode  target  mean  stdev  error  settle  within",
        "1  5     UNJUDGED  -              -     -      -      -       -       -"]
    png_size(tmp_path / "elsewhere.png")
    assert not (folder / "run.png").exists()


def test_a_run_that_never_started_still_gets_a_plot(tmp_path):
    folder = make_record(tmp_path / "run", STEPS, seconds=0.1)
    (folder / "run.csv").write_text((folder / "run.csv").read_text().splitlines()[0] + "\n")
    out = io.StringIO()
    assert R.report(argparse.Namespace(dir=str(folder), out=None), out) == 0
    png_size(folder / "run.png")


@pytest.mark.parametrize("damage, message", [
    # With run.csv left, it reads as a killed run's partial record; with nothing left, it is none.
    (lambda f: [(f / n).unlink() for n in ("summary.json", "run.csv")],
     "cannot read {f}/summary.json: No such file or directory"),
    (lambda f: (f / "summary.json").write_text("{"), "{f}/summary.json is not valid JSON"),
    (lambda f: (f / "summary.json").write_text("[]"), "{f}/summary.json does not hold a run summary"),
    (lambda f: (f / "run.csv").write_text(""), "{f}/run.csv is empty"),
    (lambda f: (f / "run.csv").write_text("a,b\n1,2\n"), "{f}/run.csv has no time_s column: not a run record"),
    (lambda f: (f / "run.csv").write_text('time_s\n"' + "x" * 200000 + '"\n'), "{f}/run.csv is not a readable CSV"),
])
def test_an_unreadable_record_is_one_line_and_exit_1(tmp_path, capsys, damage, message):
    folder = make_record(tmp_path / "run", STEPS)
    damage(folder)
    assert R.report(argparse.Namespace(dir=str(folder), out=None)) == 1
    err = capsys.readouterr().err
    assert err.startswith("kestrune: " + message.format(f=folder)) and err.count("\n") == 1


def test_report_and_compare_run_from_the_command_line(tmp_path, capsys):
    a = make_record(tmp_path / "a", STEPS)
    b = make_record(tmp_path / "b", [step(1, "warm up", 0, 2), step(2, "hold 40 W", 2, 6),
                                     step(3, "cool", 6, 8, "incomplete")], watts=45.0)
    assert cli.main(["report", str(a)]) == 0
    assert capsys.readouterr().out.endswith(f"plot: {a / 'run.png'}\n")
    assert cli.main(["compare", str(a), str(b), "--out", str(tmp_path / "ab.png")]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == f"A: {a}: soak, started 2026-12-10T12:00:00Z on lab7 (Test CPU, 8 cores)"
    table = lines[lines.index("") + 1:]
    assert table[:4] == [
        "#  step       A     B           cpu mean A       B  error A       B  coretemp_package_id_0_c max A     B",
        "1  warm up    PASS  PASS            40.0 W  40.0 W   +0.5 %  +0.5 %                           64.5  64.5",
        "2  hold 40 W  FAIL  PASS            37.2 W  40.0 W   -7.0 %  +0.5 %                           64.5  64.5",
        "3  cool       -     INCOMPLETE           -  40.0 W        -  +0.5 %                              -  64.5"]
    assert lines[-5:] == ["A: 1 fail, 1 pass; B: 1 incomplete, 2 pass", "verdicts differ in step 2",
                          "steps 3 to 3 are only in B", "", f"plot: {tmp_path / 'ab.png'}"]
    png_size(tmp_path / "ab.png")
    with pytest.raises(SystemExit) as e:
        cli.main(["compare", str(a)])
    assert e.value.code == 2 and "usage:" in capsys.readouterr().err


def test_a_partial_record_with_a_damaged_end_reads_up_to_the_damage(tmp_path, capsys):
    folder = tmp_path / "killed"
    folder.mkdir()
    head = "time_s,utc,t_ms,step,cpu_mode,cpu_duty,cpu_target_w,cpu_measured_w,cpu_dispatch_ms,cpu_stale\n"
    rows = ["0.25,2026-12-10T12:00:00.250Z,250,1,free,0.1,,20,,0\n",
            "1.25,2026-12-10T12:00:01.250Z,1250,2,target,0.4,30,29.5,,0\n",
            "1.5,2026-12-10T12:00:01.500Z,1500,2,target,0.4,30,30.1,,0\n"]
    (folder / "run.csv.partial").write_text(head + "".join(rows) + '1.75,2026-12-10T12:00:01.7"' + "x" * 200000)
    (folder / "events.jsonl.partial").write_text(
        '{"t_s":0.1,"utc":"2026-12-10T11:59:59.900Z","session":1,"dir":">","line":{"cmd":"start","nonce":"soak"}}\n'
        '{"t_s":0.2,"utc":"2026-12-10T11:59:59.950Z","session":1,"dir":"<","line":{"ev":"hello","pi')
    assert R.report(argparse.Namespace(dir=str(folder), out=None)) == 0
    text = capsys.readouterr().out
    assert f"{folder}: soak, started 2026-12-10T11:59:59.900Z" in text
    assert ("outcome KILLED: a partial record (run.csv.partial, events.jsonl.partial): the runner ended without "
            "writing its summary, so no step was judged; it ends at 1.5 s (2026-12-10T12:00:01.500Z)") in text
    assert re.search(r"^2 +step 2 +INCOMPLETE +target +30\.0 W", text, re.M), text


def test_report_writes_its_page_and_junit_file_from_a_damaged_summary(tmp_path):
    folder = make_record(tmp_path / "run", STEPS)
    summary = json.loads((folder / "summary.json").read_text())
    summary.update(host="lab7", problems=None, handovers=[{"at_s": "x"}], safety={"sensor_max": [1]},
                   profile={"copy": {"verdict": "loose", "steps": [None, {"verdict": {"tolerance_pct": "x"}}]}})
    summary["steps"] = [*STEPS, {"name": 5, "start_s": "soon", "domains": {"cpu": {"target_w": "hot"}},
                                 "sensors": [], "failed": "all"}, "not a step"]
    (folder / "summary.json").write_text(json.dumps(summary))
    page, xml = tmp_path / "r.html", tmp_path / "j.xml"
    args = argparse.Namespace(dir=str(folder), out=str(tmp_path / "p.png"), html=str(page), junit=str(xml))
    assert R.report(args, io.StringIO()) == 0
    text = page.read_text()
    assert text.count('<tr class="step"') == len(STEPS) + 1 and text.count('class="band"') == len(STEPS)
    assert xml.read_text().count("<testcase ") == len(STEPS) + 1


def test_the_plot_marks_tolerance_bands_limits_and_hand_overs():
    from kestrune.run.plot_marks import mark_limits
    summary = {"handovers": [{"at_s": 4.0}], "safety": {"sensor_max": {"coretemp_package_id_0_c": 90.0}},
               "profile": {"copy": {"verdict": {"tolerance_pct": 5, "sensor_max": {"coretemp_package_id_0_c": 70}},
                                    "steps": [{}, {"verdict": {"tolerance_pct": 10}}]}}}
    fig, (power, temp) = plt.subplots(2, 1)
    try:
        power.set_ylim(0, 41)
        mark_limits({"cpu": power}, [(temp, ["coretemp_package_id_0_c", "cpu_util_pct"])], summary, steps_of(
            {"steps": STEPS}))
        bands = {c.get_gid(): c.get_paths()[0].get_extents() for c in power.collections}
        assert [(b.y0, b.y1) for b in (bands["band-1"], bands["band-2"])] == \
            [pytest.approx((38.0, 42.0)), pytest.approx((36.0, 44.0))]
        assert power.get_ylim()[1] >= 44.0  # the widest band fits
        assert [(ln.get_gid(), ln.get_ydata()[0]) for ln in temp.get_lines()] == [
            ("safety-coretemp_package_id_0_c", 90.0), ("handover", 0.0)]
        assert sorted(c.get_gid() for c in temp.collections) == ["limit-1-coretemp_package_id_0_c",
                                                                 "limit-2-coretemp_package_id_0_c"]
        assert [ln.get_xdata()[0] for ln in power.get_lines() if ln.get_gid() == "handover"] == [4.0]
    finally:
        plt.close(fig)
