"""Stop latency: time from the stop command to process exit with every worker burning.

Runs the native build (or the Windows build under Wine with `wine`) N times: start with CPU
load on all workers, ramp free mode to full duty, then send stop and time until the process
has exited. Prints the median and the worst. A benchmark: figures only, no pass or fail.
"""

import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "clients" / "python"))
import kestrune  # noqa: E402
from kestrune.testing import start_cmd  # noqa: E402


def one_run(runner, workers):
    with runner.start_helper() as h:
        h.send({"cmd": "hb"})
        h.send(start_cmd(runner.parent_pid(h), cpu=True, workers=workers, hb_timeout_ms=3000))
        hello = h.read(30)
        h.send({"cmd": "set", "seq": 1, "cpu": {"mode": "free"}})
        # Readings 1 s apart count as a full second each: full duty after four.
        for _ in range(5):
            h.send({"cmd": "hb"})
            h.send({"cmd": "power", "cpuW": 30.0})
            time.sleep(1.0)
        t0 = time.monotonic()
        h.send({"cmd": "stop"})
        h.wait(30)
        return (time.monotonic() - t0) * 1000.0, hello.workers


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else "native"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    if target == "native":
        runner = kestrune.NativeRunner()
    else:
        runner = kestrune.WineRunner(Path(tempfile.mkdtemp(prefix="kl-bench-wine-")))
    workers = os.cpu_count()
    times = []
    for _ in range(runs):
        ms, n = one_run(runner, workers)
        times.append(ms)
    runner.close()
    if target != "native":
        import shutil
        shutil.rmtree(runner.prefix, ignore_errors=True)
    print(f"stop latency ({target}, {n} workers burning, {runs} runs): "
          f"median {statistics.median(times):.1f} ms, worst {max(times):.1f} ms")


if __name__ == "__main__":
    main()
