"""Every way a run can go wrong, through the real runner and (unless a fake stands in for a
misbehaving helper) the native helper: each gives its documented exit code, a clear message,
and a complete record. Then a run longer than one helper session, handed over, with its
live state served for Prometheus."""

import csv
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

import pytest

import kestrune
from kestrune.run.handover import handover_due
from conftest import free_port

ROOT = Path(__file__).resolve().parents[3]
TOOL = ROOT / "tools" / "kestrune"
NATIVE = kestrune.NATIVE_BUILD / "kestrune-load"
needs_native = pytest.mark.skipif(not NATIVE.is_file(), reason=f"{NATIVE} not built")


def numbers_then(then: str) -> str:
    """A meter that reads 30 W every 0.1 s for half a second, then does `then`."""
    return f"i=0; while [ $i -lt 5 ]; do echo 30; sleep 0.1; i=$((i+1)); done; {then}"


FOREVER = "while :; do echo {}; sleep 0.1; done"

# Fake helpers: each reads up to the start command, then misbehaves.
UNTIL_START = "while read -r line; do case $line in *start*) break;; esac; done\n"
HELLO = ('{"ev":"hello","v":1,"nonce":"t","pid":4242,"isa":"sse2","isaMax":"sse2","workers":1,'
         '"gpu":{"ok":false,"name":null,"vendorId":null,"dispatchMs":null,"err":null},'
         '"elevated":false,"inJob":true,"lab":false}')
STATUS = ('{"ev":"status","tMs":250,"cpu":{"mode":"free","duty":0.25,"targetW":null,"powerStale":false},'
          '"gpu":{"mode":"off","duty":0.0,"targetW":null,"dispatchMs":null,"powerStale":false}}')
FAKES = {
    "silent": UNTIL_START + "while read -r line; do case $line in *stop*) exit 0;; esac; done\n",
    "already": UNTIL_START + "echo '{\"ev\":\"bye\",\"why\":\"already\",\"code\":7,\"cpuS\":0.0,\"gpuS\":0.0}'; exit 7\n",
    # Answers each set with its ack, says nothing else.
    "quiet": UNTIL_START + f"echo '{HELLO}'; echo '{STATUS}'\n" + r"""while read -r line; do case $line in
  *'"cmd":"set"'*) seq=${line##*'"seq":'}; printf '{"ev":"ack","seq":%s}\n' "${seq%%[!0-9]*}";;
  *stop*) exit 0;;
esac; done
""",
    "deaf": UNTIL_START + f"echo '{HELLO}'; echo '{STATUS}'\n"
            "while read -r line; do case $line in *stop*) exit 0;; esac; done\n",
    "hbTimeout": UNTIL_START + f"echo '{HELLO}'; echo '{STATUS}'; sleep 0.5\n"
                 "echo '{\"ev\":\"bye\",\"why\":\"hbTimeout\",\"code\":3,\"cpuS\":0.0,\"gpuS\":0.0}'; exit 3\n",
}


def case(name, code, message, *, kind=None, outcome="incomplete", meter=None, fake=None, action=None,
         load="", top="", steps='[[steps]]\nseconds = 3\ncpu = "free"\n', out=None, metrics=False, as_root=False):
    """`as_root`: the meter runs as root with the runner's environment, as_root = true."""
    return pytest.param(dict(code=code, message=message, kind=kind, outcome=outcome, meter=meter, fake=fake,
                             action=action, load=load, top=top, steps=steps, out=out, metrics=metrics,
                             as_root=as_root), id=name)


GPU_STEPS = '[[steps]]\nseconds = 3\ncpu = "free"\ngpu = "free"\n'

CASES = [
    case("meter dies", 4, "power command", kind="meter",
         meter=numbers_then("echo 'meter: lost the sensor' >&2; exit 3")),
    case("meter dies, run goes on", 3, "exited with code 3", kind="meter", outcome="fail",
         meter=numbers_then("echo 'meter: lost the sensor' >&2; exit 3"), top='on_meter_failure = "continue"'),
    case("meter prints garbage", 4, "printed 'ERR', not a number", kind="meter",
         meter=numbers_then(FOREVER.format("ERR"))),
    case("meter blocks", 4, "gave no reading for 2.", kind="meter", meter=numbers_then("exec sleep 60")),
    case("meter reads too high", 4, "gave 99999 W, outside 0..5000 W", kind="meter",
         meter=numbers_then(FOREVER.format(99999))),
    case("meter reads below zero", 4, "gave -5 W, outside 0..5000 W", kind="meter",
         meter=numbers_then(FOREVER.format(-5))),
    case("GPU asked for but absent", 4, "the profile asks for GPU load but the helper cannot give it", kind="load",
         load="gpu = true", steps=GPU_STEPS),
    case("GPU absent but optional", 0, "the profile marks it optional", outcome="pass",
         load='gpu = true\noptional = ["gpu"]', steps=GPU_STEPS),
    case("output not writable", 1, "cannot write the record to", out="file"),
    case("a limit on a sensor not recorded", 1, "sensor_max limits gpu_c, which this run does not record",
         top=f'sysfs_root = "{Path(__file__).parent / "fixtures" / "sysfs"}"\nsensors = ["freq:mean"]\n'
             '[verdict]\nsensor_max = { gpu_c = 90.0 }'),
    case("metrics port in use", 1, "cannot serve metrics on 127.0.0.1:", metrics=True),
    case("record folder lost during the run", 4, "could not write the record to", kind="record", outcome="pass",
         meter=numbers_then("rm -rf \"$KL_OUT\"; touch \"$KL_OUT\"; " + FOREVER.format(30)), as_root=True),
    case("Ctrl-C", 130, "interrupted; stopping the helper", outcome="interrupted", action="SIGINT"),
    case("SIGTERM", 143, "interrupted; stopping the helper", outcome="interrupted", action="SIGTERM"),
    case("helper killed", 4, "ended without a bye (exit code -9)", kind="helper", action="kill-helper"),
    case("helper silent", 4, "sent no hello within 2 s of the start command", kind="helper", fake="silent"),
    case("helper goes quiet during the run", 4, "(pid 4242) wrote no status for 3 s", kind="helper",
         fake="quiet", steps='[[steps]]\nseconds = 4\ncpu = "free"\n'),
    case("helper does not answer its commands", 4, "(pid 4242) does not answer: no ack for set command",
         kind="helper", fake="deaf"),
    case("helper ends the run early", 4, "the helper ended the run early: hbTimeout (exit code 3)",
         kind="helper", fake="hbTimeout"),
    case("another run holds the lock", 4, "another run of the helper holds its lock for user", kind="helper",
         fake="already"),
    case("a safety limit on a sensor not recorded", 1, "sensor_max limits gpu_c, which this run does not record",
         top=f'sysfs_root = "{Path(__file__).parent / "fixtures" / "sysfs"}"\nsensors = ["freq:mean"]\n'
             '[safety]\nsensor_max = { gpu_c = 90.0 }'),
    case("interrupted in a hand-over's gap", 130, "interrupted; stopping the helper", outcome="interrupted",
         action="SIGINT-handover", top="", load="session_s = 3",
         steps='[[steps]]\nseconds = 30\ncpu = { mode = "target", watts = 30 }\n'),
    # A result that was not measured is never a pass.
    case("a target step of an optional GPU that is absent", 3, "failed: gpu judged: no GPU load: ", outcome="fail",
         load='gpu = true\noptional = ["gpu"]', steps='[[steps]]\nseconds = 4\ncpu = "free"\n'
                                                  'gpu = { mode = "target", watts = 30 }\n'),
    case("a target step shorter than its settling", 1, "could never be judged; lengthen the step",
         steps='[[steps]]\nseconds = 2\ncpu = { mode = "target", watts = 30 }\n'),
    case("meter prints a decimal comma", 4, "printed '25,7', not a number: decimal commas are not read",
         kind="meter", meter=numbers_then(FOREVER.format("25,7"))),
    # Settings that cannot be meant.
    case("a target beyond any meter", 1, "steps[1].cpu.watts must be at most 5000 W",
         steps='[[steps]]\nseconds = 5\ncpu = { mode = "target", watts = 1e9 }\n'),
    case("workers beyond the machine", 1, "load.workers (4096) is more than this machine's", load="workers = 4096"),
    case("no heartbeat time-out", 1, "load.hb_timeout_ms must be 500..3000", load="hb_timeout_ms = 0"),
]


def write_profile(tmp_path, c, meter_dir=None) -> Path:
    """`meter_dir`: where the meter's script goes, a folder its unprivileged user can read."""
    text = f'name = "t"\n{c["top"]}\n'
    if c["fake"]:
        fake = tmp_path / "fake-helper"
        fake.write_text("#!/bin/sh\n" + FAKES[c["fake"]])
        fake.chmod(0o755)
        text += f'[target]\nexe = "{fake}"\nhello_timeout_s = 2\n'
    text += f"[load]\ncpu = true\n{c['load']}\n"
    if c["meter"]:
        meter = (meter_dir or tmp_path) / "meter.sh"
        meter.write_text("#!/bin/sh\n" + c["meter"] + "\n")
        meter.chmod(0o755)
        text += f'[power]\nsource = "command"\n[power.cpu]\ncommand = ["{meter}"]\n'
        if c.get("as_root"):
            text += "as_root = true\n"
    path = tmp_path / "p.toml"
    path.write_text(text + c["steps"])
    return path


def run_scraped(prof, out):
    """Runs the profile with its metrics endpoint scraped as it goes: (exit code, output, the pages)."""
    scraped = []
    code, text = run_with(["run", prof, "--out", out, "--metrics", f"127.0.0.1:{free_port()}"],
                          dict(os.environ), "scrape", scraped=scraped)
    return code, text, scraped


def run_with(args, env, action=None, timeout=60, scraped=None):
    """Runs the tool, doing `action` once the run is under way; (code, output). The action
    "scrape" appends the metrics page, fetched during the run, to `scraped`."""
    proc = subprocess.Popen([sys.executable, str(TOOL), *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, env=env)
    lines = []

    def pump():
        done = False
        for line in proc.stdout:
            lines.append(line)
            if done or action is None:
                continue
            if action == "kill-helper" and (m := re.match(r"helper started: pid (\d+)", line)):
                time.sleep(0.5)
                os.kill(int(m.group(1)), signal.SIGKILL)
                done = True
            elif action == "scrape" and line.startswith("t=") and "step=2/" in line:
                url = re.search(r"metrics at (\S+)", "".join(lines)).group(1)
                scraped.append(urllib.request.urlopen(url, timeout=5).read().decode())
                done = True
            elif action == "SIGINT-handover" and "handing over to a new helper session" in line:
                proc.send_signal(signal.SIGINT)
                done = True
            elif action.startswith("SIG") and not action.endswith("-handover") and line.startswith("t="):
                proc.send_signal(getattr(signal, action))
                done = True

    t = threading.Thread(target=pump, daemon=True)
    t.start()
    try:
        proc.wait(timeout=timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
    t.join(5)
    return proc.returncode, "".join(lines)


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


@needs_native
@pytest.mark.parametrize("c", CASES)
def test_a_fault_gives_its_exit_code_a_clear_message_and_a_complete_record(tmp_path, open_path, c):
    out = tmp_path / "out"
    if c["out"] == "file":
        out.write_text("not a folder")
        out = out / "record"
    env = {**os.environ, "KL_OUT": str(out)}
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen()
    metrics = ["--metrics", f"127.0.0.1:{busy.getsockname()[1]}"] if c["metrics"] else []
    with busy:
        code, text = run_with(["run", write_profile(tmp_path, c, open_path), "--out", out, *metrics], env,
                              c["action"])
    assert code == c["code"], text
    assert c["message"] in text
    assert "Traceback" not in text
    if code == 1:  # found before the helper started: nothing is left behind
        assert "kestrune: running" not in text and not out.exists()
        return
    if c["kind"] == "record":
        out = Path(re.search(r"; it is in (\S+) instead", text).group(1))
    summary = json.loads((out / "summary.json").read_text())
    assert summary["outcome"] == c["outcome"] and summary["exit_code"] == code
    kinds = [p["kind"] for p in summary["problems"]]
    assert kinds[:1] == ([c["kind"]] if c["kind"] else [])
    rows = read_csv(out / "run.csv")
    assert all(r["utc"].endswith("Z") for r in rows)
    if c["kind"] != "record":
        assert (out / "events.jsonl").is_file()
    if summary["helper"]["sessions"]:
        assert summary["helper"]["sessions"][-1]["exit_code"] is not None
    if c["kind"] == "meter":
        problem = summary["problems"][0]
        if "dies" in str(c["meter"]) or "exit 3" in str(c["meter"]):
            assert problem["stderr_tail"] == "meter: lost the sensor"
        # From the failure on, no reading is recorded: never the last good one again.
        after = [r for r in rows if float(r["time_s"]) > problem["at_s"] + 0.05]
        assert all(r["cpu_measured_w"] == "" for r in after)
        assert summary["steps"][0]["verdict"] in ("fail", "incomplete")
        assert any(f["criterion"] == "cpu meter" for f in summary["steps"][0]["failed"])
    if c["outcome"] == "interrupted":
        assert summary["helper"]["sessions"][-1]["bye"]["why"] == "stop" and rows
    if c["action"] == "SIGINT-handover":  # the gap the run ended in is recorded, as open
        [gap] = summary["handovers"]
        assert gap["open"] is True and gap["gap_s"] >= 0 and gap["back_in_band"] is False, gap


@needs_native
def test_a_run_longer_than_a_session_is_handed_over(tmp_path):
    # Sessions of 3 s, but the helper keeps at least a 30 s limit, of which the runner uses 20:
    # a session hands over only while the rest of the run does not fit in that.
    prof = tmp_path / "long.toml"
    prof.write_text('name = "long"\n[load]\ncpu = true\nsession_s = 3\n'
                    '[power.cpu]\nidle_w = 15\nspan_w = 45\nlag_s = 0.2\n'
                    '[verdict]\ntolerance_pct = 10\nsettle_s = 2.5\nwithin_share = 0.8\n'
                    '[[steps]]\nname = "free"\nseconds = 2.5\ncpu = "free"\n'
                    '[[steps]]\nname = "hold"\nseconds = 21.5\ncpu = { mode = "target", watts = 35 }\n')
    out = tmp_path / "out"
    code, text, scraped = run_scraped(prof, out)
    summary = json.loads((out / "summary.json").read_text())
    assert code == 0, text
    # While it runs, the endpoint serves the run's state.
    assert f'run_id="{summary["run_id"]}"' in scraped[0] and 'profile="long"' in scraped[0]
    sessions, handovers = summary["helper"]["sessions"], summary["handovers"]
    assert len(handovers) == len(sessions) - 1 >= 1, text
    assert [s["bye"]["why"] for s in sessions] == ["stop"] * len(sessions)
    assert len({s["pid"] for s in sessions}) == len(sessions)
    # Judged on the hand-overs that happened: each came when its session was due and the
    # rest of the run did not fit in the helper's limit; after the last, it did.
    # A session's 3 s count from its hello, which comes within the gap before it; the loop
    # notices a due time within a power interval (0.25 s), and the rest is its own scheduling.
    bounds, end, reach = [(0.0, 2.5), (2.5, 24.0)], 24.0, 20.0
    began, hello_within = 0.0, 0.0
    for h in handovers:
        assert end > began + reach, handovers
        due = handover_due(began, 3.0, bounds, end)
        assert due - 0.01 <= h["at_s"] <= due + hello_within + 1.0, handovers
        began, hello_within = h["at_s"], h["gap_s"]
    assert end <= began + reach + 0.01, handovers
    # The first waits for the boundary between the steps, in the session's last fifth.
    assert handovers[0]["at_s"] == pytest.approx(2.5, abs=0.3)
    for h in handovers:
        assert h["open"] is False and 0 < h["gap_s"] < 2.0, h
        # The new helper starts from duty 0: back in the band only after the gap and a ramp.
        assert h["back_in_band"] is True and h["gap_s"] < h["resettle_s"] < 12.0, h
    rows = read_csv(out / "run.csv")
    times = [float(r["time_s"]) for r in rows]
    assert times == sorted(times) and times[-1] > 23.5
    assert summary["steps"][1]["verdict"] == "pass"
    assert "handing over to a new helper session" in text


@needs_native
def test_sensors_from_a_fake_tree_are_recorded_summarised_and_judged(tmp_path):
    prof = tmp_path / "thermal.toml"
    prof.write_text(f'name = "thermal"\nsysfs_root = "{Path(__file__).parent / "fixtures" / "sysfs"}"\n'
                    'sensors = ["temp:coretemp/Package id 0", "freq:mean", "util:cpu"]\n'
                    '[load]\ncpu = true\n'
                    '[verdict]\nsensor_max = { coretemp_package_id_0_c = 60.0 }\n'
                    '[[steps]]\nname = "cool enough"\nseconds = 2\ncpu = "free"\n'
                    '[[steps]]\nname = "too hot"\nseconds = 2\ncpu = "free"\n'
                    'verdict = { sensor_max = { coretemp_package_id_0_c = 50.0 } }\n')
    out = tmp_path / "out"
    env = {k: v for k, v in os.environ.items() if k != "KESTRUNE_SYSFS_ROOT"}
    code, text = run_with(["run", prof, "--out", out], env)
    assert code == 3, text
    rows = read_csv(out / "run.csv")
    assert list(rows[0])[-3:] == ["coretemp_package_id_0_c", "cpu_mean_mhz", "cpu_util_pct"]
    assert {r["coretemp_package_id_0_c"] for r in rows} == {"54"} and rows[0]["cpu_mean_mhz"] == "3100"
    summary = json.loads((out / "summary.json").read_text())
    cool, hot = summary["steps"]
    assert cool["verdict"] == "pass" and cool["sensors"]["coretemp_package_id_0_c"]["max"] == 54.0
    assert hot["verdict"] == "fail"
    assert hot["failed"] == [{"criterion": "coretemp_package_id_0_c max", "measured": 54.0, "limit": 50.0}]
    assert hot["sensors"]["coretemp_package_id_0_c"]["time_above_s"] > 1.0
    assert "failed: coretemp_package_id_0_c max: 54 (limit 50)" in text
    assert (out / "run.png").read_bytes()[:4] == b"\x89PNG"


@needs_native
def test_a_killed_runner_leaves_a_readable_partial_record_and_no_load(tmp_path):
    prof = tmp_path / "killed.toml"
    prof.write_text('name = "killed"\n[load]\ncpu = true\n[[steps]]\nname = "free"\nseconds = 60\ncpu = "free"\n')
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, str(TOOL), "run", str(prof), "--out", str(out)], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    helper, seen = None, []
    try:
        for line in proc.stdout:  # ends with the runner, which ends a silent helper by itself
            seen.append(line)
            if m := re.match(r"helper started: pid (\d+)", line):
                helper = int(m.group(1))
            if (m := re.match(r"t=\s*([\d.]+)s", line)) and float(m.group(1)) >= 3.5:
                break  # a flush happened in the last 2.25 s: a second of statuses is on disk
        proc.kill()
    finally:
        proc.kill()
        proc.wait(10)
    assert helper is not None, "".join(seen)
    # The helper sees its controller go and stops the load by itself.
    deadline = time.monotonic() + 15
    while Path(f"/proc/{helper}").exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not Path(f"/proc/{helper}").exists()
    # The folder's lock file stays too; the lock itself went with the process.
    assert sorted(p.name for p in out.iterdir()) == [".kestrune.lock", "events.jsonl.partial", "run.csv.partial"]
    rows = read_csv(out / "run.csv.partial")
    assert list(rows[0])[:5] == ["time_s", "utc", "t_ms", "step", "cpu_mode"]
    times = [float(r["time_s"]) for r in rows]
    assert len(rows) >= 4 and times == sorted(times)
    assert all(r["cpu_mode"] == "free" and r["utc"].endswith("Z") for r in rows)
    lines = (out / "events.jsonl.partial").read_text().splitlines()
    entries = [json.loads(line) for line in lines[:-1]]  # the last line may have been cut
    assert {e["dir"] for e in entries} == {">", "<"}
    assert any(e["dir"] == "<" and e["line"].get("ev") == "hello" for e in entries if isinstance(e["line"], dict))


def _put(path: Path, text: str) -> None:
    """A sysfs value changed the way a reader never sees half of it."""
    tmp = path.with_name(f".{path.name}.new")
    tmp.write_text(text)
    os.replace(tmp, path)


def _hot_tree(root: Path) -> None:
    hw = root / "sys" / "class" / "hwmon" / "hwmon0"
    hw.mkdir(parents=True)
    (hw / "name").write_text("coretemp\n")
    (hw / "temp1_label").write_text("Package id 0\n")
    _put(hw / "temp1_input", "50000\n")
    for cpu in (0, 1):
        d = root / "sys" / "devices" / "system" / "cpu" / f"cpu{cpu}" / "thermal_throttle"
        d.mkdir(parents=True)
        _put(d / "core_throttle_count", "1000\n")  # since boot: not this run's


def _heat(root: Path, kind: str) -> list[float]:
    """What the machine does once the load is on: the package warms by 2 °C every 0.1 s, or
    both CPUs throttle three times. Returns the values written."""
    if kind == "temp":
        values = [52.0 + 2 * k for k in range(15)]
        for v in values:
            _put(root / "sys/class/hwmon/hwmon0/temp1_input", f"{int(v * 1000)}\n")
            time.sleep(0.1)
        return values
    for cpu in (0, 1):
        _put(root / f"sys/devices/system/cpu/cpu{cpu}/thermal_throttle/core_throttle_count", "1003\n")
    return [3.0, 6.0]


def _utc(text: str) -> float:
    from datetime import datetime
    return datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()


@needs_native
@pytest.mark.parametrize("request_text, column, limit, kind", [
    pytest.param("temp:coretemp/Package id 0", "coretemp_package_id_0_c", 60.0, "temp", id="temperature rises over"),
    pytest.param("throttle:core", "throttle_core_count", 0.0, "throttle", id="the CPUs throttle"),
])
def test_a_safety_limit_stops_the_load_at_once_and_ends_the_run_with_5(tmp_path, request_text, column, limit, kind):
    root = tmp_path / "sysfs"
    _hot_tree(root)
    prof = tmp_path / "hot.toml"
    prof.write_text(f'name = "hot"\nsysfs_root = "{root}"\nsensors = ["{request_text}"]\n'
                    f'[load]\ncpu = true\n[power]\ninterval_s = 0.25\n[safety]\nsensor_max = {{ {column} = {limit} }}\n'
                    '[[steps]]\nname = "warm"\nseconds = 8\ncpu = "free"\n'
                    '[[steps]]\nname = "hold"\nseconds = 8\ncpu = "free"\n')
    out = tmp_path / "out"
    env = {k: v for k, v in os.environ.items() if k != "KESTRUNE_SYSFS_ROOT"}
    proc = subprocess.Popen([sys.executable, str(TOOL), "run", str(prof), "--out", str(out)], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, env=env)
    # What the machine gives meanwhile: the longest a 10 ms sleep overran while the run went.
    late, done = [0.0], threading.Event()

    def measure():
        while not done.is_set():
            t = time.monotonic()
            time.sleep(0.01)
            late[0] = max(late[0], time.monotonic() - t - 0.01)

    meter = threading.Thread(target=measure, daemon=True)
    meter.start()
    lines, written = [], []
    try:
        for line in proc.stdout:
            lines.append(line)
            if not written and (m := re.match(r"t=\s*([\d.]+)s", line)) and float(m.group(1)) >= 1.0:
                written = _heat(root, kind)
        proc.wait(30)
    finally:
        done.set()
        if proc.poll() is None:
            proc.kill()
    text = "".join(lines)
    assert proc.returncode == 5, text
    assert "Traceback" not in text and "safety limit: " in text and "overall: STOPPED" in text
    summary = json.loads((out / "summary.json").read_text())
    assert summary["outcome"] == "stopped" and summary["exit_code"] == 5
    stopped = summary["safety"]["stopped"]
    assert summary["safety"]["sensor_max"] == {column: limit}
    assert stopped["column"] == column and stopped["limit"] == limit
    # The reading that crossed is one the machine gave, the first over the limit.
    assert stopped["value"] > limit and stopped["value"] in written
    rows = read_csv(out / "run.csv")
    assert rows and all(float(r[column]) <= limit for r in rows)
    assert [p["kind"] for p in summary["problems"]][:1] == ["safety"]
    assert summary["ended_s"] < 16 - 4 and [s["verdict"] for s in summary["steps"]][-1] == "incomplete"
    # The load off: the set that took it off, its ack, and from then on no load.
    entries = [json.loads(x) for x in (out / "events.jsonl").read_text().splitlines()]
    crossed = _utc(stopped["utc"])
    sets = [e for e in entries if e["dir"] == ">" and isinstance(e["line"], dict) and e["line"].get("cmd") == "set"]
    off = sets[-1]
    assert off["line"]["cpu"]["mode"] == "off"
    acked = next(e for e in entries if e["dir"] == "<" and e["line"].get("ev") == "ack"
                 and e["line"]["seq"] == off["line"]["seq"])
    after = [e["line"] for e in entries if e["dir"] == "<" and e["line"].get("ev") == "status"
             and _utc(e["utc"]) > _utc(acked["utc"])]
    assert all(s["cpu"]["mode"] == "off" and s["cpu"]["duty"] == 0 for s in after)
    told, taken = _utc(off["utc"]) - crossed, _utc(acked["utc"]) - crossed
    interval = 0.25
    print(f"safety stop ({kind}): helper told {told * 1000:.0f} ms and load off (ack) {taken * 1000:.0f} ms "
          f"after the crossing sample; 10 ms sleeps overran by up to {late[0] * 1000:.0f} ms meanwhile")
    if late[0] > 1.0:
        pytest.skip(f"cannot judge the stop: the machine delayed a 10 ms sleep by {late[0] * 1000:.0f} ms "
                    f"(told after {told * 1000:.0f} ms, off after {taken * 1000:.0f} ms)")
    # Within one power interval of the crossing sample, plus what the machine delayed; the
    # utc stamps have 1 ms steps.
    assert -0.002 <= told <= interval + late[0] + 0.002
    assert taken <= interval + late[0] + 0.002
    assert stopped["load_off_s"] is not None and stopped["load_off_s"] - stopped["at_s"] <= interval + late[0] + 0.002
@needs_native
def test_a_flood_of_one_problem_is_one_line_and_a_problem_that_ended_is_no_longer_in_force(tmp_path, open_path):
    # The meter prints garbage for a while, then reads again: one line for the flood, the
    # problem ended in the summary, and no problem in force in the second step's scrape.
    meter = open_path / "meter.sh"  # the runner runs it as the helper's user
    meter.write_text("#!/bin/sh\n" + numbers_then("i=0; while [ $i -lt 12 ]; do echo ERR; sleep 0.05; "
                                                    "i=$((i+1)); done; " + FOREVER.format(30)) + "\n")
    meter.chmod(0o755)
    prof = tmp_path / "flood.toml"
    prof.write_text(f'name = "flood"\non_meter_failure = "continue"\n[load]\ncpu = true\n'
                    f'[power]\nsource = "command"\n[power.cpu]\ncommand = ["{meter}"]\n'
                    '[[steps]]\nseconds = 5\ncpu = "free"\n[[steps]]\nseconds = 3\ncpu = "free"\n')
    out = tmp_path / "out"
    code, text, scraped = run_scraped(prof, out)
    assert code == 3, text
    said = [line for line in text.splitlines() if line.startswith("kestrune: ") and "'ERR'" in line]
    assert len(said) == 1, text
    assert text.count("failed: cpu meter: ") == 1, text  # the step failed once, not once a reading
    summary = json.loads((out / "summary.json").read_text())
    meter_problems = [p for p in summary["problems"] if p["kind"] == "meter"]
    assert len(meter_problems) == 1, meter_problems
    p = meter_problems[0]
    assert p["source"] == "meter:cpu" and p["count"] >= 10
    assert p["ended_s"] is not None and p["at_s"] <= p["ended_s"] < 5.0
    assert re.search(r"^kestrune_problems_active\{[^}]*\} 0\.0$", scraped[0], re.M), scraped[0]


@needs_native
def test_report_fleet_summary_and_compare_read_a_killed_runners_partial_record(tmp_path):
    prof = tmp_path / "killed.toml"
    prof.write_text('name = "killed"\n[load]\ncpu = true\n[[steps]]\nname = "warm"\nseconds = 1.5\ncpu = "free"\n'
                    '[[steps]]\nname = "hold"\nseconds = 60\ncpu = { mode = "target", watts = 30 }\n')
    fleet = tmp_path / "fleet"
    out = fleet / "host-a"
    proc = subprocess.Popen([sys.executable, str(TOOL), "run", str(prof), "--out", str(out)], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    try:
        for line in proc.stdout:
            if (m := re.match(r"t=\s*([\d.]+)s", line)) and float(m.group(1)) >= 3.5:
                break  # a flush has put rows of both steps on disk
        proc.kill()
    finally:
        proc.kill()
        proc.wait(10)
    assert not (out / "summary.json").exists() and (out / "run.csv.partial").is_file()
    last = [r for r in read_csv(out / "run.csv.partial") if None not in r.values()][-1]  # not a cut row

    def tool(*args):
        done = subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout + done.stderr

    code, text = tool("report", out)
    assert code == 0, text
    assert "outcome KILLED: a partial record (run.csv.partial, events.jsonl.partial)" in text
    assert f"it ends at {float(last['time_s']):.1f} s ({last['utc']})" in text
    assert re.search(r"^1 +step 1 +INCOMPLETE +free", text, re.M) and re.search(r"^2 +step 2 +INCOMPLETE +target +30\.0 W",
                                                                                text, re.M), text
    assert (out / "run.png").read_bytes()[:4] == b"\x89PNG"
    code, text = tool("fleet-summary", fleet)
    assert code == 4, text
    assert re.search(r"^host-a +incomplete +incomplete +killed$", text, re.M), text
    assert "host-a a partial record: the runner was killed; it ends at" in text
    code, text = tool("compare", out, out)
    assert code == 0 and "A: " in text and "outcome KILLED" in text, text


@needs_native
def test_a_sensor_file_that_comes_back_ends_its_problem(tmp_path):
    import shutil
    tree = tmp_path / "sysfs"
    shutil.copytree(Path(__file__).parent / "fixtures" / "sysfs", tree)
    temp = tree / "sys/class/hwmon/hwmon0/temp1_input"
    prof = tmp_path / "comeback.toml"
    prof.write_text(f'name = "comeback"\nsysfs_root = "{tree}"\nsensors = ["temp:coretemp/Package id 0"]\n'
                    '[load]\ncpu = true\n[[steps]]\nseconds = 3\ncpu = "free"\n[[steps]]\nseconds = 2\ncpu = "free"\n')
    out = tmp_path / "out"
    port = free_port()
    env = {k: v for k, v in os.environ.items() if k != "KESTRUNE_SYSFS_ROOT"}
    proc = subprocess.Popen([sys.executable, str(TOOL), "run", str(prof), "--out", str(out), "--metrics",
                             f"127.0.0.1:{port}"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    lines, scrapes = [], []
    try:
        for line in proc.stdout:
            lines.append(line)
            m = re.match(r"t=\s*([\d.]+)s step=(\d)", line)
            if not m:
                continue
            t = float(m.group(1))
            if 0.5 <= t and temp.exists() and not scrapes:
                temp.unlink()                        # the sensor goes
            elif t >= 1.5 and not temp.exists():
                temp.write_text("54000\n")           # and comes back
            if m.group(2) == "1" and "coretemp_package_id_0_c=-" in line and not scrapes:
                scrapes.append(urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5).read().decode())
            elif m.group(2) == "2" and len(scrapes) == 1:
                scrapes.append(urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5).read().decode())
        proc.wait(30)
    finally:
        proc.kill()
    text = "".join(lines)
    assert proc.returncode == 0, text
    gauge = r"^kestrune_problems_active\{[^}]*\} (\S+)$"
    assert len(scrapes) == 2, text
    # While gone, one problem in force; once back, none, and the summary says when it ended.
    assert [re.search(gauge, s, re.M).group(1) for s in scrapes] == ["1.0", "0.0"]
    summary = json.loads((out / "summary.json").read_text())
    (p,) = summary["problems"]
    assert p["kind"] == "sensor" and p["source"] == "sensor:coretemp_package_id_0_c"
    assert p["at_s"] < p["ended_s"] < 3.0
