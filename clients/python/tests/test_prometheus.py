"""Debian's Prometheus server against the metrics endpoint on loopback, with the example
scrape configuration and rules from examples/fleet: the rules load and check, the served
series are stored, and the lab's recording rules and alerts pick out exactly the faults."""

import json
import shutil
import socket
import subprocess
import time
import urllib.parse
import urllib.request
from pathlib import Path

import pytest
import yaml

from kestrune.run.live import DomainLive
from kestrune.run.metrics import MetricsServer
from test_metrics import LABELS, SNAPSHOT

EXAMPLES = Path(__file__).resolve().parents[3] / "examples" / "fleet"
PROMETHEUS, PROMTOOL = shutil.which("prometheus"), shutil.which("promtool")
pytestmark = pytest.mark.skipif(not (PROMETHEUS and PROMTOOL), reason="prometheus not installed (scripts/setup)")

# A passing step 1, a failing step 3; cpu measured, gpu loaded with a stale meter and no
# reading; one temperature over its limit and one under.
FAULTY = SNAPSHOT.__class__(**{
    **SNAPSHOT.__dict__,
    "domains": (DomainLive("cpu", "target", 0.6, 40.0, 41.0, False, 2.5, "failing"),
                DomainLive("gpu", "free", 1.0, None, None, True, None, None)),
    "sensors": {"coretemp_package_id_0_c": 97.0, "nvme_composite_c": 40.0},
    "sensor_units": {"coretemp_package_id_0_c": "c", "nvme_composite_c": "c"},
    "sensor_limits": {"coretemp_package_id_0_c": 95.0, "nvme_composite_c": 70.0}})


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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
        server.terminate()
        try:
            server.wait(15)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(5)
        log.close()
        endpoint.close()
