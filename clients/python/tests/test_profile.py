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
seconds = 2
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
    assert p.boundaries() == [(0.0, 1.5), (1.5, 3.5)]
    assert p.max_run_s() == 30  # the helper's smallest run limit covers a short profile


def test_the_run_limit_follows_a_long_profile():
    data = {"load": {"cpu": True}, "steps": [{"seconds": 600, "cpu": "free"}, {"seconds": 300.5}]}
    assert parse(data).max_run_s() == 911


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
    (with_(steps=[{"seconds": 1800}]), "a run may last at most 1790 s"),
    (with_(load={"cpu": True, "max_run_s": 30}, steps=[{"seconds": 40}]), "shorter than the steps"),
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
