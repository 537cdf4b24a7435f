"""The line channel to a helper, against stand-in child processes."""

import json
import time

import pytest

from kestrune import Helper, commands
from kestrune.testing.timing import MachineDelay, judge


def test_events_arrive_in_order_and_the_end_of_output_stays_the_end():
    with Helper(["sh", "-c", 'echo \'{"ev":"ack","seq":1}\'; echo \'{"ev":"ack","seq":2}\'']) as h:
        assert [ev.seq for ev in h.events(timeout=5)] == [1, 2]
        with MachineDelay() as delay:
            t0 = time.monotonic()
            assert h.read(5) is None and h.read_raw_line(5) is None
            took = time.monotonic() - t0
        judge(took, 1, delay, "reading past the end")  # no waiting for a line that cannot come
        assert h.wait() == 0


def test_silence_and_a_cut_line_are_reported():
    with Helper(["sh", "-c", "sleep 30"]) as h:
        with pytest.raises(TimeoutError):
            next(h.events(timeout=0.2))
    with Helper(["sh", "-c", "printf '{\"ev\":\"ack\"'"]) as h:
        with pytest.raises(ValueError, match="inside a line"):
            h.read(5)


@pytest.mark.parametrize("built, wire", [
    (commands.start_cmd(7, cpu=True, workers=2, hb_timeout_ms=900, max_run_s=60, nonce="n"),
     {"cmd": "start", "v": 1, "nonce": "n", "parentPid": 7, "hbTimeoutMs": 900, "maxRunS": 60,
      "cpu": {"enable": True, "workers": 2}, "gpu": {"enable": False}}),
    (commands.set_cmd(3, cpu=commands.target(40, cap=35), gpu=commands.FREE),
     {"cmd": "set", "seq": 3, "cpu": {"mode": "target", "targetW": 40.0, "capW": 35.0}, "gpu": {"mode": "free"}}),
    (commands.set_cmd(4, cpu=commands.OFF), {"cmd": "set", "seq": 4, "cpu": {"mode": "off"}}),
    (commands.power_cmd(cpu_w=31.25, at_ms=12), {"cmd": "power", "cpuW": 31.25, "atMs": 12}),
    (commands.stop_cmd(), {"cmd": "stop"}),
])
def test_command_builders_write_the_wire_keys(built, wire):
    assert json.loads(json.dumps(built)) == wire


@pytest.mark.parametrize("mode, target_w", [("fast", None), ("target", float("inf"))])
def test_a_domain_setting_the_helper_would_reject_is_refused_here(mode, target_w):
    with pytest.raises(ValueError):
        commands.Domain(mode, target_w)
