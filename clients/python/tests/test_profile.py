"""The profile parser: what a good profile becomes, and a clear error for each kind of fault."""

import pytest

from kestrune.commands import Domain
from kestrune.run.profile import ProfileError, effective_target, load_file, parse


def test_a_full_profile_reads_with_defaults_filled_in(tmp_path):
    path = tmp_path / "ramp.toml"
    path.write_text("""
[target]
kind = "wine"
prefix = "/tmp/p"
[load]
cpu = true
gpu = true
workers = 3
[power]
source = "sysfs"
[power.cpu]
path = "/sys/class/powercap/intel-rapl:0/energy_uj"
[[steps]]
seconds = 1.5
cpu = "free"
[[steps]]
name = "hold"
seconds = 4
cpu = { mode = "target", watts = 50, cap = 40 }
gpu = { mode = "target", watts = 120 }
""")
    p = load_file(path)
    assert p.name == "ramp"  # from the file name
    assert (p.target.kind, p.target.prefix, p.target.exe) == ("wine", "/tmp/p", None)
    assert p.load.enabled() == ("cpu", "gpu") and p.load.workers == 3
    assert p.power.source == "sysfs" and p.power.interval_s == 0.25
    assert p.power.domains == {"cpu": {"path": "/sys/class/powercap/intel-rapl:0/energy_uj"}, "gpu": {}}
    first, second = p.steps
    assert (first.name, first.cpu, first.gpu) == ("cpu free, gpu off", Domain("free"), Domain("off"))
    assert second.cpu == Domain("target", 50.0, 40.0) and effective_target(second.cpu) == 40.0
    assert p.boundaries() == [(0.0, 1.5), (1.5, 5.5)]
    assert p.max_run_s() == 30  # the helper's smallest run limit covers a short profile


@pytest.mark.parametrize("load, seconds, session_s, max_run_s", [
    ({}, 900.5, 1740.0, 911),                        # one session, the run limit just above it
    ({}, 7200.0, 1740.0, 1750),                      # two hours: sessions of 1740 s
    ({"session_s": 20}, 60.0, 20.0, 30),             # short sessions for a test of the hand-over
    ({"max_run_s": 300}, 7200.0, 290.0, 300),        # the run limit given: sessions end 10 s before it
])
def test_sessions_and_the_run_limit_follow_the_profile(load, seconds, session_s, max_run_s):
    p = parse({"load": {"cpu": True, **load}, "steps": [{"seconds": seconds, "cpu": "free"}]})
    assert (p.session_s(), p.max_run_s()) == (session_s, max_run_s)


def test_a_repeated_group_and_the_verdict_settings():
    p = parse({"load": {"cpu": True}, "sensors": "auto", "verdict": {"tolerance_pct": 5, "sensor_max": {"cpu_c": 90}},
               "steps": [{"name": "warm", "seconds": 2, "cpu": "free"},
                         {"repeat": 2, "steps": [{"name": "hot", "seconds": 3, "cpu": "free",
                                                  "verdict": {"settle_s": 1, "sensor_max": {"cpu_c": 95}}},
                                                 {"name": "cool", "seconds": 1}]}]})
    assert [s.name for s in p.steps] == ["warm", "hot (1/2)", "cool (1/2)", "hot (2/2)", "cool (2/2)"]
    assert p.seconds == 10
    assert p.criteria(0).tolerance_pct == 5.0 and p.criteria(0).sensor_max == {"cpu_c": 90.0}
    hot = p.criteria(3)
    assert (hot.tolerance_pct, hot.settle_s, hot.sensor_max) == (5.0, 1.0, {"cpu_c": 95.0})
    assert p.on_meter_failure == "stop" and p.load.optional == ()


BASE = {"load": {"cpu": True}, "steps": [{"seconds": 1, "cpu": "free"}]}


def with_(**changes):
    data = {k: v for k, v in BASE.items()}
    data.update(changes)
    return data


@pytest.mark.parametrize("data, message", [
    (with_(lod={}), "unknown key 'lod'"),
    (with_(load={}), "starts nothing"),
    (with_(load={"cpu": "yes"}), "load.cpu must be true or false"),
    (with_(load={"cpu": True, "workers": 0}), "load.workers must be at least 1"),
    (with_(load={"cpu": True, "workers": 2.5}), "load.workers must be a whole number"),
    (with_(target={"kind": "windows"}), "target.kind must be one of native, wine"),
    (with_(power={"source": "rapl"}), "power.source must be one of model, command, sysfs"),
    (with_(power={"interval_s": 3}), "power.interval_s must be at most 1.0"),
    (with_(power={"interval_s": 0}), "power.interval_s must be above 0"),
    (with_(power={"gpu": {"idle_w": 1}}), "[power.gpu] is set but load.gpu is not true"),
    (with_(steps=[]), "at least one [[steps]]"),
    (with_(steps=[{"cpu": "free"}]), "steps[1]: seconds is required"),
    (with_(steps=[{"seconds": -1}]), "steps[1].seconds must be above 0"),
    (with_(steps=[{"seconds": float("nan")}]), "steps[1].seconds must be a number"),
    (with_(steps=[{"seconds": 1, "cpu": "target"}]), "target mode needs watts"),
    (with_(steps=[{"seconds": 1, "cpu": {"mode": "target"}}]), "target mode needs watts"),
    (with_(steps=[{"seconds": 1, "cpu": {"mode": "target", "watts": 0}}]), "steps[1].cpu.watts must be above 0"),
    (with_(steps=[{"seconds": 1, "cpu": {"mode": "free", "watts": 10}}]), "belong to target mode only"),
    (with_(steps=[{"seconds": 1, "cpu": "Free"}]), "steps[1].cpu.mode must be off, free or target"),
    (with_(steps=[{"seconds": 1, "cpu": {"mode": "target", "watt": 5}}]), "unknown key 'watt'"),
    (with_(steps=[{"seconds": 1, "gpu": "free"}]), "steps[1].gpu is free but load.gpu is not true"),
    (with_(load={"cpu": True, "max_run_s": 30, "session_s": 25}, steps=[{"seconds": 40}]),
     "leaves no room for a session of 25 s"),
    (with_(load={"cpu": True, "session_s": 1795}), "load.session_s must be at most 1790"),
    (with_(load={"cpu": True, "session_s": 1}), "load.session_s must be at least 2.0"),
    (with_(load={"cpu": True, "optional": ["cpu"]}), "names every loaded domain"),
    (with_(load={"cpu": True, "optional": ["tpu"]}), "load.optional must be a list of cpu, gpu"),
    (with_(on_meter_failure="ignore"), "on_meter_failure must be one of stop, continue"),
    (with_(power={"interval_s": 0.5, "timeout_s": 0.2}), "power.timeout_s (0.2) must be at least"),
    (with_(verdict={"within_share": 90}), "within_share is a share of the judged time, 0..1"),
    (with_(verdict={"tolerance_pct": 0}), "[verdict].tolerance_pct must be above 0"),
    (with_(verdict={"sensor_max": {"cpu_c": "hot"}}), "[verdict].sensor_max.cpu_c must be a number"),
    (with_(verdict={"tolernace_pct": 3}), "unknown key 'tolernace_pct'"),
    (with_(steps=[{"seconds": 1, "verdict": {"settle_s": -1}}]), "steps[1].verdict.settle_s must be at least 0"),
    (with_(steps=[{"repeat": 0, "steps": [{"seconds": 1}]}]), "steps[1].repeat must be at least 1"),
    (with_(steps=[{"repeat": 2}]), "a repeated group needs its own steps"),
    (with_(steps=[{"repeat": 2, "steps": [{"seconds": 1, "cpu": "fast"}]}]),
     "steps[1].steps[1].cpu.mode must be off, free or target"),
    (with_(sensors=3), "sensors must be \"auto\" or a list"),
    (with_(steps=[{"seconds": 1, "verdict": {"sensor_max": {"cpu_c": 90}}}]), "but the profile records none"),
    # What cannot be meant: a week is the longest run, 5000 W the most a meter may read, the
    # helper's own range for the heartbeat, and a target step that leaves nothing to judge.
    (with_(steps=[{"seconds": 1e308}]), "steps[1].seconds must be at most 604800 (a week), not 1e+308"),
    (with_(steps=[{"seconds": 600000}, {"seconds": 600000}]), "the profile runs 1.2e+06 s; at most 604800 s"),
    (with_(steps=[{"seconds": 5, "cpu": {"mode": "target", "watts": 1e9}}]),
     "steps[1].cpu.watts must be at most 5000 W (what a meter may read), not 1e+09"),
    (with_(steps=[{"seconds": 5, "cpu": {"mode": "target", "watts": 40, "cap": 5001}}]), "cpu.cap must be at most 5000 W"),
    (with_(load={"cpu": True, "hb_timeout_ms": 0}), "load.hb_timeout_ms must be 500..3000 (the helper's range), not 0"),
    (with_(load={"cpu": True, "hb_timeout_ms": 3001}), "load.hb_timeout_ms must be 500..3000"),
    (with_(verdict={"settle_s": 10}, steps=[{"seconds": 6, "cpu": {"mode": "target", "watts": 30}}]),
     "step 1 (cpu 30 W) lasts 6 s, no longer than its settle_s (10 s): its cpu target could never be judged"),
    (with_(steps=[{"repeat": 2, "steps": [{"seconds": 3, "cpu": {"mode": "target", "watts": 30}}]}]),
     "step 1 (cpu 30 W (1/2)) lasts 3 s, no longer than its settle_s (3 s)"),
    (with_(steps=[{"seconds": 5, "judge": "no"}]), "steps[1].judge must be true or false"),
    (with_(steps=[{"repeat": 10000, "steps": [{"seconds": 1}] * 1000}]),
     "steps[1] repeats 1000 steps 10000 times: with the steps before it that is 10000000 steps; at most 10000"),
    (with_(steps=[{"seconds": 1}] * 10001), "the profile has 10001 steps; at most 10000 are run"),
    (with_(name=[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["x"]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]),
     "nests tables and arrays more than 32 deep"),
])
def test_faults_are_named(data, message):
    with pytest.raises(ProfileError) as e:
        parse(data)
    assert message in str(e.value)


@pytest.mark.parametrize("text, message", [
    (None, "cannot read"),
    ("[load\ncpu = true", "is not valid TOML"),
    (b"\xff", "is not valid TOML"),
])
def test_unreadable_files_are_named(tmp_path, text, message):
    path = tmp_path / "p.toml"
    if isinstance(text, str):
        path.write_text(text)
    elif text is not None:
        path.write_bytes(text)
    with pytest.raises(ProfileError) as e:
        load_file(path)
    assert message in str(e.value) and "p.toml" in str(e.value)


def test_the_demo_profile_parses():
    from pathlib import Path
    demo = Path(__file__).resolve().parents[3] / "examples" / "demo.toml"
    p = load_file(demo)
    assert p.power.source == "model" and p.load.enabled() == ("cpu",)


def test_workers_beyond_the_machine_are_refused_and_clamped_settings_warned_once():
    with pytest.raises(ProfileError) as e:
        parse(with_(load={"cpu": True, "workers": 99}), cores=2)
    assert "load.workers (99) is more than this machine's 2 logical processors" in str(e.value)
    assert parse(with_(load={"cpu": True, "workers": 2}), cores=2).load.workers == 2
    capped = {"mode": "target", "watts": 50, "cap": 35}
    p = parse(with_(load={"cpu": True, "max_run_s": 20, "session_s": 5},
                    steps=[{"seconds": 5, "cpu": capped}, {"seconds": 5, "cpu": capped}]))
    assert p.warnings == ("load.max_run_s (20) is outside the helper's 30..1800 s: it will run with 30 s",
                          "step 1 (cpu 35 W): cpu watts 50 is above its cap 35: the helper steers to 35 W")
    assert parse(BASE).warnings == ()


def test_a_target_step_marked_judge_false_may_be_shorter_than_its_settling():
    p = parse(with_(steps=[{"seconds": 2, "judge": False, "cpu": {"mode": "target", "watts": 30}}]))
    assert p.steps[0].judge is False and parse(BASE).steps[0].judge is True


@pytest.mark.parametrize("text, message", [
    ("x = " + "[" * 2000 + "]" * 2000, "nests tables and arrays more than 32 deep"),
    ("# " + "x" * (1 << 20), "is larger than 1024 KiB: not a profile this runner reads"),
])
def test_a_file_too_deep_or_too_large_is_refused_before_it_is_read_whole(tmp_path, text, message):
    path = tmp_path / "bomb.toml"
    path.write_text(text)
    with pytest.raises(ProfileError) as e:
        load_file(path)
    assert message in str(e.value) and "bomb.toml" in str(e.value)
