"""Safety limits and the throttle sensor, in isolation: what crosses a limit, how a count of
throttling events is kept, how a profile states its limits, and how the live view shows a
limited sensor. The run stopped by a limit, through the real runner, is in test_faults.py."""

import io

import pytest
from rich.console import Console

from kestrune.run import live as L
from kestrune.run import outcome as oc
from kestrune.run.profile import ProfileError, limited_sensors, parse
from kestrune.run.safety import CLEAR, CLOSE, NEAR, OVER, SafetyWatch, nearness
from kestrune.run.sensors import discover, open_sensors, parse_requests
from kestrune.run.view import RichView


def test_the_first_reading_over_a_limit_trips_and_a_sensor_gone_blind_trips_after_a_while():
    watch = SafetyWatch({"cpu_c": 90.0, "throttle_core_count": 0.0}, blind_s=5.0)
    assert watch.check({"cpu_c": 90.0, "throttle_core_count": 0.0}, 1.0, "u1") is None  # at the limit is within it
    trip = watch.check({"cpu_c": 90.5, "throttle_core_count": 0.0}, 1.25, "u2")
    assert trip.to_json() == {"column": "cpu_c", "value": 90.5, "limit": 90.0, "at_s": 1.25, "utc": "u2"}
    assert "cpu_c read 90.5 °C at 1.25 s, over its limit 90 °C: stopping the load" in trip.message(" °C")
    assert watch.check({"cpu_c": 50.0, "throttle_core_count": 1.0}, 1.5, "u3").column == "throttle_core_count"
    # Missing readings: tolerated for a while, and the while starts again with each reading.
    blind = SafetyWatch({"cpu_c": 90.0}, blind_s=5.0)
    for t in (0.0, 2.0, 4.9):
        assert blind.check({"cpu_c": None}, t, "") is None
    assert blind.check({"cpu_c": 40.0}, 5.0, "") is None
    assert blind.check({}, 9.9, "") is None
    trip = blind.check({"cpu_c": None}, 14.9, "")
    assert trip is not None and trip.value is None and "gave no reading for 5 s" in trip.message()


@pytest.mark.parametrize("value, limit, expected", [
    (None, 90, CLEAR), (70, 90, CLEAR), (77, 90, CLOSE), (86, 90, NEAR), (90, 90, NEAR), (90.1, 90, OVER),
    (0, 0, CLEAR), (1, 0, OVER),
])
def test_nearness_to_a_limit(value, limit, expected):
    assert nearness(value, limit) == expected


def _throttle_tree(root, counts):
    for cpu, (core, package) in enumerate(counts):
        d = root / "sys" / "devices" / "system" / "cpu" / f"cpu{cpu}" / "thermal_throttle"
        d.mkdir(parents=True, exist_ok=True)
        (d / "core_throttle_count").write_text(f"{core}\n")
        (d / "package_throttle_count").write_text(f"{package}\n")


def test_throttle_counts_are_events_since_the_first_reading(tmp_path):
    _throttle_tree(tmp_path, [(100, 7), (250, 7)])  # counts since boot: not this run's
    found = {s.column: s for s in discover(tmp_path)}
    assert {c: s.profile_line for c, s in found.items() if s.kind == "throttle"} == {
        "throttle_core_count": '"throttle:core"', "throttle_package_count": '"throttle:package"'}
    sensors = open_sensors(parse_requests(["throttle:core", "throttle:package"]), tmp_path)
    assert sensors.sample(0.0) == {"throttle_core_count": 0, "throttle_package_count": 0}
    _throttle_tree(tmp_path, [(103, 9), (251, 9)])
    # Core events add up over the CPUs; both CPUs show their one package's count.
    assert sensors.sample(1.0) == {"throttle_core_count": 4, "throttle_package_count": 2}
    # CPU 1 taken offline and back: its counter restarts, and counts on from there.
    _throttle_tree(tmp_path, [(103, 9), (2, 9)])
    assert sensors.sample(2.0)["throttle_core_count"] == 6
    (tmp_path / "sys/devices/system/cpu/cpu0/thermal_throttle/core_throttle_count").unlink()
    assert sensors.sample(3.0)["throttle_core_count"] == 6 and not sensors.problems()
    # Never part of "auto": a machine's usual set stays as it was.
    assert not [s for s in open_sensors(parse_requests("auto"), tmp_path).sensors if s.kind == "throttle"]


BASE = {"load": {"cpu": True}, "sensors": ["temp:coretemp"], "steps": [{"seconds": 1, "cpu": "free"}]}


@pytest.mark.parametrize("extra, message", [
    ({"safety": {"sensor_max": {"cpu_c": "hot"}}}, "safety.sensor_max.cpu_c must be a number, not 'hot'"),
    ({"safety": {"sensor_max": {"cpu_c": float("inf")}}}, "safety.sensor_max.cpu_c must be a number"),
    ({"safety": {"sensor_max": 90}}, "safety.sensor_max must be a table of sensor column = highest value"),
    ({"safety": {"max": {"cpu_c": 90}}}, "[safety]: unknown key 'max' (known: sensor_max)"),
    ({"safety": {"sensor_max": {"cpu_c": 90}}, "sensors": None},
     "safety.sensor_max limits a sensor, but the profile records none"),
])
def test_a_bad_safety_table_is_one_line(extra, message):
    data = {**BASE, **extra}
    data = {k: v for k, v in data.items() if v is not None}
    with pytest.raises(ProfileError) as e:
        parse(data)
    assert message in str(e.value)


def test_safety_limits_are_read_and_their_sensors_must_be_recorded():
    p = parse({**BASE, "safety": {"sensor_max": {"cpu_c": 95, "throttle_core_count": 0}}})
    assert p.safety == {"cpu_c": 95.0, "throttle_core_count": 0.0}
    assert limited_sensors(p) == {"cpu_c", "throttle_core_count"}


def test_a_stopped_run_has_its_own_outcome_and_exit_code_before_a_lost_record():
    result = oc.outcome(["pass", "incomplete"], incomplete=True, signum=None, safety_stop=True)
    assert result == oc.STOPPED
    assert oc.exit_code(result, signum=None, record_written=False) == oc.SAFETY_STOP == 5
    assert oc.outcome([], incomplete=True, signum=15, safety_stop=True) == oc.INTERRUPTED


def test_the_live_view_shows_a_limited_sensor_against_its_limit_coloured_as_it_nears_it():
    def cell(temp, **limits):
        snap = L.Snapshot(run_s=1.0, run_total_s=2.0, state=L.RUNNING, step_index=0, step_count=1,
                          step_name="hot", step_s=1.0, step_total_s=2.0, next_step_name=None,
                          sensors={"cpu_c": temp, "fan_rpm": 900.0}, sensor_units={"cpu_c": "c", "fan_rpm": "rpm"},
                          **limits)
        console = Console(file=io.StringIO(), width=120, record=True, color_system="standard")
        console.print(RichView().render(snap, 120))
        text, styled = console.export_text(clear=False), console.export_text(styles=True)
        return text, styled

    text, _ = cell(70.0, safety_limits={"cpu_c": 90.0}, sensor_limits={"cpu_c": 85.0})
    assert "70.0 / 85.0 °C" in text and "900 RPM" in text and "/ 900" not in text  # the lower limit counts
    styles = {}
    for temp in (70.0, 80.0, 88.0, 91.0):
        styles[temp] = cell(temp, safety_limits={"cpu_c": 90.0})[1]
        assert f"{temp:.1f} / 90.0 °C" in cell(temp, safety_limits={"cpu_c": 90.0})[0]
    assert "\x1b[32m70.0" in styles[70.0]            # green, far from it
    assert "\x1b[33m80.0" in styles[80.0]            # yellow, within 15 %
    assert "\x1b[31m88.0" in styles[88.0]            # red, within 5 %
    assert "\x1b[1;31m91.0" in styles[91.0]          # bold red, over it
