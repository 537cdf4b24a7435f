"""The runner end to end: the helper's exit code passed on, a meter fault caught before the
helper starts, Ctrl-C on a real run, and the client's session ending the helper."""

import json
import os
import pwd
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import kestrune
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


DAEMON = pwd.getpwnam("daemon")


@pytest.mark.parametrize("ending, code, said, sudo_user", [
    ('echo \'{"ev":"bye","why":"hbTimeout","code":3,"cpuS":0.0,"gpuS":0.0}\'; exit 3', 3,
     "the helper ended the run: hbTimeout", None),
    ("kill -9 $$", 128 + 9, "the helper ended without a bye", DAEMON),
])
def test_the_runner_exits_with_the_helpers_code_and_keeps_the_record(tmp_path, ending, code, said, sudo_user):
    fake = tmp_path / "fake-helper"
    # Answers the start like the helper (telling its uid in the nonce), then ends the run.
    fake.write_text("#!/bin/sh\n"
                    "while read -r line; do case $line in *start*) break;; esac; done\n"
                    f"echo '{HELLO}' | sed \"s/uid=%s/uid=$(id -u)/\"\n"
                    f"echo '{STATUS}'\n"
                    f"{ending}\n")
    fake.chmod(0o755)
    out = tmp_path / "out"
    env = {k: v for k, v in os.environ.items() if k not in ("SUDO_UID", "SUDO_GID")}
    if sudo_user:
        env.update(SUDO_UID=str(sudo_user.pw_uid), SUDO_GID=str(sudo_user.pw_gid))
    done = run_tool("run", profile(tmp_path, target=f'[target]\nexe = "{fake}"\n'), "--out", out, env=env)
    assert done.returncode == code, done.stderr
    assert said in done.stdout
    summary = json.loads((out / "summary.json").read_text())
    assert summary["exitCode"] == (code if code < 128 else -9)
    assert (out / "run.csv").read_text().count("\n") == 2  # the header and the one status
    assert (out / "run.png").is_file()
    if os.geteuid() == 0:
        user = sudo_user or pwd.getpwnam("nobody")
        assert f"the runner is root, so the helper runs as user {user.pw_name}" in done.stdout.splitlines()[0]
        assert summary["hello"]["nonce"] == f"uid={user.pw_uid}"
        assert (out / "summary.json").stat().st_uid == (sudo_user.pw_uid if sudo_user else 0)
    else:
        assert summary["hello"]["nonce"] == f"uid={os.geteuid()}"


@pytest.mark.parametrize("power, message", [
    ('[power]\nsource = "sysfs"\n[power.cpu]\npath = "/nonexistent/energy_uj"\n', "cannot read /nonexistent/energy_uj"),
    ('[power]\nsource = "command"\n[power.cpu]\ncommand = "no-such-meter-kl"\n', "power command not found"),
])
def test_a_bad_power_source_stops_the_runner_before_the_helper(tmp_path, power, message):
    done = run_tool("run", profile(tmp_path, power=power), "--out", tmp_path / "out")
    assert done.returncode == 1
    assert message in done.stderr
    assert done.stdout == ""  # not even the first line: nothing was started


def test_a_bad_profile_is_an_error(tmp_path):
    done = run_tool("run", profile(tmp_path, steps="[[steps]]\nseconds = 1\ncpu = \"fast\"\n"))
    assert done.returncode == 1 and "steps[1].cpu.mode must be off, free or target" in done.stderr


@needs_native
def test_ctrl_c_stops_the_helper_cleanly_and_writes_the_record(tmp_path):
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, str(TOOL), "run", profile(tmp_path), "--out", out],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        seen = []
        for line in proc.stdout:  # plain lines: the output is a pipe
            seen.append(line)
            if line.startswith("t=") and "cpu=free" in line:
                break
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, err
    assert "interrupted; stopping the helper" in rest and "bye: stop, exit code 0" in rest
    summary = json.loads((out / "summary.json").read_text())
    assert summary["interrupted"] is True and summary["bye"]["why"] == "stop" and summary["exitCode"] == 0
    assert summary["steps"][0]["rows"] >= 1 and (out / "run.png").is_file()


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
