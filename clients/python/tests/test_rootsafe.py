"""Nothing a profile, a record folder or a meter program supplies makes a root runner do harm:
through the real runner and the native helper, as root (these tests need it), with SUDO_UID
naming an unprivileged user as sudo would."""

import json
import os
import pwd
import re
import signal
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

import kestrune

ROOT = Path(__file__).resolve().parents[3]
TOOL = ROOT / "tools" / "kestrune"
NATIVE = kestrune.NATIVE_BUILD / "kestrune-load"
pytestmark = [pytest.mark.skipif(not NATIVE.is_file(), reason=f"{NATIVE} not built"),
              pytest.mark.skipif(os.geteuid() != 0, reason="what a root runner does: needs root")]

SUDO = pwd.getpwnam("daemon")  # a real unprivileged user, not the fallback nobody
SHORT = 'name = "{name}"\n{top}\n[load]\ncpu = true\n{extra}\n[[steps]]\nseconds = {seconds}\ncpu = "free"\n'


def sudo_env(**more) -> dict:
    return {**os.environ, "SUDO_UID": str(SUDO.pw_uid), "SUDO_GID": str(SUDO.pw_gid), **more}


def profile(folder: Path, name="t", seconds=1, extra="", top="") -> Path:
    """`top`: keys of the profile's top level; `extra`: tables after [load]."""
    path = folder / "p.toml"
    path.write_text(SHORT.format(name=json.dumps(name)[1:-1], seconds=seconds, extra=extra, top=top))
    return path


def tool(*args) -> list[str]:
    # A network namespace of its own: the helper allows one instance per user and namespace,
    # and other runs on this machine may use the same user.
    return ["unshare", "--net", sys.executable, str(TOOL), *map(str, args)]


def run(*args, env=None, cwd=None, timeout=60) -> tuple[int, str]:
    res = subprocess.run(tool(*args), capture_output=True, text=True, env=env or dict(os.environ), cwd=cwd,
                         timeout=timeout)
    return res.returncode, res.stdout + res.stderr


@pytest.fixture
def secret(tmp_path):
    """A root-only file that must come out of every run untouched."""
    path = tmp_path / "secret"
    path.write_text("root's own\n")
    path.chmod(0o600)
    return path


def untouched(path: Path) -> bool:
    st = os.stat(path)
    return path.read_text() == "root's own\n" and (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (0, 0, 0o600)


def test_links_left_in_an_existing_record_folder_are_replaced_never_followed(tmp_path, secret):
    out = tmp_path / "out"
    out.mkdir()
    names = ["run.csv.partial", "events.jsonl.partial", ".summary.json.tmp", "summary.json", "run.csv", "report.html"]
    for n in names:
        (out / n).symlink_to(secret)
    code, text = run("run", profile(tmp_path), "--out", out, env=sudo_env())
    assert code == 0, text
    assert untouched(secret)
    # The folder was there: it keeps its owner. What the run made is the sudo user's.
    assert os.stat(out).st_uid == 0
    record = sorted(p.name for p in out.iterdir())
    assert record == ["events.jsonl", "report.html", "run.csv", "run.png", "summary.json"]
    for n in record:
        st = os.lstat(out / n)
        assert stat.S_ISREG(st.st_mode) and (st.st_uid, st.st_gid) == (SUDO.pw_uid, SUDO.pw_gid), n
    assert json.loads((out / "summary.json").read_text())["exit_code"] == 0


@pytest.mark.parametrize("prepare, message", [
    ("out-link", "is a symbolic link: give the folder itself as --out"),
    ("lock-link", "cannot write the record to"),
    ("lock-hardlink", "is not a plain file this runner made"),
], ids=["a linked --out", "a linked lock file", "a lock file with another name"])
def test_a_folder_that_leads_elsewhere_is_refused_before_anything_starts(tmp_path, secret, prepare, message):
    real = tmp_path / "real"
    real.mkdir()
    out = real
    if prepare == "out-link":
        out = tmp_path / "out"
        out.symlink_to(real)
    elif prepare == "lock-link":
        (real / ".kestrune.lock").symlink_to(secret)
    else:
        os.link(secret, real / ".kestrune.lock")
    code, text = run("run", profile(tmp_path), "--out", out, env=sudo_env())
    assert code == 1 and message in text, text
    assert "kestrune: running" not in text and "Traceback" not in text
    assert untouched(secret)
    assert {p.name for p in real.iterdir()} <= {".kestrune.lock"}
    assert os.stat(real).st_uid == 0


def test_a_folder_the_run_makes_is_the_sudo_users_and_a_name_stays_out_of_paths(tmp_path):
    code, text = run("run", profile(tmp_path, name="../../x/../y z"), env=sudo_env(), cwd=tmp_path)
    assert code == 0, text
    made = list((tmp_path / "runs").iterdir())
    assert len(made) == 1 and re.fullmatch(r"x-y-z-\d{8}-\d{6}", made[0].name), made
    assert (os.stat(made[0]).st_uid, os.stat(made[0]).st_gid) == (SUDO.pw_uid, SUDO.pw_gid)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["p.toml", "runs"]
    summary = json.loads((made[0] / "summary.json").read_text())
    assert summary["profile"]["name"] == "../../x/../y z" and summary["run_id"].startswith("x-y-z-")
    assert f"the helper runs as user {SUDO.pw_name} (SUDO_UID)" in text.splitlines()[0]


def test_a_name_with_a_slash_still_finds_a_fallback_folder_when_its_own_is_lost(tmp_path, open_path):
    out = tmp_path / "out"
    meter = open_path / "meter.sh"
    # As root and with the runner's environment: it takes the record's folder away mid-run.
    meter.write_text(f"#!/bin/sh\necho 30; sleep 0.5; rm -rf {out}; touch {out}\n"
                     "while :; do echo 30; sleep 0.1; done\n")
    meter.chmod(0o755)
    path = profile(tmp_path, name="a/b", seconds=2,
                   extra=f'[power]\nsource = "command"\n[power.cpu]\ncommand = ["{meter}"]\nas_root = true\n')
    code, text = run("run", path, "--out", out, env=sudo_env())
    assert code == 4, text
    where = Path(re.search(r"; it is in (\S+) instead", text).group(1))
    try:
        assert where.name.startswith("kestrune-a-b-") and where.parent == Path(tempfile.gettempdir())
        summary = json.loads((where / "summary.json").read_text())
        assert summary["profile"]["name"] == "a/b" and (where / "run.csv").is_file()
        assert os.stat(where).st_uid == SUDO.pw_uid  # a folder the run made
    finally:
        subprocess.run(["rm", "-rf", str(where)])


def test_a_second_run_on_the_same_folder_is_refused_naming_the_first(tmp_path):
    out = tmp_path / "out"
    first = subprocess.Popen(tool("run", profile(tmp_path, seconds=5), "--out", out), stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
    try:
        for line in first.stdout:
            if line.startswith("t="):
                break
        code, text = run("run", profile(tmp_path), "--out", out)
        # unshare execs the runner: the runner's pid is the first process's own.
        assert code == 1 and f"is in use by another run (pid {first.pid}, started " in text, text
        rest = first.stdout.read()
        assert first.wait(30) == 0, rest
    finally:
        first.kill()
    rows = (out / "run.csv").read_text().splitlines()
    assert len({len(r.split(",")) for r in rows}) == 1 and len(rows) > 10
    assert sorted(p.name for p in out.iterdir()) == ["events.jsonl", "report.html", "run.csv", "run.png", "summary.json"]


SENSOR = '{{ name = "{name}", command = ["sh", "-c", "while :; do {what}; sleep 0.1; done"]{more} }}'


def test_meter_and_sensor_programs_run_as_the_helpers_user_unless_as_root(tmp_path, open_path):
    meter = open_path / "meter.sh"
    meter.write_text("#!/bin/sh\nwhile :; do echo 30; sleep 0.1; done\n")
    meter.chmod(0o755)
    sensors = [SENSOR.format(name="uid", what="id -u", more=""),
               SENSOR.format(name="secret", what="echo ${KL_SECRET:-0}", more=""),
               SENSOR.format(name="root uid", what="id -u", more=", as_root = true"),
               SENSOR.format(name="root secret", what="echo ${KL_SECRET:-0}", more=", as_root = true")]
    extra = (f'[power]\nsource = "command"\n[power.cpu]\ncommand = ["{meter}"]\n')
    path = profile(tmp_path, seconds=2, extra=extra, top=f"sensors = [{', '.join(sensors)}]")
    out = tmp_path / "out"
    code, text = run("run", path, "--out", out, env=sudo_env(KL_SECRET="7"))
    assert code == 0, text
    rows = (out / "run.csv").read_text().splitlines()
    head = rows[0].split(",")
    last = dict(zip(head, rows[-1].split(",")))
    assert (last["uid"], last["secret"]) == (str(SUDO.pw_uid), "0")  # its own rights, a fresh environment
    assert (last["root_uid"], last["root_secret"]) == ("0", "7")
    assert last["cpu_measured_w"] == "30"


def test_a_meter_program_in_roots_own_folder_says_whom_it_runs_as(tmp_path):
    meter = tmp_path / "meter.sh"  # tmp_path is root's alone
    meter.write_text("#!/bin/sh\necho 30\n")
    meter.chmod(0o755)
    path = profile(tmp_path, extra=f'[power]\nsource = "command"\n[power.cpu]\ncommand = ["{meter}"]\n')
    code, text = run("run", path, "--out", tmp_path / "out", env=sudo_env())
    assert code == 1, text
    assert f"it runs as user {SUDO.pw_name}; as_root = true runs it as root" in text
    assert not (tmp_path / "out").exists()


def peak_rss_mib(args, env, timeout=90) -> tuple[int, str, float]:
    """Runs the tool under a small parent that reports the largest resident size of any of
    its descendants: the runner's, since its meters and the helper are small."""
    probe = ("import resource, subprocess, sys\n"
             "r = subprocess.run(sys.argv[1:], capture_output=True, text=True)\n"
             "sys.stdout.write(r.stdout + r.stderr)\n"
             "print('PEAK', resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
             "sys.exit(r.returncode)\n")
    res = subprocess.run([sys.executable, "-c", probe, *tool(*args)], capture_output=True, text=True, env=env,
                         timeout=timeout)
    peak = int(re.search(r"PEAK (\d+)", res.stdout).group(1)) / 1024
    return res.returncode, res.stdout, peak


def writable(path: Path) -> Path:
    """A file the meter's unprivileged user may write into a folder it cannot write."""
    path.write_text("")
    path.chmod(0o666)
    return path


def test_a_flood_from_a_meter_is_bounded_and_its_children_end_with_it(tmp_path, open_path):
    child = writable(open_path / "child.pid")
    meter = open_path / "meter.sh"
    # A 100 MB line without a newline, 20 MB of error output, and a child of its own.
    meter.write_text(f"#!/bin/sh\nsleep 300 & echo $! > {child}\n"
                     "echo 30; echo 30\n"
                     "head -c 100000000 /dev/zero | tr '\\0' 7\n"
                     "head -c 20000000 /dev/zero | tr '\\0' e >&2; echo 'meter: last words' >&2\n"
                     "echo; while :; do echo 30; sleep 0.1; done\n")
    meter.chmod(0o755)
    path = profile(tmp_path, seconds=4, top='on_meter_failure = "continue"',
                   extra=f'[power]\nsource = "command"\n[power.cpu]\ncommand = ["{meter}"]\n')
    out = tmp_path / "out"
    code, text, peak = peak_rss_mib(["run", path, "--out", out], sudo_env())
    print(f"runner's peak resident size with a 100 MB meter line: {peak:.0f} MiB")
    summary = json.loads((out / "summary.json").read_text())
    assert code == 3 and summary["outcome"] == "fail", text
    problems = [p["message"] for p in summary["problems"] if p["kind"] == "meter"]
    # One problem for the line; a slow machine may also see the meter silent while it prints.
    assert len([p for p in problems if "printed a line longer than 4096 bytes" in p]) == 1, problems
    assert all("longer than" in p or "gave no reading" in p for p in problems), problems
    assert summary["helper"]["sessions"][-1]["bye"]["why"] == "stop"  # no hbTimeout: the loop kept its pace
    assert peak < 200, f"{peak:.0f} MiB"
    # After the run, the meter's own child is gone with it.
    pid = int(child.read_text())
    deadline = time.monotonic() + 5
    while Path(f"/proc/{pid}").exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not Path(f"/proc/{pid}").exists()


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP], ids=["SIGTERM", "SIGHUP"])
def test_a_signal_while_meters_start_stops_cleanly_and_ends_them(tmp_path, open_path, signum):
    started = writable(open_path / "meter.pid")
    meter = open_path / "meter.sh"
    meter.write_text(f"#!/bin/sh\necho $$ > {started}\nsleep 4\nwhile :; do echo 30; sleep 0.1; done\n")
    meter.chmod(0o755)
    path = profile(tmp_path, extra=f'[power]\nsource = "command"\n[power.cpu]\ncommand = ["{meter}"]\n')
    out = tmp_path / "out"
    proc = subprocess.Popen(tool("run", path, "--out", out), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, env=sudo_env())
    deadline = time.monotonic() + 10
    while not started.read_text().strip() and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(0.1)
    proc.send_signal(signum)
    text = proc.communicate(timeout=20)[0]
    assert proc.returncode == 128 + signum and "interrupted before the helper started" in text, text
    assert "Traceback" not in text and not out.exists()
    assert not Path(f"/proc/{int(started.read_text())}").exists()


def test_stale_copies_of_the_helper_are_removed_and_nothing_else(tmp_path):
    gone = subprocess.Popen(["true"])
    gone.wait()
    tmp = Path(tempfile.gettempdir())
    stale = tmp / f"kl-native-{gone.pid}-stale1"
    live = tmp / f"kl-native-{os.getpid()}-live1"
    link = tmp / f"kl-native-{gone.pid}-link1"
    kept = tmp_path / "kept"
    try:
        for d in (stale, live, kept):
            d.mkdir()
            (d / "kestrune-load").write_text("x")
        link.symlink_to(kept)
        proc = subprocess.Popen(tool("run", profile(tmp_path), "--out", tmp_path / "out"), env=sudo_env(),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        text = proc.communicate(timeout=60)[0]
        assert proc.returncode == 0, text
        assert not stale.exists() and (live / "kestrune-load").exists()
        assert link.is_symlink() and (kept / "kestrune-load").exists()
        assert not list(tmp.glob(f"kl-native-{proc.pid}-*"))  # the run's own copy went with it
    finally:
        for d in (stale, live):
            subprocess.run(["rm", "-rf", str(d)])
        link.unlink(missing_ok=True)


WINE_EXE = kestrune.WINDOWS_BUILD / "kestrune-load-wine.exe"


def wine_uids(prefix: Path) -> dict[int, int]:
    """pid -> uid of every process running in the Wine prefix."""
    mark = f"WINEPREFIX={prefix}".encode()
    found = {}
    for d in Path("/proc").iterdir():
        try:
            if d.name.isdigit() and mark in (d / "environ").read_bytes().split(b"\0"):
                found[int(d.name)] = d.stat().st_uid
        except OSError:
            continue
    return found


@pytest.mark.skipif(not WINE_EXE.is_file(), reason=f"{WINE_EXE} not built")
def test_under_wine_a_root_runner_runs_wine_as_the_helpers_user(tmp_path, open_path):
    prefix = open_path / "prefix"
    prefix.mkdir()
    os.chown(prefix, SUDO.pw_uid, SUDO.pw_gid)  # a prefix of the profile's: the user's own
    path = profile(tmp_path, seconds=4, extra=f'[target]\nkind = "wine"\nprefix = "{prefix}"\n')
    proc = subprocess.Popen(tool("run", path, "--out", tmp_path / "out"), env=sudo_env(KL_SECRET="7"),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    seen, uids = [], {}
    try:
        for line in proc.stdout:
            seen.append(line)
            if line.startswith("t=") and not uids:
                uids = wine_uids(prefix)
        assert proc.wait(60) == 0, "".join(seen)
    finally:
        proc.kill()
    text = "".join(seen)
    assert f"under Wine; the runner is root, so the helper runs as user {SUDO.pw_name} (SUDO_UID)" in text
    # Wine, its server and the helper: all the user's, none root's.
    assert len(uids) >= 2 and set(uids.values()) == {SUDO.pw_uid}, uids
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert summary["helper"]["sessions"][-1]["bye"]["why"] == "stop"
