import copy
import socket
import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

# The package from this checkout, whether or not it is installed.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))


def changed(base, path, value=KeyError):
    """`base` with the key at `path` ("gpu.ok") set to `value`, or removed."""
    out = copy.deepcopy(base)
    *parents, last = path.split(".")
    node = out
    for key in parents:
        node = node[key]
    if value is KeyError:
        del node[last]
    else:
        node[last] = value
    return out


@pytest.fixture
def open_path():
    """A temporary folder that anyone may enter and read (tmp_path is its owner's only): a
    root runner runs meter and sensor programs as the helper's unprivileged user."""
    path = Path(tempfile.mkdtemp(prefix="kl-test-"))
    os.chmod(path, 0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
