"""Sensors against a fake sysfs/procfs tree (tests/fixtures/sysfs): what is found and how it is
named, what a profile's list selects, sampling through a sensor that vanishes and a counter
that wraps, command sensors, per-step figures and `kestrune sensors`."""

import argparse
import io
import re
import shutil
import sys
from pathlib import Path

import pytest

from kestrune.run import sensors as S
from kestrune.run import sensors_cli
from kestrune.run.sensors_read import CommandReader, utilisation
from kestrune.run.sensors_summary import slope_per_min, summarise

FIXTURES = Path(__file__).parent / "fixtures"
TREE = FIXTURES / "sysfs"


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    shutil.copytree(TREE, root)
    return root


def test_discovery_names_each_sensor_by_chip_and_label():
    found = {s.column: s for s in S.discover(TREE)}
    now = 1.0
    # column: (profile line, value)
    expected = {
        "coretemp_package_id_0_c": ('"temp:coretemp/Package id 0"', 54.0),
        "coretemp_temp3_c": ('"temp:coretemp/temp3"', 50.0),            # no label: the file's name
        "nct6798_fan1_rpm": ('"fan:nct6798/fan1"', 1180.0),
        "nct6798_cpu_fan_rpm": ('"fan:nct6798/CPU fan"', 760.0),
        "amdgpu_ppt_w": ('"power:amdgpu/PPT"', 46.0),                     # _input wins over _average
        "nvme_1_composite_c": ('"temp:nvme.1/Composite"', 41.85),         # two chips share a name
        "nvme_2_composite_c": ('"temp:nvme.2/Composite"', 39.85),
        "zone_x86_pkg_temp_c": ('"zone:x86_pkg_temp"', 55.0),
        "zone_iwlwifi_1_c": ('"zone:iwlwifi_1"', None),                  # nothing to read while it is down
        "cpu_mean_mhz": ('"freq:mean"', 3100.0),
        "cpu_max_mhz": ('"freq:max"', 3400.0),
        "cpu1_mhz": ('"freq:cpu1"', 2800.0),
        "cpu_util_pct": ('"util:cpu"', None),                             # no difference yet
    }
    got = {c: (found[c].profile_line, found[c].read(now)[0]) for c in expected}
    assert got == expected
    assert [s.column for s in found.values() if s.kind == "power"] == ["amdgpu_ppt_w"]
    assert len(found) == len(S.discover(TREE))  # every column is unique


def test_the_root_comes_from_the_argument_then_the_environment_then_the_profile(monkeypatch):
    monkeypatch.delenv(S.ROOT_ENV, raising=False)
    assert S.resolve_root() == Path("/")
    assert S.resolve_root(None, "/p") == Path("/p")
    monkeypatch.setenv(S.ROOT_ENV, "/env")
    assert S.resolve_root(None, "/p") == Path("/env")
    assert S.resolve_root("/arg", "/p") == Path("/arg")
    assert [s.column for s in S.discover()] == [s.column for s in S.discover("/env")] == []
    monkeypatch.setenv(S.ROOT_ENV, str(TREE))
    assert len(S.open_sensors(S.parse_requests(["temp:coretemp"]), None, "/p").columns) == 3


@pytest.mark.parametrize("value, columns", [
    (["temp:coretemp/Package id 0"], ["coretemp_package_id_0_c"]),
    (["temp:coretemp/temp1"], ["coretemp_package_id_0_c"]),            # the file's name also works
    (["temp:coretemp/Core *", "temp:coretemp"], ["coretemp_core_0_c", "coretemp_package_id_0_c",
                                                 "coretemp_temp3_c"]),   # each column once
    (["temp:nvme*/Composite"], ["nvme_1_composite_c", "nvme_2_composite_c"]),
    (["fan:*"], ["nct6798_fan1_rpm", "nct6798_cpu_fan_rpm"]),
    (["zone:thermal_zone1", "freq:cpu0", "util:cpu1"], ["zone_acpitz_c", "cpu0_mhz", "cpu1_util_pct"]),
    # The usual set: not the unreadable zone, nor the CPUs' own clocks and utilisation.
    ("auto", ["coretemp_package_id_0_c", "coretemp_core_0_c", "coretemp_temp3_c", "nct6798_systin_c",
              "nct6798_fan1_rpm", "nct6798_cpu_fan_rpm", "amdgpu_edge_c", "nvme_1_composite_c",
              "nvme_2_composite_c", "zone_x86_pkg_temp_c", "zone_acpitz_c", "cpu_mean_mhz", "cpu_max_mhz",
              "cpu_util_pct"]),
])
def test_a_profile_list_selects_sensors(value, columns):
    s = S.open_sensors(S.parse_requests(value), TREE)
    try:
        assert s.columns == columns
        assert set(s.units.values()) <= {"c", "rpm", "mhz", "pct"}
    finally:
        s.close()


@pytest.mark.parametrize("value, message", [
    ("all", 'sensors must be "auto" or a list'),
    ([3], 'sensors[1] must be "KIND:WHAT"'),
    (["heat:coretemp"], "sensors[1]: unknown kind 'heat' (known: temp, fan, power, zone, freq, util, throttle)"),
    (["temp:"], 'sensors[1]: temp: needs what to record'),
    ([{"name": "gpu"}], "sensors[1].command must be a program and its arguments, not None"),
    ([{"name": "gpu", "command": "x", "unit": "°C"}], "sensors[1].unit must be a short lower-case word"),
    ([{"name": "gpu", "command": "x", "every": 1}], "sensors[1]: unknown key 'every'"),
    ([{"name": "gpu", "command": "x", "max_age_s": 0}], "sensors[1].max_age_s must be a number of seconds"),
])
def test_a_bad_sensor_list_says_what_is_wrong_in_one_line(value, message):
    with pytest.raises(S.SensorRequestError) as e:
        S.parse_requests(value)
    assert str(e.value).startswith(message) and "\n" not in str(e.value)


@pytest.mark.parametrize("value, message", [
    (["temp:k10temp"], "sensor 'temp:k10temp' matches nothing (here: \"temp:amdgpu/edge\""),
    (["temp:coretemp/Core 9"], "sensor 'temp:coretemp/Core 9' matches nothing"),
    (["freq:cpu7"], "sensor 'freq:cpu7' matches nothing (here: \"freq:cpu0\""),
    ([{"name": "cpu mean", "unit": "mhz", "command": ["true"]}, "freq:mean"],
     "sensor 'cpu mean': column cpu_mean_mhz is recorded twice"),
    ([{"name": "g", "command": ["no-such-program-here"]}], "sensor 'g': command not found: no-such-program-here"),
])
def test_a_sensor_this_machine_lacks_is_refused_before_the_run(value, message):
    with pytest.raises(S.SensorRequestError) as e:
        S.open_sensors(S.parse_requests(value), TREE)
    assert str(e.value).startswith(message), str(e.value)


def test_a_sensor_that_vanishes_gives_missing_values_and_one_problem(tree):
    s = S.open_sensors(S.parse_requests(["temp:coretemp/Core 0", "freq:mean", "util:cpu", "util:cpu1"]), tree)
    stat = tree / "proc" / "stat"
    core = tree / "sys/class/hwmon/hwmon0/temp2_input"
    assert s.sample(10.0)["coretemp_core_0_c"] == 51.0
    shutil.copy(FIXTURES / "proc-stat" / "advanced", stat)
    core.unlink()
    (tree / "sys/devices/system/cpu/cpu1/cpufreq/scaling_cur_freq").unlink()  # a CPU taken offline
    first = s.sample(11.0)
    # Busy time 400 of 800 jiffies overall; cpu1: 200 of 500.
    assert first == {"coretemp_core_0_c": None, "cpu_mean_mhz": 3400.0, "cpu_util_pct": 50.0,
                     "cpu1_util_pct": 40.0}
    assert s.problems() == [f"sensor coretemp_core_0_c: {core} is gone; recorded as missing"]
    shutil.copy(FIXTURES / "proc-stat" / "wrapped", stat)
    second = s.sample(12.0)
    assert second["coretemp_core_0_c"] is None and second["cpu1_util_pct"] is None  # wrapped: missing
    assert second["cpu_util_pct"] == pytest.approx(100 * 150 / 450)
    assert s.problems() == []  # still gone: said once
    assert s.recovered() == []
    core.write_text("52500\n")
    assert s.sample(13.0)["coretemp_core_0_c"] == 52.5
    assert s.recovered() == ["coretemp_core_0_c"] and s.recovered() == []  # the problem's end, told once
    core.write_text("garbage\n")
    assert s.sample(14.0)["coretemp_core_0_c"] is None
    assert s.problems() == [f"sensor coretemp_core_0_c: {core} does not hold a whole number ('garbage'); "
                            "recorded as missing"]
    s.close()


def test_a_hostile_tree_neither_hangs_the_run_nor_reaches_the_terminal(tree):
    hwmon = tree / "sys/class/hwmon/hwmon0"
    (hwmon / "temp2_label").write_text("Core\x1b[2J 0\n")
    (hwmon / "temp1_input").unlink()
    (hwmon / "temp1_input").symlink_to("/dev/zero")
    found = {s.column: s for s in S.discover(tree)}
    assert found["coretemp_core_2j_0_c"].profile_line == '"temp:coretemp/Core?[2J 0"'
    value, why = found["coretemp_package_id_0_c"].read(1.0)
    assert value is None and why.startswith(f"{hwmon / 'temp1_input'} does not hold a whole number")


@pytest.mark.parametrize("prev, cur, pct", [
    ((100, 0, 100, 800, 0), (200, 0, 100, 900, 0), 50.0),
    ((100, 0, 100, 800, 100), (100, 0, 100, 800, 200), 0.0),   # iowait is idle time
    ((100, 0, 100, 800, 0), (50, 0, 100, 900, 0), None),       # went backwards
    ((100, 0, 100, 800, 0), (100, 0, 100, 800, 0), None),      # no time passed
    (None, (100, 0, 100, 800, 0), None),
    ((1, 2, 3, 4), (1, 2, 3, 4, 5), None),                     # a different shape of line
])
def test_utilisation_is_a_share_of_the_counters_difference(prev, cur, pct):
    assert utilisation(prev, cur) == pct


def test_a_command_sensor_holds_its_newest_number_until_it_is_too_old(open_path):
    script = open_path / "temp.py"
    more, end = open_path / "more", open_path / "end"
    script.write_text("import os, sys, time\n"
                      "def wait(p):\n"
                      "    while not os.path.exists(p): time.sleep(0.01)\n"
                      "print('61.5', flush=True)\n"
                      f"wait({str(more)!r})\n"
                      "print('64', flush=True)\n"
                      f"wait({str(end)!r})\n"
                      "sys.exit(4)\n")
    s = S.open_sensors(S.parse_requests([{"name": "GPU temp", "command": [sys.executable, str(script)],
                                       "unit": "c", "max_age_s": 2}]), None)
    argv = f"{sys.executable} {script}"
    try:
        assert s.columns == ["gpu_temp_c"] and s.units == {"gpu_temp_c": "c"}
        assert s.sample(100.0) == {"gpu_temp_c": 61.5}
        assert s.sample(101.5) == {"gpu_temp_c": 61.5}  # nothing new yet, still fresh
        assert s.sample(102.5) == {"gpu_temp_c": None}
        assert s.problems() == [f"sensor gpu_temp_c: {argv} printed no number for 2 s; recorded as missing"]
        more.touch()
        for _ in range(500):
            got = s.sample(103.0)["gpu_temp_c"]
            if got is not None:
                break
            __import__("time").sleep(0.01)
        assert got == 64.0
        end.touch()
        s.sensors[0].reader.meter.proc.wait(10)
        assert s.sample(106.0) == {"gpu_temp_c": None}
        problems = s.problems()
        assert len(problems) == 1 and re.fullmatch(
            rf"sensor gpu_temp_c: {re.escape(argv)} (ended \(exit code 4\)|exited with code 4); recorded as missing",
            problems[0]), problems
    finally:
        s.close()


class TellingMeter:
    """A meter that reports its own problems and error output, as the power meters can."""

    proc = None

    def __init__(self):
        self.readings, self.problems = [], []

    def read(self, now):
        return self.readings.pop(0) if self.readings else None

    def problem(self):
        return self.problems.pop(0) if self.problems else None

    def stderr_tail(self):
        return "starting\nsensor bus error\n"


def test_a_command_sensor_that_reports_a_problem_is_missing_at_once():
    reader = CommandReader(["gpu-temp"], 5.0)
    reader.meter = meter = TellingMeter()
    meter.readings = [70.0]
    assert reader.read(0.0) == (70.0, "")
    meter.problems = ["printed 'ERR', not a number"]
    assert reader.read(0.5) == (None, "gpu-temp printed 'ERR', not a number: sensor bus error")
    assert reader.read(1.0)[0] is None  # the held value ended with the problem
    meter.readings = [71.0]
    assert reader.read(1.5) == (71.0, "")


T = [0, 10, 20, 30, 40, 50, 60, 70, 80, 90]


@pytest.mark.parametrize("values, threshold, expected", [
    # Rising 1 °C a minute over 90 s: not steady; above 52 from t=30 to the last sample.
    ([50 + t / 60 for t in T], 50.4, {"mean": 50.75, "max": 51.5, "time_above_s": 60.0, "steady": False,
                                      "slope_per_min": 1.0}),
    # Hot at first, then flat for the last 60 s: only the last 60 s count for steadiness.
    ([90, 80, 70, 60, 60, 60, 60, 60, 60, 60], 65, {"mean": 66.0, "max": 90.0, "time_above_s": 30.0,
                                                    "steady": True, "slope_per_min": 0.0}),
    # Missing values are left out of every figure, and the time above still runs to the next sample.
    ([None, 70, None, 72, 72, None, None, None, None, None], 71, {"mean": 71.333, "max": 72.0,
                                                                   "time_above_s": 20.0, "steady": False,
                                                                   "slope_per_min": 4.286}),
    ([None] * 10, 50, {"mean": None, "max": None, "time_above_s": 0.0, "steady": None,
                       "slope_per_min": None}),
    ([None] * 9 + [50], None, {"mean": 50.0, "max": 50.0, "time_above_s": None, "steady": None,
                               "slope_per_min": None}),
])
def test_a_step_summary_of_a_sensor(values, threshold, expected):
    assert summarise(T, values, threshold) == pytest.approx(expected)


def test_steadiness_is_within_half_a_degree_a_minute():
    flat_noise = [60 + (0.3 if i % 2 else -0.3) for i in range(25)]
    assert summarise([i * 5 for i in range(25)], flat_noise)["steady"] is True
    assert abs(slope_per_min([(0, 0), (60, 0.4)]) - 0.4) < 1e-9
    assert summarise([0, 60], [0, 0.6])["steady"] is False
    assert summarise([0, 60], [0, 0.6], limit_per_min=None)["steady"] is None
    assert summarise([0, 60], [0, 0.6], unit="c")["steady"] is False
    # Settling (the first 20 s here) is left out of the window when the judged part is given.
    settling = [0, 10, 20, 30, 40]
    assert summarise(settling, [40, 50, 55, 55, 55])["steady"] is False
    assert summarise(settling, [40, 50, 55, 55, 55], judged_from_s=20)["steady"] is True
    clock = summarise([0, 60], [3000, 3400], unit="mhz")
    assert clock["steady"] is None and clock["slope_per_min"] == 400.0  # a clock is never judged steady


def test_kestrune_sensors_lists_chips_values_and_profile_lines():
    out = io.StringIO()
    assert sensors_cli.main(argparse.Namespace(root=str(TREE), all=False), out) == 0
    lines = out.getvalue().splitlines()
    assert lines[:4] == ["coretemp",
                         '  Package id 0       54.0 °C   "temp:coretemp/Package id 0"',
                         '  Core 0             51.0 °C   "temp:coretemp/Core 0"',
                         '  temp3              50.0 °C   "temp:coretemp/temp3"']
    for line in ['  fan1              1180 RPM   "fan:nct6798/fan1"',
                 '  PPT                 46.0 W   "power:amdgpu/PPT"',
                 "thermal zones",
                 '  clock (max)       3400 MHz   "freq:max"',
                 '  utilisation              -   "util:cpu"',  # the fixture's counters stand still
                 "  (4 per-CPU clocks and utilisations not shown: --all)",
                 '  sensors = ["temp:coretemp/Package id 0", "temp:coretemp/Core 0"]']:
        assert line in lines
    out = io.StringIO()
    sensors_cli.main(argparse.Namespace(root=str(TREE), all=True), out)
    assert re.search(r'^  cpu1 utilisation +- +"util:cpu1"$', out.getvalue(), re.M)


def test_kestrune_sensors_without_sensors_fails(tmp_path, capsys):
    assert sensors_cli.main(argparse.Namespace(root=str(tmp_path), all=False)) == 1
    assert capsys.readouterr().err == f"kestrune: no sensors under {tmp_path}\n"
