"""The JUnit XML result, read back with a JUnit library: written by a real run of the native
helper through the runner, remade from the record by `kestrune report`, and for runs that
went wrong in ways the steps alone do not show."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

junitparser = pytest.importorskip("junitparser")
from junitparser import Error, Failure, JUnitXml, Skipped  # noqa: E402

import kestrune  # noqa: E402
from kestrune.run.junit import junit_xml  # noqa: E402

ROOT = Path(__file__).resolve().parents[3]
TOOL = ROOT / "tools" / "kestrune"
NATIVE = kestrune.NATIVE_BUILD / "kestrune-load"
FIXTURE = Path(__file__).parent / "fixtures" / "sysfs"
COLUMN = "coretemp_package_id_0_c"  # reads 54 °C in the fixture


def tool(*args):
    env = {k: v for k, v in os.environ.items() if k != "KESTRUNE_SYSFS_ROOT"}
    p = subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True, text=True, env=env,
                       timeout=90)
    return p.returncode, p.stdout + p.stderr


def suite_of(path):
    suites = list(JUnitXml.fromfile(str(path)))
    assert len(suites) == 1
    return suites[0]


def results(suite):
    """testcase name -> (kind of result or "pass", its message)."""
    out = {}
    for case in suite:
        res = list(case.result)
        out[case.name] = (type(res[0]).__name__.lower(), res[0].message) if res else ("pass", None)
    return out


@pytest.mark.skipif(not NATIVE.is_file(), reason=f"{NATIVE} not built")
def test_a_run_writes_its_steps_as_testcases_and_report_remakes_the_same_file(tmp_path):
    prof = tmp_path / "thermal.toml"
    prof.write_text(f'name = "thermal"\nsysfs_root = "{FIXTURE}"\nsensors = ["temp:coretemp/Package id 0"]\n'
                    '[load]\ncpu = true\n'
                    '[[steps]]\nname = "cool enough"\nseconds = 1.5\ncpu = "free"\n'
                    f'verdict = {{ sensor_max = {{ {COLUMN} = 60.0 }} }}\n'
                    '[[steps]]\nname = "too hot"\nseconds = 1.5\ncpu = "free"\n'
                    f'verdict = {{ sensor_max = {{ {COLUMN} = 50.0 }} }}\n'
                    '[[steps]]\nname = "idle"\nseconds = 1.5\ncpu = "off"\n')
    out, xml = tmp_path / "out", tmp_path / "ci" / "junit.xml"
    xml.parent.mkdir()
    code, text = tool("run", prof, "--out", out, "--junit", xml)
    assert code == 3, text  # the exit code is the run's, file or not
    assert f"junit: {xml}" in text
    summary = json.loads((out / "summary.json").read_text())
    suite = suite_of(xml)
    assert suite.name == "thermal"
    assert (suite.tests, suite.failures, suite.errors, suite.skipped) == (3, 1, 0, 1)
    props = {p.name: p.value for p in suite.properties()}
    assert props["run_id"] == summary["run_id"] and props["profile"] == "thermal"
    assert props["host.hostname"] == summary["host"]["hostname"] and props["exit_code"] == "3"
    assert props["outcome"] == "fail"
    assert results(suite) == {
        "step 1 cool enough": ("pass", None),
        "step 2 too hot": ("failure", f"{COLUMN} max: 54 (limit 50)"),
        "step 3 idle": ("skipped", "the step sets no power target and no sensor limit to judge"),
    }
    assert [c.time for c in suite] == pytest.approx([1.5, 1.5, 1.5], abs=0.01)

    again = tmp_path / "again.xml"
    code, text = tool("report", out, "--junit", again)
    assert code == 0, text
    assert again.read_text() == xml.read_text()


def summary(outcome, exit_code, verdicts, problems=(), name="soak"):
    return {"profile": {"name": name}, "host": {"hostname": "lab7"}, "run_id": "r1", "outcome": outcome,
            "exit_code": exit_code, "ended_s": 4.0, "started_utc": "2026-12-10T12:00:00Z",
            "problems": list(problems),
            "steps": [{"index": i, "name": f"s{i}", "start_s": 2.0 * (i - 1), "end_s": 2.0 * i, "verdict": v,
                       "domains": {}, "sensors": {}, "failed": []} for i, v in enumerate(verdicts, 1)]}


METER = {"kind": "meter", "at_s": 2.5, "message": "power command exited with code 3",
         "stderr_tail": "meter: lost the sensor"}


@pytest.mark.parametrize("s, code, expect", [
    pytest.param(summary("interrupted", 130, ["pass", "incomplete", "incomplete"]), None,
                 {"step 1 s1": "pass", "step 2 s2": "error", "step 3 s3": "error"}, id="interrupted: no step green"),
    pytest.param(summary("pass", 0, ["pass", "pass"]), 4,
                 {"step 1 s1": "pass", "step 2 s2": "pass", "run": "error"},
                 id="record written elsewhere: the exit code shows"),
    pytest.param(summary("pass", 0, []), None, {}, id="no steps, passed"),
    pytest.param(summary("pass", 0, ["judged somehow"]), None, {"step 1 s1": "error"},
                 id="an unknown verdict is no pass"),
    pytest.param(summary("incomplete", 4, ["incomplete"], [METER], name="a\x01b <&>"), None,
                 {"step 1 s1": "error"}, id="control characters and markup in names"),
])
def test_a_run_that_went_wrong_never_reads_as_green(tmp_path, s, code, expect):
    path = tmp_path / "j.xml"
    path.write_text(junit_xml(s, code))
    suite = suite_of(path)
    assert {n: kind for n, (kind, _) in results(suite).items()} == expect
    assert suite.errors == sum(v == "error" for v in expect.values())
    if s["problems"]:
        [err] = suite._elem.findall("system-err")  # the library reads it for testcases only
        assert err.text.splitlines() == ["at 2.5 s (meter): power command exited with code 3",
                                                 "    meter: lost the sensor"]
        assert suite.name == "a\ufffdb <&>"


def test_failure_names_every_criterion_with_its_value_and_limit(tmp_path):
    s = summary("fail", 3, ["fail"])
    s["steps"][0]["failed"] = [{"criterion": "cpu share within ±3 %", "measured": 0.41, "limit": 0.9},
                               {"criterion": "cpu meter", "measured": "gave no reading for 2.0 s",
                                "limit": "working meter"}]
    path = tmp_path / "j.xml"
    path.write_text(junit_xml(s))
    [case] = suite_of(path)
    [failure] = case.result
    assert isinstance(failure, Failure) and not isinstance(failure, (Error, Skipped))
    assert failure.message == ("cpu share within ±3 %: 0.41 (limit 0.9); "
                               "cpu meter: gave no reading for 2.0 s (limit working meter)")
    assert failure.text.splitlines() == failure.message.split("; ")


def test_the_ci_example_publishes_the_file_the_run_writes():
    yaml = pytest.importorskip("yaml")
    job = yaml.safe_load((ROOT / "examples" / "ci" / "gitlab-ci.yml").read_text())
    record = job["variables"]["KESTRUNE_RECORD"]
    [run] = [line for line in job["power-soak"]["script"] if line.startswith("kestrune run ")]
    written = run.split("--junit ")[1].strip('"').replace("$KESTRUNE_RECORD", record)
    artifacts = job["power-soak"]["artifacts"]
    assert artifacts["when"] == "always"
    assert artifacts["reports"]["junit"] == written
    assert written.startswith(artifacts["paths"][0]) and (ROOT / job["variables"]["KESTRUNE_PROFILE"]).is_file()
