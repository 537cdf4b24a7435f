"""`kestrune fleet-summary DIR`: hosts against steps, and the exit code a lab scripts on,
from records fetched one folder per host (some of them missing or mangled)."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from kestrune.run import outcome as oc
from kestrune.run.cli import main

TOOL = Path(__file__).resolve().parents[3] / "tools" / "kestrune"
STEPS = ("idle", "hold 40 W", "cool down")


def summary(outcome, verdicts, failed=None, profile="soak"):
    steps = [{"index": i, "name": STEPS[i - 1], "start_s": 0, "end_s": 1, "verdict": v, "domains": {},
              "sensors": {}, "failed": (failed or {}).get(i, [])} for i, v in enumerate(verdicts, start=1)]
    # The exit code the runner gives that outcome, as in a real record.
    code = oc.exit_code(outcome, signum=None, record_written=True)
    return json.dumps({"profile": {"name": profile, "path": "p.toml", "copy": {}}, "outcome": outcome,
                       "exit_code": code, "steps": steps})


PASS = summary("pass", ["unjudged", "pass", "pass"])
FAIL = summary("fail", ["unjudged", "fail", "pass"],
               {2: [{"criterion": "cpu error_pct", "measured": 4.25, "limit": 3}]})
SHORT = summary("incomplete", ["unjudged", "incomplete"])


def fleet(tmp_path, hosts: dict, capsys):
    for host, text in hosts.items():
        (tmp_path / host).mkdir()
        if text is not None:
            (tmp_path / host / "summary.json").write_text(text)
    code = main(["fleet-summary", str(tmp_path)])
    out, err = capsys.readouterr()
    return code, out.splitlines(), err


def test_the_table_lines_hosts_up_against_steps(tmp_path, capsys):
    code, lines, _ = fleet(tmp_path, {"lab-02": FAIL, "lab-01": PASS, "lab-03": SHORT}, capsys)
    assert code == 4
    assert lines[0] == "profile soak, 3 host(s)"
    assert [line.split() for line in lines[2:5]] == [
        ["lab-01", "unjudged", "pass", "pass", "pass"],
        ["lab-02", "unjudged", "fail", "pass", "fail"],
        ["lab-03", "unjudged", "incomplete", "-", "incomplete"],
    ]
    header = lines[1]
    assert header.startswith("host") and header.endswith("outcome")
    # Each step's column starts where its header does.
    for col in ("2 hold 40 W", "3 cool down"):
        assert lines[3][header.index(col):].split()[0] in ("fail", "pass")
    assert "  lab-02 step 2 hold 40 W: cpu error_pct measured 4.25, limit 3" in lines


@pytest.mark.parametrize("hosts, code, said", [
    ({"a": PASS, "b": PASS}, 0, None),
    ({"a": PASS, "b": FAIL}, 3, None),
    ({"a": FAIL, "b": SHORT}, 4, None),
    ({"a": PASS, "b": summary("interrupted", ["pass"])}, 4, None),
    # The run passed by its outcome, yet a step says incomplete: not a pass.
    ({"a": summary("pass", ["pass", "incomplete"])}, 4, None),
    ({"a": PASS, "b": None}, 4, "no record"),
    ({"a": PASS, "b": "{not json"}, 4, "unreadable record"),
    ({"a": PASS, "b": '{"steps": [{"name": "x"}]}'}, 4, "a step without an index"),
    ({"a": PASS, "b": '["a list"]'}, 4, "not a run summary"),
    ({"a": PASS, "b": summary("fail", ["pass"], profile="other")}, 3, "the hosts ran different profiles"),
    ({}, 4, "no host folders in"),
])
def test_exit_codes_and_faulty_records(tmp_path, hosts, code, said, capsys):
    got, lines, err = fleet(tmp_path, hosts, capsys)
    assert got == code, (lines, err)
    if said:
        assert any(said in line for line in lines)
    assert not err


def test_text_from_a_record_cannot_break_the_table(tmp_path, capsys):
    evil = summary("fail", ["fail\n\x1b[2Jgotcha", "pass"], {1: [{"criterion": "x\ny", "measured": "\r", "limit": 1}]})
    code, lines, _ = fleet(tmp_path, {"lab-01": evil}, capsys)
    assert code == 3  # a verdict that is not "fail" itself does not count as one, but the outcome does
    assert all(ch.isprintable() for line in lines for ch in line)
    assert lines[2].split()[0] == "lab-01"


def test_the_command_line_says_a_missing_folder_is_a_usage_error(tmp_path):
    done = subprocess.run([sys.executable, str(TOOL), "fleet-summary", str(tmp_path / "nope")], capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stderr.strip()) == (2, f"kestrune: {tmp_path / 'nope'} is not a folder")
