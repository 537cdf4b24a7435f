"""Standard output belongs to the event stream: a library in the helper's process that
prints (from its constructor or from a thread of its own while a run is on) must not put a
single byte into what the controller reads."""

import json
import os
import shutil
import time
from pathlib import Path

import pytest

import kestrune
from conftest import only
from kestrune.testing import start_cmd

NOISE_LIB = "libkl_stdout_noise.so"


@pytest.fixture
def noisy_runner():
    src = kestrune.NATIVE_BUILD / NOISE_LIB
    if not src.is_file():
        pytest.fail(f"{src} is missing: the native test build makes it")
    r = kestrune.NativeRunner()
    # Where the unprivileged helper can read the library and write the done marker.
    shared = r.dir / "noise"
    shared.mkdir()
    os.chmod(shared, 0o777)
    lib = r.dir / NOISE_LIB
    shutil.copy2(src, lib)
    os.chmod(lib, 0o755)
    trigger = shared / "go"
    r.extra_env.update({"LD_PRELOAD": str(lib), "KL_NOISE_TRIGGER": str(trigger)})
    yield r, trigger
    r.close()


@only("native")
def test_library_writes_to_stdout_never_reach_the_controller(noisy_runner):
    runner, trigger = noisy_runner
    done = Path(str(trigger) + ".done")
    lines = []
    with runner.start_helper() as h:
        h.send({"cmd": "hb"})
        h.send(start_cmd(runner.parent_pid(h), cpu=True, hb_timeout_ms=3000))
        lines.append(h.read_raw_line(30))
        trigger.touch()
        deadline = time.monotonic() + 20
        while not done.exists() and time.monotonic() < deadline:
            h.send({"cmd": "hb"})
            try:
                lines.append(h.read_raw_line(0.2))
            except TimeoutError:
                continue
            assert lines[-1] is not None, f"output ended early: {lines}"
        assert done.exists(), "the library never made its noise"
        # The status ticks that follow the noise show that nothing is still on its way.
        for _ in range(3):
            h.send({"cmd": "hb"})
            lines.append(h.read_raw_line(5))
        h.send({"cmd": "stop"})
        while lines[-1] is not None:
            lines.append(h.read_raw_line(10))
        assert h.wait(10) == 0
    lines.pop()  # the end of output
    events = [json.loads(raw) for raw in lines]  # every line one JSON object, nothing else
    assert all(raw.endswith(b"\n") and raw.count(b"\n") == 1 for raw in lines)
    assert events[0]["ev"] == "hello" and events[-1]["ev"] == "bye"
    assert events[-1]["why"] == "stop"
    assert sum(e["ev"] == "status" for e in events) >= 3
    assert all(isinstance(e, dict) and "ev" in e for e in events)
