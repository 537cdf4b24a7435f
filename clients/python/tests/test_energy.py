"""Energy per step and per run from the readings: summed in a real run through the runner
from a meter that reads a known power, and from small records with the gaps a failing
meter leaves."""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

import kestrune
from kestrune.run.energy import energy

ROOT = Path(__file__).resolve().parents[3]
TOOL = ROOT / "tools" / "kestrune"
NATIVE = kestrune.NATIVE_BUILD / "kestrune-load"


@pytest.mark.skipif(not NATIVE.is_file(), reason=f"{NATIVE} not built")
def test_a_run_sums_the_energy_its_meter_read_per_step_and_over_the_run(tmp_path, open_path):
    meter = open_path / "meter.sh"  # the runner runs it as the helper's user
    meter.write_text("#!/bin/sh\nwhile :; do echo 36; sleep 0.1; done\n")
    meter.chmod(0o755)
    prof = tmp_path / "e.toml"
    prof.write_text(f'name = "e"\n[load]\ncpu = true\n[power]\nsource = "command"\n[power.cpu]\ncommand = ["{meter}"]\n'
                    '[[steps]]\nname = "a"\nseconds = 2\ncpu = "free"\n[[steps]]\nname = "b"\nseconds = 2\ncpu = "off"\n')
    out, xml = tmp_path / "out", tmp_path / "j.xml"
    p = subprocess.run([sys.executable, str(TOOL), "run", str(prof), "--out", str(out), "--junit", str(xml)],
                       capture_output=True, text=True, timeout=90, env=dict(os.environ))
    assert p.returncode == 0, p.stdout + p.stderr
    summary = json.loads((out / "summary.json").read_text())
    per_step = [s["domains"]["cpu"]["energy"] for s in summary["steps"]]
    for e in per_step:
        assert e["covered_s"] > 1.2  # most of each 2 s step had readings
        assert e["wh"] == pytest.approx(36 * e["covered_s"] / 3600, rel=1e-3)
    total = summary["energy"]["cpu"]
    assert total["wh"] == pytest.approx(sum(e["wh"] for e in per_step), abs=1e-5)
    props = {x.get("name"): x.get("value") for x in ET.parse(xml).iter("property")}
    assert float(props["energy_wh.cpu"]) == pytest.approx(total["wh"])
    p = subprocess.run([sys.executable, str(TOOL), "report", str(out)], capture_output=True, text=True, timeout=60)
    assert f"energy from the readings: cpu {total['wh']:.3f} Wh over {total['covered_s']:.1f} s" in p.stdout


def write(path, rows):
    path.write_text("time_s,step,cpu_measured_w\n" + "".join(f"{t},{s},{w}\n" for t, s, w in rows))


@pytest.mark.parametrize("rows, steps, run", [
    pytest.param([(0, 1, 36), (1, 1, 36), (2, 2, 72)], {1: (0.01, 1), 2: (0.015, 1)}, (0.025, 2),
                 id="trapezoids; a span is its later row's step's"),
    pytest.param([(0, 1, 36), (1, 1, ""), (2, 1, 36), (3, 1, 36)], {1: (0.01, 1)}, (0.01, 1),
                 id="no reading at an end: nothing"),
    pytest.param([(0, 1, 36), (5, 1, 36), (6, 1, 36)], {1: (0.01, 1)}, (0.01, 1), id="a long gap is not bridged"),
    pytest.param([(0, 1, "x"), (1, 1, "nan"), (1, 1, 36), (1, 1, 36)], {}, (0.0, 0), id="garbage and no time"),
])
def test_only_readings_count(tmp_path, rows, steps, run):
    write(tmp_path / "run.csv", rows)
    per_step, total = energy(tmp_path / "run.csv", ["cpu"])
    assert {k: (round(v["cpu"]["wh"], 9), v["cpu"]["covered_s"]) for k, v in per_step.items()} == steps
    assert (round(total["cpu"]["wh"], 9), total["cpu"]["covered_s"]) == run
