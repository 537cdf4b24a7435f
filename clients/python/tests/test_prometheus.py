"""Debian's Prometheus server against the metrics endpoint on loopback, with the example
scrape configuration and rules from examples/fleet: the rules load and check, the served
series are stored, and the lab's recording rules and alerts pick out exactly the faults."""

import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request
from pathlib import Path

import pytest
import yaml

import kestrune
from kestrune.run.live import DomainLive
from kestrune.run.metrics import MetricsServer
from test_metrics import LABELS, SNAPSHOT
from conftest import free_port

ROOT = Path(__file__).resolve().parents[3]
EXAMPLES = ROOT / "examples" / "fleet"
PROMETHEUS, PROMTOOL = shutil.which("prometheus"), shutil.which("promtool")
pytestmark = pytest.mark.skipif(not (PROMETHEUS and PROMTOOL), reason="prometheus not installed (scripts/setup)")

# A passing step 1, a failing step 3; cpu measured, gpu loaded with a stale meter and no
# reading; one temperature over its limit and one under.
FAULTY = SNAPSHOT.__class__(**{
    **SNAPSHOT.__dict__,
    "domains": (DomainLive("cpu", "target", 0.6, 40.0, 41.0, False, 2.5, "failing"),
                DomainLive("gpu", "free", 0.0, None, None, True, None, None)),
    "sensors": {"coretemp_package_id_0_c": 97.0, "nvme_composite_c": 40.0},
    "sensor_units": {"coretemp_package_id_0_c": "c", "nvme_composite_c": "c"},
    "sensor_limits": {"coretemp_package_id_0_c": 95.0, "nvme_composite_c": 70.0}})


def get_json(url: str):
    with urllib.request.urlopen(url, timeout=5) as r:
        return json.loads(r.read())


def query(base: str, expr: str) -> list[dict]:
    body = get_json(f"{base}/api/v1/query?" + urllib.parse.urlencode({"query": expr}))
    assert body["status"] == "success", body
    return [r["metric"] for r in body["data"]["result"]]


def wait_for(what: str, probe, seconds: float):
    deadline = time.monotonic() + seconds
    while True:
        try:
            got = probe()
            if got:
                return got
        except OSError:
            pass
        if time.monotonic() > deadline:
            pytest.fail(f"waited {seconds:g} s for {what}")
        time.sleep(0.25)


def test_prometheus_stores_the_series_and_the_lab_rules_pick_out_the_faults(tmp_path):
    # The example configuration, pointed at this test's endpoint and sped up.
    config = yaml.safe_load((EXAMPLES / "prometheus.yml").read_text())
    rules = tmp_path / "kestrune-rules.yml"
    shutil.copy(EXAMPLES / "kestrune-rules.yml", rules)
    config["global"].update(scrape_interval="1s", evaluation_interval="1s")
    config["rule_files"] = [str(rules)]
    endpoint = MetricsServer(("127.0.0.1", 0), LABELS)
    config["scrape_configs"][0]["static_configs"] = [{"targets": [f"127.0.0.1:{endpoint.port}"]}]
    config_path = tmp_path / "prometheus.yml"
    config_path.write_text(yaml.safe_dump(config))
    # The example as shipped (as docs/fleet.md checks it), then as this test runs it.
    for check in (["check", "config", str(EXAMPLES / "prometheus.yml")], ["check", "config", str(config_path)]):
        done = subprocess.run([PROMTOOL, *check], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stdout + done.stderr

    endpoint.update(FAULTY, ["pass", "unjudged", "failing"])
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    log = (tmp_path / "prometheus.log").open("w")
    server = subprocess.Popen([PROMETHEUS, f"--config.file={config_path}", f"--storage.tsdb.path={tmp_path / 'data'}",
                               f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"],
                              stdout=log, stderr=subprocess.STDOUT)
    try:
        wait_for("the server to be ready", lambda: urllib.request.urlopen(f"{base}/-/ready", timeout=2).status == 200,
                 30)
        recorded = ("kestrune:step_failing", "kestrune:meter_gone", "kestrune:sensor_over_limit")
        wait_for("the recording rules", lambda: all(query(base, r) for r in recorded), 45)

        run = {**LABELS}
        assert query(base, "kestrune:step_failing") == [{"__name__": "kestrune:step_failing", **run,
                                                         "step": "3", "step_name": "hold 40 W"}]
        assert query(base, "kestrune:meter_gone") == [{"__name__": "kestrune:meter_gone", **run, "domain": "gpu"}]
        [hot] = query(base, "kestrune:sensor_over_limit")
        assert (hot["sensor"], hot["unit"], hot["host"]) == ("coretemp_package_id_0_c", "c", "lab-07")

        # The raw series are stored with the run's labels and the scrape's own.
        [duty] = query(base, 'kestrune_domain_duty_ratio{domain="cpu"}')
        assert duty["job"] == "kestrune" and duty["instance"] == f"127.0.0.1:{endpoint.port}"
        assert {k: duty[k] for k in LABELS} == LABELS
        [info] = query(base, "kestrune_helper_info")
        assert (info["pid"], info["version"]) == ("4321", "1.0.0")

        alerts = get_json(f"{base}/api/v1/alerts")["data"]["alerts"]
        names = {a["labels"]["alertname"] for a in alerts}
        assert names == {"KestruneStepFailing", "KestruneMeterGone", "KestruneSensorOverLimit"}, alerts
    finally:
        end(server)
        log.close()
        endpoint.close()


def end(proc) -> None:
    """Ends a process the test started: TERM, then KILL when it does not go within 15 s."""
    if proc.poll() is None:
        proc.terminate()
    try:
        proc.wait(15)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)


def hot_tree(root: Path, millidegrees: int) -> Path:
    """A fake sysfs tree with one package temperature, rewritten whole (a reader never sees half)."""
    hw = root / "sys" / "class" / "hwmon" / "hwmon0"
    hw.mkdir(parents=True, exist_ok=True)
    (hw / "name").write_text("coretemp\n")
    (hw / "temp1_label").write_text("Package id 0\n")
    tmp = hw / ".temp1_input.tmp"
    tmp.write_text(f"{millidegrees}\n")
    os.replace(tmp, hw / "temp1_input")
    return root


def own_user_env() -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("SUDO_UID", "SUDO_GID", "KESTRUNE_SYSFS_ROOT")}
    if os.geteuid() == 0:
        # One helper per user at a time: not the nobody that other runs may be using now.
        own = pwd.getpwnam("proxy")
        env.update(SUDO_UID=str(own.pw_uid), SUDO_GID=str(own.pw_gid))
    return env


@pytest.mark.skipif(not (kestrune.NATIVE_BUILD / "kestrune-load").is_file(), reason="the native helper is not built")
def test_a_real_run_over_its_sensor_limit_fires_the_lab_alert(tmp_path):
    """The whole path: a real run whose package temperature rises over its sensor_max, scraped
    by the server with the example rules as shipped; the alert is seen firing."""
    tree = hot_tree(tmp_path / "tree", 50000)
    profile = tmp_path / "hot.toml"
    profile.write_text(f'name = "hot"\nsysfs_root = "{tree}"\nsensors = ["temp:coretemp/Package id 0"]\n'
                       '[load]\ncpu = true\nworkers = 1\n'
                       '[verdict]\nsensor_max = { coretemp_package_id_0_c = 90.0 }\n'
                       '[[steps]]\nname = "soak"\nseconds = 60\ncpu = "free"\n')
    run_port, port = free_port(), free_port()
    config = yaml.safe_load((EXAMPLES / "prometheus.yml").read_text())
    config["global"].update(scrape_interval="1s", evaluation_interval="1s")
    config["rule_files"] = [str(EXAMPLES / "kestrune-rules.yml")]
    config["scrape_configs"][0]["static_configs"] = [{"targets": [f"127.0.0.1:{run_port}"]}]
    config_path = tmp_path / "prometheus.yml"
    config_path.write_text(yaml.safe_dump(config))
    base = f"http://127.0.0.1:{port}"
    log = (tmp_path / "prometheus.log").open("w")
    server = subprocess.Popen([PROMETHEUS, f"--config.file={config_path}", f"--storage.tsdb.path={tmp_path / 'data'}",
                               f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"],
                              stdout=log, stderr=subprocess.STDOUT)
    run = subprocess.Popen([sys.executable, str(ROOT / "tools" / "kestrune"), "run", str(profile),
                            "--out", str(tmp_path / "out"), "--metrics", f"127.0.0.1:{run_port}"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=own_user_env())
    output = []
    threading.Thread(target=lambda: output.extend(run.stdout), daemon=True).start()
    try:
        wait_for("the server to be ready", lambda: urllib.request.urlopen(f"{base}/-/ready", timeout=2).status == 200,
                 30)
        # Under the limit the rule keeps quiet, with the limit stored from the real run.
        limit = wait_for("the run's sensor limit", lambda: query(base, "kestrune_sensor_limit"), 30)
        assert [(m["sensor"], m["profile"]) for m in limit] == [("coretemp_package_id_0_c", "hot")]
        assert query(base, "kestrune:sensor_over_limit") == []
        hot_tree(tree, 97000)

        def firing():
            alerts = get_json(f"{base}/api/v1/alerts")["data"]["alerts"]
            return [a for a in alerts if a["labels"]["alertname"] == "KestruneSensorOverLimit"
                    and a["state"] == "firing"]
        # The rule holds for 10 s before it fires; the run goes on meanwhile.
        [alert] = wait_for("the alert to fire", firing, 40)
        assert alert["labels"]["sensor"] == "coretemp_package_id_0_c" and alert["labels"]["profile"] == "hot"
        assert float(alert["value"]) == 97.0 and run.poll() is None, "".join(output)
        run.send_signal(signal.SIGINT)
        assert run.wait(30) == 130, "".join(output)
    finally:
        end(run)
        end(server)
        log.close()
