"""`kestrune run --metrics` on a real run of the native helper: the endpoint is scraped while
the profile runs and read with prometheus_client's own parser; it agrees with the record
afterwards, and is gone when the runner ends."""

import json
import os
import pwd
import shutil
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest
from prometheus_client.parser import text_string_to_metric_families

import kestrune
from conftest import free_port

ROOT = Path(__file__).resolve().parents[3]
NATIVE = kestrune.NATIVE_BUILD / "kestrune-load"
pytestmark = pytest.mark.skipif(not NATIVE.is_file(), reason=f"{NATIVE} not built")


def scrape(url: str, pages=None) -> list:
    with urllib.request.urlopen(url, timeout=5) as r:
        text = r.read().decode()
    if pages is not None:
        pages.append(text)
    return [s for f in text_string_to_metric_families(text) for s in f.samples]


def own_user_env() -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("SUDO_UID", "SUDO_GID")}
    if os.geteuid() == 0:
        # One helper per user at a time: not the nobody that other runs may be using now.
        own = pwd.getpwnam("uucp")
        env.update(SUDO_UID=str(own.pw_uid), SUDO_GID=str(own.pw_gid))
    return env


def test_a_real_run_serves_its_live_state_until_it_ends(tmp_path):
    port = free_port()
    url = f"http://127.0.0.1:{port}/metrics"
    out = tmp_path / "record"
    run = subprocess.Popen([sys.executable, str(ROOT / "tools" / "kestrune"), "run",
                            str(ROOT / "examples" / "fleet" / "profile.toml"), "--out", str(out),
                            "--metrics", f"127.0.0.1:{port}"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=own_user_env())
    scrapes, pages = [], []
    try:
        deadline = time.monotonic() + 60
        while run.poll() is None and time.monotonic() < deadline:
            try:
                scrapes.append(scrape(url, pages))
            except OSError:
                pass  # not bound yet, or already closed
            time.sleep(0.2)
        output = run.communicate(timeout=60)[0]
    finally:
        if run.poll() is None:
            run.kill()
            run.wait(10)
    assert run.returncode == 0, output

    def value(samples, name, **labels):
        found = [s.value for s in samples if s.name == name and labels.items() <= s.labels.items()]
        return found[0] if found else None

    holding = [s for s in scrapes
               if value(s, "kestrune_step_index", step_name="hold 30 W") == 2.0
               and value(s, "kestrune_run_state", state="running") == 1.0
               and value(s, "kestrune_domain_measured_watts", domain="cpu") is not None]
    assert holding, f"{len(scrapes)} scrapes, none in the held step:\n{output}"
    last = holding[-1]
    assert value(last, "kestrune_domain_target_watts", domain="cpu") == 30.0
    assert value(last, "kestrune_domain_mode", domain="cpu", mode="target") == 1.0
    assert 0.0 < value(last, "kestrune_domain_duty_ratio", domain="cpu") <= 1.0
    assert value(last, "kestrune_domain_power_stale", domain="cpu") == 0.0
    assert value(last, "kestrune_run_steps") == 2.0
    assert value(last, "kestrune_problems_total") == 0.0 and value(last, "kestrune_steps_failed_total") == 0.0
    assert 5.0 <= value(last, "kestrune_run_elapsed_seconds") <= 30.0
    assert value(last, "kestrune_step_verdict", step="1", step_name="idle") == 1.0

    # The labels and the helper's pid agree with the record the run wrote.
    summary = json.loads((out / "summary.json").read_text())
    [info] = [s for s in last if s.name == "kestrune_helper_info"]
    assert info.labels["pid"] == str(summary["helper"]["sessions"][0]["pid"])
    assert (info.labels["host"], info.labels["profile"], info.labels["run_id"]) == (
        summary["host"]["hostname"], "fleet-check", summary["run_id"])

    with pytest.raises(OSError):
        scrape(url)  # the endpoint ended with the run

    # The exposition passes Prometheus's own lint, as served in the held step.
    promtool = shutil.which("promtool")
    if promtool is None:
        pytest.skip("promtool not installed (scripts/setup): the lint of the scrape was not run")
    page = pages[scrapes.index(last)]
    lint = subprocess.run([promtool, "check", "metrics"], input=page, capture_output=True, text=True, timeout=60)
    assert lint.returncode == 0, lint.stdout + lint.stderr + page
