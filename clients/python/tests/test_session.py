"""A session's set waits for its ack and sends again when the ack was lost."""

import sys

import pytest

import kestrune
from kestrune import Bye, Helper, Session, SetNotAcknowledged, Status

# A stand-in helper: a hello for the start; for each set a status, then an ack unless it
# is one of the first DROP (the ack the helper drops while its output queue is full); a
# bye for the stop. With END it ends the run at the first set instead.
STAND_IN = r"""
import json, sys
drop, end = int(sys.argv[1]), sys.argv[2] == "end"
HELLO = {"ev": "hello", "v": 1, "nonce": "n", "pid": 1, "isa": "sse2", "isaMax": "sse2", "workers": 1,
         "gpu": {"ok": False, "name": None, "vendorId": None, "dispatchMs": None, "err": None},
         "elevated": False, "inJob": True, "lab": False}
def status(t):
    return {"ev": "status", "tMs": t, "cpu": {"mode": "free", "duty": 0.0, "targetW": None, "powerStale": False},
            "gpu": {"mode": "off", "duty": 0.0, "targetW": None, "dispatchMs": None, "powerStale": False}}
def say(ev):
    print(json.dumps(ev, separators=(",", ":")), flush=True)
for line in sys.stdin:
    cmd = json.loads(line)
    if cmd["cmd"] == "start":
        say(HELLO)
    elif cmd["cmd"] == "set":
        say(status(cmd["seq"]))
        if end:
            say({"ev": "bye", "why": "hbTimeout", "code": 3, "cpuS": 0.0, "gpuS": 0.0})
            sys.exit(3)
        if drop:
            drop -= 1
        else:
            say({"ev": "ack", "seq": cmd["seq"]})
    elif cmd["cmd"] == "stop":
        say({"ev": "bye", "why": "stop", "code": 0, "cpuS": 0.0, "gpuS": 0.0})
        break
"""


class StandInRunner(kestrune.Runner):
    name = "stand-in"

    def __init__(self, drop=0, end=False):
        self.argv = [sys.executable, "-c", STAND_IN, str(drop), "end" if end else "ack"]

    def start_helper(self):
        return Helper(self.argv)

    def parent_pid(self, helper):
        return 1


def session(runner):
    return Session(runner, cpu=True, ack_timeout=0.3, set_tries=3, hb_period=5.0, stop_timeout=5.0)


@pytest.mark.parametrize("dropped, acked", [(0, 1), (1, 2), (2, 3)])
def test_a_lost_ack_is_made_good_by_sending_again_with_a_higher_seq(dropped, acked):
    with session(StandInRunner(drop=dropped)) as s:
        assert s.set(cpu=kestrune.FREE) == acked
        assert s.resends == dropped
        assert s.set(cpu=kestrune.target(40.0)) == acked + 1  # the next set starts above the last try
        # The statuses that came while the session waited are still read, in order.
        seen = []
        for ev in s.events(timeout=0.5):
            seen.append(ev)
            if len(seen) == acked + 1:
                break
        assert [e.t_ms for e in seen] == list(range(1, acked + 2))
        assert all(isinstance(e, Status) for e in seen)
    assert s.code == 0 and s.bye == Bye("stop", 0, 0.0, 0.0)


def test_a_set_never_acked_fails_clearly_after_its_tries():
    with session(StandInRunner(drop=99)) as s:
        with pytest.raises(SetNotAcknowledged, match=r"^no ack for set command seq 1 to 3: sent 3 times, "
                                                     r"0\.3 s each$") as e:
            s.set(cpu=kestrune.FREE)
        assert not e.value.run_ended and s.resends == 2


def test_a_run_that_ends_before_the_ack_fails_the_set_and_keeps_the_bye():
    with session(StandInRunner(end=True)) as s:
        with pytest.raises(SetNotAcknowledged, match=r"ended the run \(hbTimeout\) before an ack") as e:
            s.set(cpu=kestrune.FREE)
        assert e.value.run_ended
        assert [type(ev) for ev in s.events(timeout=5)] == [Status, Bye]
    assert s.bye.why == "hbTimeout" and s.code == 3
