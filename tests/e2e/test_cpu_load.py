"""CPU load that follows the duty, seen from outside: process CPU time against duty-seconds."""

import time

import pytest

from conftest import only
from kestrune.testing import start_cmd


def ramp_free_to_full(h, readings=16):
    """Heartbeats and one reading every 250 ms in free mode; returns the duties reported."""
    h.send({"cmd": "set", "seq": 1, "cpu": {"mode": "free"}})
    duties = []
    for _ in range(readings):
        h.send({"cmd": "hb"})
        h.send({"cmd": "power", "cpuW": 30.0})
        time.sleep(0.25)
    h.send({"cmd": "hb"})
    return duties


def last_status(h, within=2.0):
    """The newest status event that arrives within `within` seconds."""
    deadline = time.monotonic() + within
    status = None
    while time.monotonic() < deadline:
        try:
            ev = h.read(max(0.01, deadline - time.monotonic()))
        except TimeoutError:
            break
        if ev and ev.ev == "status":
            status = ev
    return status


@only("native")
def test_free_mode_ramps_to_full_load_and_cpu_time_matches_duty_seconds(native_runner):
    with native_runner.start_helper() as h:
        h.send({"cmd": "hb"})
        h.send(start_cmd(native_runner.parent_pid(h), cpu=True, hb_timeout_ms=1500))
        hello = h.read(30)
        workers = hello.workers
        assert workers >= 1
        ramp_free_to_full(h)
        status = last_status(h, 0.6)
        assert status.cpu.mode == "free" and status.cpu.duty == 1.0
        # Hold full load a while longer, keeping the readings coming.
        for _ in range(12):
            h.send({"cmd": "hb"})
            h.send({"cmd": "power", "cpuW": 30.0})
            time.sleep(0.25)
        cpu_time = native_runner.process_cpu_seconds(h)
        t_stop = time.monotonic()
        h.send({"cmd": "stop"})
        bye = h.read_until(lambda e: e.ev == "bye", 10)
        code = h.wait(10)
        stop_latency = time.monotonic() - t_stop
    assert bye.why == "stop" and code == 0
    expected = workers * bye.cpu_s
    assert expected > 2.0
    # Duty-seconds count up to the last publish (about one tick before the stop); the
    # process also spends a little on the supervisor and the threads around it.
    assert abs(cpu_time - expected) <= 0.05 * expected + 0.15, (cpu_time, expected)
    assert stop_latency < 1.0


def test_stop_during_full_load_ends_within_bounds(runner):
    with runner.start_helper() as h:
        h.send({"cmd": "hb"})
        h.send(start_cmd(runner.parent_pid(h), cpu=True, hb_timeout_ms=3000))
        assert h.read(30).ev == "hello"
        ramp_free_to_full(h)
        status = last_status(h, 0.6)
        assert status.cpu.duty == 1.0
        t_stop = time.monotonic()
        h.send({"cmd": "stop"})
        bye = h.read_until(lambda e: e.ev == "bye", 10)
        t_bye = time.monotonic() - t_stop
        assert h.wait(10) == 0
    assert bye.why == "stop"
    # Load threads get 200 ms, the writer 150 ms; burning workers notice within one kernel call.
    assert t_bye < (0.35 if runner.name == "native" else 1.0), t_bye
