"""A controller that writes commands faster than the helper works them must not grow it."""

import threading
import time

import kestrune
from kestrune.testing import flood, memory_kib, start_cmd

# Power readings with a heartbeat every tenth line, written while the CPU burns: the
# supervisor works each reading, so it falls behind a pipe written flat out.
PATTERN = b'{"cmd":"power","cpuW":30.0}\n' * 9 + b'{"cmd":"hb"}\n'
FLOOD_LINES = 3_000_000
PEAK_LIMIT_MIB = {"native": 64, "wine": 100}


def test_a_flood_of_commands_mid_burn_leaves_the_run_alive_stoppable_and_small(runner):
    with runner.start_helper() as h:
        h.send({"cmd": "hb"})
        h.send(start_cmd(runner.parent_pid(h), cpu=True, hb_timeout_ms=2000))
        assert h.read(30).ev == "hello"
        h.send({"cmd": "set", "seq": 1, "cpu": {"mode": "free"}})
        for _ in range(3):
            h.send({"cmd": "hb"})
            h.send({"cmd": "power", "cpuW": 30.0})
            time.sleep(0.5)
        pid = runner.helper_os_pid(h)

        repeats = FLOOD_LINES // PATTERN.count(b"\n")
        writer = threading.Thread(target=flood, args=(h, PATTERN, repeats, 6554), daemon=True)
        t0 = time.monotonic()
        writer.start()
        writer.join(timeout=600)
        assert not writer.is_alive(), "the flood was not taken within 600 s"
        flood_s = time.monotonic() - t0
        # Read before the stop: the peak is reached while the flood is worked through.
        _, peak_kib = memory_kib(pid)

        h.send({"cmd": "stop"})
        events = h.read_all(60)
        assert events[-1].ev == "bye" and events[-1].why == "stop", events[-1]
        # Nothing refused on the way: every line of the flood was a valid command.
        assert "error" not in {e.ev for e in events}, [e for e in events if e.ev == "error"]
        assert h.wait() == 0
        print(f"{runner.name}: {FLOOD_LINES} lines in {flood_s:.1f} s, peak {peak_kib / 1024:.1f} MiB")
        assert peak_kib < PEAK_LIMIT_MIB[runner.name] * 1024


# Sets that are acknowledged and change nothing: seq 0 is never above the last applied one.
IGNORED_SET = b'{"cmd":"set","seq":0,"cpu":{"mode":"free"}}\n'
ACK_BURST = 400


def test_every_setting_is_applied_and_acked_while_a_burst_of_acks_overflows(runner):
    """Each burst makes more acks than the helper's output queue holds while the controller
    reads, so some are dropped, at times the ack of the set right after it; the session's
    set sends again until one is acked, and every target shows in the status."""
    acks = resends = 0
    with kestrune.Session(runner, cpu=True, workers=1) as s:
        s.set(cpu=kestrune.target(10.0))
        for watts in (11.0, 12.0, 13.0, 14.0, 15.0):
            s.helper.send_raw(IGNORED_SET * ACK_BURST)  # one write
            s.set(cpu=kestrune.target(watts))
            for ev in s.events(timeout=5.0):
                acks += isinstance(ev, kestrune.Ack) and ev.seq == 0
                if isinstance(ev, kestrune.Status) and ev.cpu.target_w == watts:
                    assert ev.cpu.mode == "target"
                    break
        resends = s.resends
    assert s.code == 0
    print(f"{runner.name}: {acks} of {5 * ACK_BURST} burst acks read, {resends} sets sent again")
