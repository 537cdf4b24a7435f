"""Whole runs as a controller sees them: lines and exit codes."""

import json
import subprocess
import time

import pytest

import kestrune
from conftest import only
from kestrune import Ack, Bye, GpuInfo, GpuStatus, Heartbeat
from kestrune.testing import block_pump, close_stdout, start_cmd, start_without_job
from kestrune.testing.timing import MachineDelay, judge


def test_full_run(runner):
    with runner.start_helper() as h:
        h.send(start_cmd(runner.parent_pid(h), cpu=True, workers=1, nonce="full-run"))
        with Heartbeat(h, 0.3):
            raw = h.read_raw_line(30)
            hello = kestrune.parse_line(raw)
            assert hello.ev == "hello"
            assert list(json.loads(raw)) == ["ev", "v", "nonce", "pid", "isa", "isaMax", "workers", "gpu",
                                             "elevated", "inJob", "lab"]
            assert hello.v == 1 and hello.nonce == "full-run" and hello.workers == 1
            assert hello.gpu == GpuInfo(ok=False, name=None, vendor_id=None, dispatch_ms=None, err=None)
            assert (hello.elevated, hello.in_job, hello.lab) == (False, True, False)
            h.send({"cmd": "set", "seq": 7, "cpu": {"mode": "target", "targetW": 45.0}})
            assert h.read_until(lambda e: e.ev == "ack", 10) == Ack(7)
            statuses = [h.read_until(lambda e: e.ev == "status", 10) for _ in range(4)]
            assert statuses[-1].cpu.mode == "target"
            assert statuses[-1].cpu.target_w == 45.0
            assert statuses[-1].gpu == GpuStatus(mode="off", duty=0.0, target_w=None, dispatch_ms=None,
                                                 power_stale=False)
            assert all(a.t_ms < b.t_ms for a, b in zip(statuses, statuses[1:]))
            h.send({"cmd": "stop"})
            rest = h.read_all()
        assert rest[-1].ev == "bye" and rest[-1].why == "stop" and rest[-1].code == 0
        assert h.wait() == 0


def test_bad_version(runner):
    with runner.start_helper() as h:
        h.send({"cmd": "start", "parentPid": runner.parent_pid(h)})
        assert h.read_all(30) == [Bye("badVersion", 8, 0.0, 0.0)]
        assert h.wait() == 8


def test_parent_pid_zero_gives_hello_then_parent_gone(runner):
    with runner.start_helper() as h:
        h.send(start_cmd(0))
        events = h.read_all(30)
        assert [e.ev for e in events] == ["hello", "bye"]
        assert events[1].why == "parentGone" and events[1].code == 4
        assert h.wait() == 4


def test_parent_that_exits(runner):
    # The controller stand-in: a process we can end at will.
    if runner.name == "native":
        parent = subprocess.Popen(["sleep", "60"])
        parent_pid = parent.pid
        end_parent = parent.kill
    else:
        parent = runner.start("echo_child.exe", speaks_protocol=False)
        parent_pid = parent.launcher_pid
        end_parent = lambda: parent.send_raw(b"exit 0")
    try:
        with runner.start_helper() as h:
            h.send(start_cmd(parent_pid))
            with Heartbeat(h, 0.3):
                assert h.read(30).ev == "hello"
                delay = MachineDelay().start()
                end_parent()
                t_end = time.monotonic()
                bye = h.read_until(lambda e: e.ev == "bye", 30)
            assert bye.why == "parentGone"
            assert h.wait() == 4
            judge(time.monotonic() - t_end, 5, delay, "the parent watch")
    finally:
        if runner.name == "native":
            parent.kill()
            parent.wait()
        else:
            parent.kill()


def test_heartbeat_timeout(runner):
    with runner.start_helper() as h:
        h.send(start_cmd(runner.parent_pid(h), hb_timeout_ms=500))
        with MachineDelay() as delay:
            h.send({"cmd": "hb"})
            t0 = time.monotonic()
            events = h.read_all(30)
            assert h.wait() == 3
            took = time.monotonic() - t0
        assert events[0].ev == "hello"
        assert events[-1] == Bye("hbTimeout", 3, 0.0, 0.0)
        judge(took, 5, delay, "the heartbeat timeout")


@pytest.mark.slow
def test_max_run_ends_after_30_s(runner):
    with runner.start_helper() as h:
        h.send(start_cmd(runner.parent_pid(h), max_run_s=10))
        with MachineDelay() as delay:
            t0 = time.monotonic()
            with Heartbeat(h, 0.3):
                bye = h.read_until(lambda e: e.ev == "bye", 60)
            elapsed = time.monotonic() - t0
        assert bye.why == "maxRun" and bye.code == 0
        assert h.wait() == 0
        assert 29.5 <= elapsed, elapsed
        judge(elapsed, 40, delay, "the run limit")


def test_no_job(runner):
    with start_without_job(runner) as h:
        h.send(start_cmd(runner.parent_pid(h)))
        assert h.read_all(30) == [Bye("noJob", 6, 0.0, 0.0)]
        assert h.wait() == 6


@only("wine")
def test_shipped_program_under_wine_sees_no_kill_on_close_flag(wine_runner):
    # Wine reports no job limit flags at all, so the shipped probe refuses every start there.
    with wine_runner.start_helper(exe_name="kestrune-load.exe") as h:
        h.send(start_cmd(wine_runner.parent_pid(h)))
        assert h.read_all(30) == [Bye("noJob", 6, 0.0, 0.0)]
        assert h.wait() == 6


def test_output_stall_when_the_controller_stops_reading(runner):
    with runner.start_helper() as h:
        import fcntl
        fcntl.fcntl(h.proc.stdout.fileno(), 1031, 4096)  # F_SETPIPE_SZ: fill it sooner
        h.send(start_cmd(runner.parent_pid(h)))
        with Heartbeat(h, 0.3):
            assert h.read(30).ev == "hello"
            # Stop reading, and make plenty of output: every set is acknowledged.
            block_pump(h)
            for seq in range(1, 3000):
                h.send({"cmd": "set", "seq": seq})
            with MachineDelay() as delay:
                t0 = time.monotonic()
                code = h.wait(timeout=30)
                took = time.monotonic() - t0
        assert code == 2
        # 3 s stall limit plus filling the pipes and a tick; the launcher may wait up to 5 s
        # more for output that will never be read.
        judge(took, 6.0 if runner.name == "native" else 11.0, delay, "the output stall")


def test_controller_closes_the_helpers_output(runner):
    with runner.start_helper() as h:
        h.send(start_cmd(runner.parent_pid(h)))
        with Heartbeat(h, 0.3):
            assert h.read(30).ev == "hello"
            close_stdout(h)
            code = h.wait(timeout=30)
        assert code == 2
