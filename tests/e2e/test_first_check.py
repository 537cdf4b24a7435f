"""kestrune-first-check.exe under Wine, with the Wine build of the helper.

Checks the order a real machine needs: the parent watch is probed (without load) and
reported before any load is asked for, and every line of the report comes whatever the
runs found. Wine's token is elevated, so the run with the check's own token is made too.
"""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KL_WINDOWS_BUILD", REPO / "build" / "windows"))
CHECK = BUILD / "kestrune-first-check.exe"
HELPER = BUILD / "kestrune-load-wine.exe"


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


@pytest.fixture(scope="module")
def wine_env(request):
    if "wine" not in request.config.getoption("--targets").split(","):
        pytest.skip("Wine targets not selected")
    for exe in (CHECK, HELPER):
        if not exe.is_file():
            pytest.fail(f"{exe} not built (cmake --build --preset windows)")
    own_prefix = not os.environ.get("KL_WINEPREFIX")
    prefix = os.environ.get("KL_WINEPREFIX") or tempfile.mkdtemp(prefix="kl-first-check-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    subprocess.run(["wineserver", "-p"], env=env, check=False)
    # A fresh prefix starts its services here, away from the pipes of the runs below.
    subprocess.run(["wineboot", "-i"], env=env, timeout=300, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    yield env
    if own_prefix:
        subprocess.run(["wineserver", "-k"], env=env, check=False)
        shutil.rmtree(prefix, ignore_errors=True)


def run_check(env, *args):
    # Into a file: a Wine service started meanwhile could hold a pipe open long after.
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(["wine", str(CHECK), *args], env=env, stdin=subprocess.DEVNULL,
                              stdout=out, stderr=subprocess.DEVNULL, timeout=120).returncode
        out.seek(0)
        return code, out.read().decode("utf-8", "replace").replace("\r\n", "\n")


def index_of(lines, prefix, start=0):
    for i in range(start, len(lines)):
        if lines[i].startswith(prefix):
            return i
    raise AssertionError(f"no line starting {prefix!r} after line {start}:\n" + "\n".join(lines))


def test_the_parent_watch_is_reported_before_any_load(wine_env):
    code, out = run_check(wine_env, windows_path(HELPER))
    assert code == 0, out
    lines = out.splitlines()
    probe = index_of(lines, "== parent watch")
    verdict = index_of(lines, "parent watch: ", probe)
    load = index_of(lines, "== load, helper started as the client does")
    assert probe < verdict < load, out
    # Under Wine the helper can watch its parent: the probe says so, and the load run
    # gets as far as its bye.
    assert lines[verdict] == "parent watch: held", out
    assert lines[index_of(lines, "exit code", verdict)] == "exit code 0", out
    index_of(lines, "elevation read by the helper:", load)
    index_of(lines, "gpu:", load)
    index_of(lines, "bye: stop, exit code 0", load)
    assert lines[-1] == "Please send everything above to the developers.", out
    # Not its own console (a pipe from this test): no prompt.
    assert "press Enter" not in out


def test_every_line_comes_when_the_helper_cannot_start(wine_env, tmp_path):
    missing = tmp_path / "no-helper.exe"
    code, out = run_check(wine_env, windows_path(missing))
    assert code == 0, out
    lines = out.splitlines()
    probe = index_of(lines, "== parent watch")
    failed = index_of(lines, "start failed: cannot start ", probe)
    assert "no-helper.exe" in lines[failed] and "error 2" in lines[failed], out
    index_of(lines, "parent watch: not checked (the helper did not start)", probe)
    load = index_of(lines, "== load")
    index_of(lines, "load: not checked (the helper did not start)", load)
    assert lines[-1] == "Please send everything above to the developers.", out
