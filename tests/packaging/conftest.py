import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
NATIVE_BUILD = Path(os.environ.get("KL_NATIVE_BUILD", ROOT / "build" / "linux"))
WINDOWS_BUILD = Path(os.environ.get("KL_WINDOWS_BUILD", ROOT / "build" / "windows"))


def project_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"^project\(\S+ VERSION (\d+\.\d+\.\d+)", text, re.M).group(1)


def run(cmd, **kw) -> subprocess.CompletedProcess:
    """Runs a command; a failure shows its output."""
    kw.setdefault("text", True)
    res = subprocess.run([str(c) for c in cmd], capture_output=True, **kw)
    assert res.returncode == 0, f"{cmd} exited {res.returncode}\n{res.stdout}\n{res.stderr}"
    return res


def own_lock(cmd: list) -> list:
    """The helper allows one instance per user and network namespace: as root, run `cmd` in
    a network namespace of its own so that a helper of another test run on this machine
    cannot make it end with `already`."""
    return ["unshare", "--net", *cmd] if os.geteuid() == 0 else cmd


@pytest.fixture
def open_dir():
    """A folder under /tmp that an unprivileged helper may enter (tmp_path is root's only)."""
    path = Path(tempfile.mkdtemp(prefix="kl-pkg-"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def native_helper(open_dir):
    """A copy of the native helper that `nobody` can run."""
    exe = NATIVE_BUILD / "kestrune-load"
    if not exe.exists():
        pytest.fail(f"{exe} is not built")
    copy = open_dir / "kestrune-load"
    shutil.copy(exe, copy)
    copy.chmod(0o755)
    return copy
