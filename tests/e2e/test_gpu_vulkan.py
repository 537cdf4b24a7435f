"""The native GPU load on Vulkan, end to end: the test build runs the real device path on a
software device. (The program's "noAdapter" on such a machine is in test_gpu.py.)"""

import re
import shutil
import subprocess
import time

import pytest

import kestrune
from conftest import only
from kestrune import Ack, Heartbeat
from kestrune.testing import start_cmd
from test_cpu_load import Window
from kestrune.testing.timing import MachineDelay, judge
from test_gpu import feed_power, statuses, stop_and_time_bye


class SwGpuRunner(kestrune.NativeRunner):
    """The native runner with the test build that accepts a software GPU."""

    def __init__(self):
        super().__init__()
        shutil.copy2(kestrune.NATIVE_BUILD / "kestrune-load-swgpu", self.exe)


@pytest.fixture(scope="module")
def swgpu_runner():
    r = SwGpuRunner()
    yield r
    r.close()


# Slower than this even at the smallest work size, the software device cannot keep the slow
# rule on this machine, so a GPU test has nothing to judge.
SLOW_DISPATCH_MS = 250.0


def smallest_dispatch_ms():
    """The software device's dispatch times at the smallest work sizes, measured now by the
    benchmark program: its first line of figures, and the time at 16 iterations (None when
    it could not measure)."""
    bench = kestrune.NATIVE_BUILD / "kl_bench"
    if not bench.exists():
        return "kl_bench not built: no dispatch times", None
    p = subprocess.Popen([str(bench), "gpu_vulkan", "0.5"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    try:
        line = b""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            line = p.stdout.readline()
            if not line or line.startswith(b"dispatch ms by iters"):
                break
    finally:
        p.kill()
        p.wait()
    text = line.decode(errors="replace").strip()
    m = re.search(r" 16: ([0-9.]+)", text)
    return text or "kl_bench measured nothing", float(m.group(1)) if m else None


def skip_if_the_machine_was_too_slow(what, window, slowest_seen_ms=None):
    """Skips with the figures when the machine gave the software device too little to judge
    `what`: the rest of the machine took more than half of it meanwhile, or a dispatch (seen
    by the helper, or measured now at the smallest size) was slower than the slow rule.
    Otherwise fails: the machine gave enough, so the failure is the program's. `window` is
    closed, while the helper still ran."""
    sweep, at_16 = smallest_dispatch_ms()
    slowest = max(ms for ms in (slowest_seen_ms, at_16, 0.0) if ms is not None)
    figures = f"{window.describe()}; {sweep}"
    if slowest_seen_ms is not None:
        figures += f"; slowest dispatch the helper reported {slowest_seen_ms:.1f} ms"
    if window.others > 0.5 * window.capacity or slowest > SLOW_DISPATCH_MS:
        pytest.skip(f"software GPU too slow on this machine to judge: {what}; {figures}")
    pytest.fail(f"{what}, though the machine left the device enough: {figures}")


def start_gpu_or_skip(runner, h, **kw):
    """Starts with the GPU load; returns the hello's gpu object once calibration succeeded.

    The test build calibrates from the smallest work size, so a software device calibrates
    even on a busy machine. Where the hello still reports a failure, that path is checked
    and the test skips with the machine's figures if it was too slow to judge, and fails if
    it was not.
    """
    window = Window(runner, h)
    h.send(start_cmd(runner.parent_pid(h), gpu=True, **kw))
    hello = h.read(30)
    window.close()
    assert hello.ev == "hello", hello
    gpu = hello.gpu
    if not gpu.ok:
        assert gpu.err in ("gpuDeviceRemoved", "gpuSlow"), gpu
        assert (gpu.name, gpu.vendor_id, gpu.dispatch_ms) == (None, None, None)
        bye, _ = stop_and_time_bye(h)
        assert h.wait() == 0
        assert (bye.why, bye.code, bye.gpu_s) == ("stop", 0, 0.0)
        skip_if_the_machine_was_too_slow(f"calibration ended in {gpu.err}", window)
    return gpu


@only("native")
def test_swgpu_hello_ramp_and_stop(swgpu_runner):
    with swgpu_runner.start_helper() as h, Heartbeat(h, 0.3):
        gpu = start_gpu_or_skip(swgpu_runner, h)
        assert isinstance(gpu.name, str) and gpu.name == gpu.name.strip() and gpu.name
        assert isinstance(gpu.vendor_id, int) and gpu.vendor_id > 0
        assert gpu.dispatch_ms > 0 and gpu.err is None

        h.send({"cmd": "set", "seq": 1, "gpu": {"mode": "free"}})
        window = Window(swgpu_runner, h)
        loaded = feed_power(h, 2.5, gpuW=60.0)
        window.close()
        errors = [e for e in loaded if e.ev == "error"]
        if errors:
            # Reported, then no more GPU load: check that much, then judge the machine.
            assert [e.code for e in errors] in (["gpuSlow"], ["gpuDeviceRemoved"]), errors
            seen = [s.gpu.dispatch_ms for s in statuses(loaded) if s.gpu.dispatch_ms is not None]
            skip_if_the_machine_was_too_slow(f"the run ended in {errors[0].code} "
                                             f"({errors[0].detail})", window,
                                             max(seen, default=None))
        with MachineDelay() as stop_delay:
            bye, stop_s = stop_and_time_bye(h)
        assert h.wait() == 0

    st = statuses(loaded, after=Ack(1))
    assert len(st) >= 5
    duties = [s.gpu.duty for s in st]
    assert all(s.gpu.mode == "free" for s in st)
    assert duties == sorted(duties) and duties[-1] > duties[0], duties
    samples = [s.gpu.dispatch_ms for s in st if s.gpu.dispatch_ms is not None]
    assert samples and all(ms > 0 for ms in samples), st
    assert bye.why == "stop" and bye.code == 0
    assert bye.gpu_s > 0
    # A stop during a dispatch waits for it to end (bounded by the hang limit), and the
    # final stop gives the threads at most 200 ms before the bye.
    judge(stop_s, 0.4, stop_delay, "stop to bye")

