"""Command floods: peak memory and time while the helper works through a flood of valid lines.

Runs the native build (or the Windows build under Wine with `wine`): for each case, starts a
helper, writes the flood as fast as the pipe takes it while the helper is running, notes its
peak resident memory once the whole flood is written, then sends stop and times the bye from
the moment the last flood line was written. Figures only, no pass or fail.

Usage: bench_flood.py [native|wine] [case ...]   cases: hb1m hb3m hb10m power1m (default: all)
"""

import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "clients" / "python"))
import kestrune  # noqa: E402
from kestrune.testing import flood, memory_kib, start_cmd  # noqa: E402

HB = b'{"cmd":"hb"}\n'
POWER = b'{"cmd":"power","cpuW":30.0}\n'

# name: (pattern of lines, repeats, burn) — the power flood carries a heartbeat every tenth
# line so that the run stays alive on its own merits.
CASES = {
    "hb1m": (HB, 1_000_000, False),
    "hb3m": (HB, 3_000_000, False),
    "hb10m": (HB, 10_000_000, False),
    "power1m": (POWER * 9 + HB, 111_112, True),
}


def one_case(runner, pattern, repeats, burn):
    lines = pattern.count(b"\n") * repeats
    with runner.start_helper() as h:
        h.send({"cmd": "hb"})
        h.send(start_cmd(runner.parent_pid(h), cpu=burn, hb_timeout_ms=3000))
        hello = h.read(60)
        assert hello and hello.ev == "hello", hello
        if burn:
            h.send({"cmd": "set", "seq": 1, "cpu": {"mode": "free"}})
            for _ in range(3):
                h.send({"cmd": "hb"})
                h.send({"cmd": "power", "cpuW": 30.0})
                time.sleep(0.5)
        pid = runner.helper_os_pid(h)
        rss_before, _ = memory_kib(pid)

        t0 = time.monotonic()
        flood(h, pattern, repeats, chunk_lines=max(1, 65536 // pattern.count(b"\n")))
        t_written = time.monotonic()
        rss_after, peak = memory_kib(pid)
        h.send({"cmd": "stop"})
        bye = h.read_until(lambda e: e.ev == "bye", timeout=120)
        t_bye = time.monotonic()
        code = h.wait(30)
        return {
            "lines": lines,
            "seconds": t_written - t0,
            "rate": lines / max(t_written - t0, 1e-9),
            "peak_mib": peak / 1024,
            "before_mib": rss_before / 1024,
            "after_mib": rss_after / 1024,
            "stop_ms": (t_bye - t_written) * 1000,
            "why": bye.why,
            "code": code,
        }


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else "native"
    names = sys.argv[2:] or list(CASES)
    if target == "native":
        runner = kestrune.NativeRunner()
    else:
        runner = kestrune.WineRunner(Path(tempfile.mkdtemp(prefix="kl-bench-wine-")))
    try:
        for name in names:
            r = one_case(runner, *CASES[name])
            print(f"flood {name} ({target}): {r['lines']} lines in {r['seconds']:.1f} s "
                  f"({r['rate'] / 1e6:.2f} M lines/s), resident {r['before_mib']:.1f} MiB before, "
                  f"peak {r['peak_mib']:.1f} MiB, {r['after_mib']:.1f} MiB after; "
                  f"stop after the flood: bye {r['why']!r} (exit {r['code']}) {r['stop_ms']:.0f} ms "
                  f"after the last line was written", flush=True)
    finally:
        runner.close()
        if target != "native":
            import shutil
            shutil.rmtree(runner.prefix, ignore_errors=True)


if __name__ == "__main__":
    main()
