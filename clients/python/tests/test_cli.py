"""The runner end to end: faults caught before the helper starts, and the client's session
ending the helper. The faults of a running run are in test_faults.py."""

import os
import pwd
import subprocess
import sys
from pathlib import Path

import pytest

import kestrune
import kestrune.version
from kestrune.native import unprivileged_user

ROOT = Path(__file__).resolve().parents[3]
TOOL = ROOT / "tools" / "kestrune"
NATIVE = kestrune.NATIVE_BUILD / "kestrune-load"
needs_native = pytest.mark.skipif(not NATIVE.is_file(), reason=f"{NATIVE} not built")

HELLO = ('{"ev":"hello","v":1,"nonce":"uid=%s","pid":1,"isa":"sse2","isaMax":"sse2","workers":1,'
         '"gpu":{"ok":false,"name":null,"vendorId":null,"dispatchMs":null,"err":null},'
         '"elevated":false,"inJob":true,"lab":false}')
STATUS = ('{"ev":"status","tMs":250,"cpu":{"mode":"free","duty":0.25,"targetW":null,"powerStale":false},'
          '"gpu":{"mode":"off","duty":0.0,"targetW":null,"dispatchMs":null,"powerStale":false}}')


def profile(tmp_path, steps='[[steps]]\nseconds = 30\ncpu = "free"\n', power="", target=""):
    p = tmp_path / "p.toml"
    p.write_text(f'name = "t"\n{target}\n[load]\ncpu = true\n{power}\n{steps}')
    return p


def run_tool(*args, **kw):
    return subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True, text=True,
                          timeout=120, **kw)


@pytest.mark.parametrize("power, message", [
    ('[power]\nsource = "sysfs"\n[power.cpu]\npath = "/nonexistent/energy_uj"\n', "cannot read /nonexistent/energy_uj"),
    ('[power]\nsource = "command"\n[power.cpu]\ncommand = "no-such-meter-kl"\n', "power command not found"),
])
def test_a_bad_power_source_stops_the_runner_before_the_helper(tmp_path, power, message):
    done = run_tool("run", profile(tmp_path, power=power), "--out", tmp_path / "out")
    assert done.returncode == 1
    assert message in done.stderr
    assert done.stdout == ""  # not even the first line: nothing was started
    assert not (tmp_path / "out").exists()  # and nothing empty is left behind


def test_a_bad_profile_is_an_error(tmp_path):
    done = run_tool("run", profile(tmp_path, steps="[[steps]]\nseconds = 1\ncpu = \"fast\"\n"))
    assert done.returncode == 1 and "steps[1].cpu.mode must be off, free or target" in done.stderr


EXAMPLES = sorted((ROOT / "examples").rglob("*.toml"))


def test_every_example_passes_check():
    done = run_tool("check", *EXAMPLES)
    assert done.returncode == 0, done.stderr
    assert [line.split(":")[0] for line in done.stdout.splitlines()] == [str(p) for p in EXAMPLES]


@pytest.mark.parametrize("args, code, out, err", [
    (["--version"], 0, f"kestrune {kestrune.version.VERSION}\n", ""),
    (["check", "/nonexistent.toml"], 1, "", "kestrune: cannot read /nonexistent.toml"),
    (["run"], 2, "", "the following arguments are required: profile"),
    (["frobnicate"], 2, "", "invalid choice: 'frobnicate'"),
])
def test_the_command_line(args, code, out, err):
    done = run_tool(*args)
    assert done.returncode == code
    assert done.stdout.startswith(out) and err in done.stderr and "Traceback" not in done.stderr


@needs_native
def test_a_session_ends_the_helper_even_when_the_block_fails():
    with kestrune.NativeRunner() as runner:
        session = kestrune.Session(runner, cpu=True, workers=1)
        with pytest.raises(RuntimeError, match="controller fault"):
            with session:
                assert isinstance(session.hello, kestrune.Hello) and session.hello.workers == 1
                session.set(cpu=kestrune.FREE)
                session.power(cpu_w=20.0)
                assert next(ev for ev in session.events(5.0) if isinstance(ev, kestrune.Status)).cpu.mode == "free"
                raise RuntimeError("controller fault")
        assert session.bye.why == "stop" and session.code == 0
        assert session.helper.poll() == 0


@pytest.mark.parametrize("env, name", [
    ({}, "nobody"),
    ({"SUDO_UID": "0"}, "nobody"),
    ({"SUDO_UID": "not a number"}, "nobody"),
    ({"SUDO_UID": "4000000000"}, "nobody"),  # no such user
    ({"SUDO_UID": str(pwd.getpwnam("daemon").pw_uid)}, "daemon"),
])
def test_the_unprivileged_user_comes_from_sudo_else_nobody(env, name):
    assert unprivileged_user(env).pw_name == name


@needs_native
def test_the_readmes_library_example_runs_and_ends_by_itself(tmp_path):
    readme = (ROOT / "clients" / "python" / "README.md").read_text()
    code = readme.split("```python\n", 1)[1].split("```", 1)[0]
    script = tmp_path / "example.py"
    script.write_text(code)
    env = {**os.environ, "PYTHONPATH": str(ROOT / "clients" / "python")}
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["1 workers", "stop 0"]
