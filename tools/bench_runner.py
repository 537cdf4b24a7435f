#!/usr/bin/python3
"""The runner's own cost and the hand-over gap: runs profiles through `kestrune run` on the
native build (model meter, sensors "auto" on the fixture tree unless `--root DIR` names
another, helper sessions of 5 s) and prints

- the runner process's CPU time per second of run (threads included, the helper and meter
  programs not), sampled during the run with its start-up and final record left out;
- every hand-over gap of the long run, and the time until the readings were back in the band,
  with their median and worst.

A benchmark: figures only, no pass or fail.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
KIT = ROOT / "clients" / "python"
FIXTURE = KIT / "tests" / "fixtures" / "sysfs"

# Runs the runner in this process, sampling this process's CPU time (all its threads) as it goes.
MEASURE = """
import json, sys, threading, time
sys.path.insert(0, sys.argv[1])
from kestrune.run.cli import main
samples, done = [], threading.Event()
def sample():
    while not done.wait(0.5):
        samples.append((time.monotonic(), time.process_time()))
threading.Thread(target=sample, daemon=True).start()
code = main(["run", sys.argv[2], "--out", sys.argv[3]])
done.set()
print(json.dumps({"code": code, "samples": samples}), file=sys.stderr)
"""

PROFILE = """
name = "bench"
sensors = "auto"
[load]
cpu = true
workers = 1
session_s = {session}
[power.cpu]
idle_w = 15.0
span_w = 45.0
lag_s = 0.4
[[steps]]
seconds = {seconds}
cpu = {{ mode = "target", watts = 30.0 }}
"""


def one_run(work: Path, seconds: float, session: float, root: str) -> tuple[list, dict]:
    profile = work / f"bench-{seconds:g}.toml"
    profile.write_text(PROFILE.format(seconds=seconds, session=session))
    out = work / f"out-{seconds:g}"
    env = {**os.environ, "KESTRUNE_SYSFS_ROOT": root}
    done = subprocess.run([sys.executable, "-c", MEASURE, str(KIT), str(profile), str(out)], env=env,
                          capture_output=True, text=True, timeout=seconds + 120)
    last = done.stderr.strip().splitlines()[-1] if done.stderr.strip() else "{}"
    result = json.loads(last) if last.startswith("{") else {}
    if result.get("code") not in (0, 3):
        sys.exit(f"the run failed (exit code {result.get('code')}): {done.stdout[-500:]} {done.stderr[-500:]}")
    return result["samples"], json.loads((out / "summary.json").read_text())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="seconds of the run")
    parser.add_argument("--skip", type=float, default=5.0, help="seconds left out at each end")
    parser.add_argument("--session", type=float, default=5.0, help="seconds of one helper session")
    parser.add_argument("--root", default=str(FIXTURE), help="the sensors' sysfs root")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="kl-bench-runner-") as tmp:
        work = Path(tmp)
        samples, summary = one_run(work, args.seconds, args.session, args.root)
    # The run's steady part: from `skip` after the first sample to `skip` before the record.
    first, last = samples[0][0] + args.skip, samples[-1][0] - args.skip
    middle = [s for s in samples if first <= s[0] <= last]
    (t0, c0), (t1, c1) = middle[0], middle[-1]
    per_s = (c1 - c0) / (t1 - t0)
    sensors = len(next(iter(summary["steps"]))["sensors"])
    print(f"runner CPU: {per_s * 1000:.1f} ms per second of run ({per_s * 100:.2f} % of one core) over "
          f"{t1 - t0:.0f} s, {sensors} sensors, power every 0.25 s, a status every 0.25 s")
    gaps = [h["gap_s"] for h in summary["handovers"]]
    if gaps:
        print(f"hand-over gap without load ({len(gaps)} hand-overs): median {statistics.median(gaps) * 1000:.0f} ms, "
              f"worst {max(gaps) * 1000:.0f} ms; each: {', '.join(f'{g * 1000:.0f}' for g in gaps)} ms")
        back = [h["resettle_s"] for h in summary["handovers"] if h.get("resettle_s") is not None]
        if back:
            print(f"hand-over until back in the band: median {statistics.median(back):.2f} s, worst {max(back):.2f} s; "
                  f"each: {', '.join(f'{b:.2f}' for b in back)} s"
                  + (f" ({len(gaps) - len(back)} never back in the band)" if len(back) < len(gaps) else ""))
    else:
        print("no hand-over in the run: a session runs on when the rest of the run fits in its helper's limit "
              "(at least 30 s, less a 10 s margin): make --seconds longer")
    return 0


if __name__ == "__main__":
    sys.exit(main())
