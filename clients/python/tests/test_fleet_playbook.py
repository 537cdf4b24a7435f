"""The fleet playbook of examples/fleet, run against this machine with the local connection
(the same playbook a lab points at its inventory), then fleet-summary on what it fetched."""

import json
import os
import pwd
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kestrune

ROOT = Path(__file__).resolve().parents[3]
EXAMPLES = ROOT / "examples" / "fleet"
PLAYBOOK = shutil.which("ansible-playbook")
NATIVE = kestrune.NATIVE_BUILD / "kestrune-load"
pytestmark = [pytest.mark.skipif(not PLAYBOOK, reason="ansible-playbook not installed (scripts/setup)"),
              pytest.mark.skipif(not NATIVE.is_file(), reason=f"{NATIVE} not built")]


def test_the_playbook_runs_the_profile_and_fetches_one_record_folder_per_host(tmp_path):
    records, work = tmp_path / "records", tmp_path / "work"
    env = {}
    if os.geteuid() == 0:
        # One helper per user at a time: run it as a user of its own, not the nobody that
        # other runs on this machine may be using at this moment.
        own = pwd.getpwnam("uucp")
        env.update(SUDO_UID=str(own.pw_uid), SUDO_GID=str(own.pw_gid))
    # The command of docs/fleet.md, plus a work folder and an environment of the test's own.
    extra = [f"kestrune_command={ROOT / 'tools' / 'kestrune'}", f"kestrune_native_build={NATIVE.parent}",
             f"kestrune_records={records}", f"kestrune_workdir={work}",
             json.dumps({"kestrune_environment": env})]
    # Ansible's own files stay in this test's folder.
    ansible_env = {**os.environ, "HOME": str(tmp_path), "ANSIBLE_LOCAL_TEMP": str(tmp_path / "a-local"),
                   "ANSIBLE_REMOTE_TEMP": str(tmp_path / "a-remote"), "ANSIBLE_ASYNC_DIR": str(tmp_path / "a-async"),
                   "ANSIBLE_NOCOLOR": "1"}
    done = subprocess.run([PLAYBOOK, "-i", "localhost,", "-c", "local", str(EXAMPLES / "run-profile.yml"),
                           *(arg for x in extra for arg in ("-e", x))], capture_output=True, text=True, timeout=300,
                          cwd=tmp_path, env=ansible_env)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-2000:]
    host = records / "localhost"
    # Every file of the record, as it is on the host (here the same machine).
    made = {p.relative_to(work / "record"): p.read_bytes() for p in (work / "record").rglob("*") if p.is_file()}
    assert {p.relative_to(host): p.read_bytes() for p in host.rglob("*") if p.is_file()} == made
    assert {Path("run.csv"), Path("summary.json")} <= made.keys()

    summary = subprocess.run([sys.executable, str(ROOT / "tools" / "kestrune"), "fleet-summary", str(records)],
                             capture_output=True, text=True, timeout=60)
    assert summary.returncode == 0, summary.stdout + summary.stderr
    lines = summary.stdout.splitlines()
    assert lines[0] == "profile fleet-check, 1 host(s)"
    assert re.split(r"\s{2,}", lines[1])[:3] == ["host", "1 idle", "2 hold 30 W"]
    assert lines[2].split()[0] == "localhost" and lines[2].split()[-1] == "pass"
