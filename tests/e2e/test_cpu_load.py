"""CPU load that follows the duty, seen from outside: process CPU time against duty-seconds."""

import os
import time
from pathlib import Path

import pytest

from conftest import only
from kestrune.testing import start_cmd
from kestrune.testing.timing import MachineDelay, judge


def ramp_free_to_full(h, readings=18):
    """Heartbeats and one reading every 250 ms in free mode; returns the duties reported.

    Sixteen readings reach full duty only when the helper sees them at least 3.75 s apart;
    on a busy machine the first may be taken late, so two more make sure (the duty stops
    at 1)."""
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


def machine_busy_seconds():
    """CPU time the whole machine has spent busy since boot (all processors, /proc/stat)."""
    fields = Path("/proc/stat").read_text().split("\n", 1)[0].split()
    assert fields[0] == "cpu", fields
    user, nice, system, _idle, _iowait, irq, softirq, steal = map(int, fields[1:9])
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


class Window:
    """What the helper and the rest of the machine used between two moments."""

    def __init__(self, runner, h):
        self.runner, self.h = runner, h
        self.t0, self.busy0 = time.monotonic(), machine_busy_seconds()
        self.helper0 = runner.process_cpu_seconds(h)

    def close(self):
        self.wall = time.monotonic() - self.t0
        self.helper = self.runner.process_cpu_seconds(self.h) - self.helper0
        self.others = max(0.0, machine_busy_seconds() - self.busy0 - self.helper)
        self.capacity = self.wall * os.cpu_count()
        self.left = self.capacity - self.others  # what the helper could have had
        return self

    def describe(self):
        return (f"the rest of the machine took {self.others:.2f} of {self.capacity:.2f} "
                f"CPU-seconds in {self.wall:.2f} s, the helper {self.helper:.2f}")


@only("native")
def test_free_mode_ramps_to_full_load_and_cpu_time_matches_duty_seconds(native_runner):
    with native_runner.start_helper() as h:
        h.send({"cmd": "hb"})
        h.send(start_cmd(native_runner.parent_pid(h), cpu=True, hb_timeout_ms=1500))
        hello = h.read(30)
        run = Window(native_runner, h)
        workers = hello.workers
        assert workers >= 1
        ramp_free_to_full(h)
        status = last_status(h, 0.6)
        assert status.cpu.mode == "free" and status.cpu.duty == 1.0
        # Hold full load a while longer, keeping the readings coming.
        hold = Window(native_runner, h)
        for _ in range(12):
            h.send({"cmd": "hb"})
            h.send({"cmd": "power", "cpuW": 30.0})
            time.sleep(0.25)
        hold.close()
        run.close()
        cpu_time = native_runner.process_cpu_seconds(h)
        with MachineDelay() as stop_delay:
            t_stop = time.monotonic()
            h.send({"cmd": "stop"})
            bye = h.read_until(lambda e: e.ev == "bye", 10)
            code = h.wait(10)
            stop_latency = time.monotonic() - t_stop
    assert bye.why == "stop" and code == 0
    judge(stop_latency, 1.0, stop_delay, "the stop")
    expected = workers * bye.cpu_s
    assert expected > 2.0
    # Duty-seconds count up to the last publish (about one tick before the stop); the
    # process also spends a little on the supervisor and the threads around it.
    tolerance = 0.05 * expected + 0.15
    assert cpu_time <= expected + tolerance, (cpu_time, expected)
    if run.others <= 0.05 * run.capacity + 0.2:
        # A quiet machine: the helper had all it asked for.
        assert cpu_time >= expected - tolerance, (cpu_time, expected, run.describe())
        return
    # A below-normal helper yields to the rest of the machine, as intended. At full load it
    # asks for every processor, so it must have had all that the others left it then.
    hold_expected = workers * hold.wall
    if hold.left < 0.5 * hold_expected:
        pytest.skip(f"machine too busy to judge the CPU time: at full load {hold.describe()}, "
                    f"{hold.left:.2f} left against {hold_expected:.2f} duty-seconds")
    hold_tolerance = 0.05 * hold_expected + 0.15
    assert hold.helper >= min(hold_expected, hold.left) - hold_tolerance, hold.describe()


def test_stop_during_full_load_ends_within_bounds(runner):
    with runner.start_helper() as h:
        h.send({"cmd": "hb"})
        h.send(start_cmd(runner.parent_pid(h), cpu=True, hb_timeout_ms=3000))
        assert h.read(30).ev == "hello"
        ramp_free_to_full(h)
        status = last_status(h, 0.6)
        assert status.cpu.duty == 1.0
        with MachineDelay() as delay:
            t_stop = time.monotonic()
            h.send({"cmd": "stop"})
            bye = h.read_until(lambda e: e.ev == "bye", 10)
            t_bye = time.monotonic() - t_stop
        assert h.wait(10) == 0
    assert bye.why == "stop"
    # Load threads get 200 ms, the writer 150 ms; burning workers notice within one kernel call.
    judge(t_bye, 0.35 if runner.name == "native" else 1.0, delay, "stop to bye")
