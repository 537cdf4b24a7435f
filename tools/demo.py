"""The main job, shown: a controller's view of one run.

Starts the helper (native, or the Windows build under Wine through the launcher), sends a
start with CPU load, heartbeats and power readings from a simple controller-side power model
(idle 15 W plus 45 W at full CPU duty, with some lag), ramps the CPU in free mode, then holds
it at a 40 W target, and stops it cleanly. Every event is printed as it arrives.
"""

import json
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "clients" / "python"))
import kestrune  # noqa: E402

IDLE_W, SPAN_W, LAG_S = 15.0, 45.0, 0.4


def main(target: str) -> int:
    if target == "native":
        runner = kestrune.NativeRunner()
        helper = runner.start_helper()
    else:
        import tempfile
        runner = kestrune.WineRunner(Path(tempfile.mkdtemp(prefix="kl-demo-wine-")))
        helper = runner.start_helper(exe_name="kestrune-load-wine.exe")
    duty = 0.0
    watts = IDLE_W
    stop = threading.Event()

    def printer():
        nonlocal duty
        while True:
            ev = helper.read(timeout=120)
            if ev is None:
                return
            if ev["ev"] == "status":
                duty = ev["cpu"]["duty"]
            print(f"{time.monotonic() - t0:6.2f} s  <- {json.dumps(ev, separators=(',', ':'))}", flush=True)

    def controller():
        nonlocal watts
        while not stop.is_set():
            helper.send({"cmd": "hb"})
            # The controller's power model: the machine follows the duty with some lag.
            watts += (IDLE_W + SPAN_W * duty - watts) * min(1.0, 0.25 / LAG_S)
            helper.send({"cmd": "power", "cpuW": round(watts, 1)})
            stop.wait(0.25)

    def say(cmd):
        print(f"{time.monotonic() - t0:6.2f} s  -> {json.dumps(cmd, separators=(',', ':'))}", flush=True)
        helper.send(cmd)

    t0 = time.monotonic()
    reader = threading.Thread(target=printer, daemon=True)
    reader.start()
    say(kestrune.start_cmd(runner.parent_pid(helper), cpu=True, nonce="demo"))
    feeder = threading.Thread(target=controller, daemon=True)
    feeder.start()
    time.sleep(1.0)
    say({"cmd": "set", "seq": 1, "cpu": {"mode": "free"}})
    time.sleep(5.0)
    say({"cmd": "set", "seq": 2, "cpu": {"mode": "target", "targetW": 40.0}})
    time.sleep(6.0)
    say({"cmd": "stop"})
    stop.set()
    code = helper.wait(timeout=30)
    reader.join(timeout=10)
    print(f"helper exited with code {code}")
    helper.__exit__(None, None, None)
    runner.close()
    if target != "native":
        import shutil
        shutil.rmtree(runner.prefix, ignore_errors=True)  # the demo's own Wine prefix
    return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "wine"))
