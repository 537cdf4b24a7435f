"""Bench instruments over SCPI through PyVISA's pure-Python backend, against the instrument
program of kestrune.testing: a power analyzer over TCP on 127.0.0.1 and a thermocouple
logger on a pseudo-terminal, through the real runner and the native helper. The record holds
exactly what the instruments served; every instrument failure is a meter or sensor problem
with the usual exit codes."""

import csv
import json
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

pytest.importorskip("pyvisa")
pytest.importorskip("pyvisa_py")

import kestrune  # noqa: E402

ROOT = Path(__file__).resolve().parents[3]
TOOL = ROOT / "tools" / "kestrune"
NATIVE = kestrune.NATIVE_BUILD / "kestrune-load"
pytestmark = pytest.mark.skipif(not NATIVE.is_file(), reason=f"{NATIVE} not built")
WATTS = [60 + 0.25 * k for k in range(200)]   # served in turn; the profile's scale halves them


@pytest.fixture
def instruments():
    started = []

    def start(*args):
        p = subprocess.Popen([sys.executable, "-m", "kestrune.testing.scpi_instrument", *map(str, args)],
                             stdout=subprocess.PIPE, text=True, cwd=ROOT / "clients" / "python")
        started.append(p)
        kind, *where = p.stdout.readline().split()
        return f"TCPIP::{where[0]}::{where[1]}::SOCKET" if kind == "tcp" else f"ASRL{where[0]}::INSTR"
    yield start
    for p in started:
        p.kill()
        p.wait(5)


def run(tmp_path, power: str, sensors: str = "", seconds=3):
    prof = tmp_path / "lab.toml"
    prof.write_text(f'name = "lab"\n{sensors}\n[load]\ncpu = true\n'
                    f'[power]\nsource = "scpi"\n[power.cpu]\n{power}\n'
                    f'[[steps]]\nname = "free"\nseconds = {seconds}\ncpu = "free"\n')
    out = tmp_path / "out"
    p = subprocess.run([sys.executable, str(TOOL), "run", str(prof), "--out", str(out), "--junit",
                        str(tmp_path / "junit.xml")], capture_output=True,
                       text=True, timeout=90)
    return p.returncode, p.stdout + p.stderr, out


def rows(out):
    with open(out / "run.csv", newline="") as f:
        return list(csv.DictReader(f))


def test_a_run_records_exactly_what_the_analyzer_and_the_logger_served(tmp_path, instruments):
    served = tmp_path / "served.txt"
    analyzer = instruments("--tcp", 0, "--watts", ",".join(map(str, WATTS)), "--served", served)
    logger = instruments("--pty", "--temp", 41.5)
    code, text, out = run(tmp_path, f'resource = "{analyzer}"\nsetup = ["*RST", ":INPUT:MODE DC"]\n'
                                    'scale = 0.5\ntimeout_s = 1',
                          f'sensors = [{{ name = "tc", scpi = "{logger}", query = "MEAS:TEMP? TC,K,(@101:102,105)", '
                          'unit = "c" }]')
    assert code == 0, text
    got = rows(out)
    assert list(got[0])[-3:] == ["tc_101_c", "tc_102_c", "tc_105_c"]
    assert {(r["tc_101_c"], r["tc_102_c"], r["tc_105_c"]) for r in got} == {("41.5", "42", "43.5")}
    measured = [float(r["cpu_measured_w"]) for r in got if r["cpu_measured_w"]]
    offered = {w * 0.5 for w in map(float, served.read_text().split())}
    assert len(measured) >= len(got) // 2 and set(measured) <= offered and len(set(measured)) >= 3, measured
    summary = json.loads((out / "summary.json").read_text())
    assert summary["problems"] == []
    idn = {(i["resource"], i["make"], i["model"], i["serial"], i["firmware"]) for i in summary["host"]["instruments"]}
    assert idn == {(r, "Kestrune Test Instruments", "PA-1", "SN0001", "1.2.3") for r in (analyzer, logger)}
    props = {p.get("name"): p.get("value") for p in ET.parse(tmp_path / "junit.xml").iter("property")}
    assert {props["host.instruments.1.resource"], props["host.instruments.2.resource"]} == {analyzer, logger}


@pytest.mark.parametrize("fault, code, kind, message", [
    ("hang", 4, "meter", "'MEAS:POW?' gave no answer within 0.5 s"),
    ("garble", 4, "meter", "answered '#\\x07%@!~', not a number"),
    ("drop", 4, "meter", "'MEAS:POW?' gave no answer within 0.5 s"),
    ("error", 4, "meter", "reports error '-222,\"Data out of range\"'"),
])
def test_an_analyzer_that_fails_mid_run_fails_the_run_like_a_command_meter(tmp_path, instruments, fault, code, kind,
                                                                            message):
    analyzer = instruments("--tcp", 0, "--watts", "30", "--fault", fault, "--after", 12)
    code_, text, out = run(tmp_path, f'resource = "{analyzer}"\ntimeout_s = 0.5')
    assert code_ == code, text
    summary = json.loads((out / "summary.json").read_text())
    problem = summary["problems"][0]
    assert problem["kind"] == kind and problem["message"] == f"instrument {analyzer} for cpu {message}"
    after = [r for r in rows(out) if float(r["time_s"]) > problem["at_s"] + 0.05]
    assert all(r["cpu_measured_w"] == "" for r in after)


def test_a_logger_that_hangs_is_a_sensor_problem_and_the_run_goes_on(tmp_path, instruments):
    analyzer = instruments("--tcp", 0, "--watts", "30")
    logger = instruments("--tcp", 0, "--fault", "hang", "--after", 12)
    code, text, out = run(tmp_path, f'resource = "{analyzer}"',
                          f'sensors = [{{ name = "tc", scpi = "{logger}", query = "MEAS:TEMP? (@1:2)", unit = "c", '
                          'timeout_s = 0.5 }]')
    assert code == 0, text
    summary = json.loads((out / "summary.json").read_text())
    assert [(p["kind"], p["message"]) for p in summary["problems"]] == [
        ("sensor", f"sensor tc_1_c: {logger} 'MEAS:TEMP? (@1:2)' gave no answer within 0.5 s; recorded as missing"),
        ("sensor", f"sensor tc_2_c: {logger} 'MEAS:TEMP? (@1:2)' gave no answer within 0.5 s; recorded as missing")]
    assert rows(out)[-1]["tc_1_c"] == ""


@pytest.mark.parametrize("power, message", [
    pytest.param('setup = ["*RST", "BOGUS:CMD 1"]', "reports error '-113,\"Undefined header\"'", id="setup refused"),
    pytest.param('query = "MEAS:TEMP? (@1:2)"', "answered '+4.000E+01,+4.050E+01', not a number", id="two numbers"),
    pytest.param("scale = 0", "power.cpu.scale must be a number above 0, not 0", id="scale"),
    pytest.param('query = "MEAS:POW?\\n*RST"', "power.cpu.query must be one SCPI command on one line", id="two lines"),
])
def test_an_analyzer_that_cannot_be_used_stops_the_run_before_the_helper_starts(tmp_path, instruments, power,
                                                                                 message):
    analyzer = instruments("--tcp", 0)
    code, text, out = run(tmp_path, f'resource = "{analyzer}"\n{power}')
    assert code == 1, text
    assert message in text and "kestrune: running" not in text and not out.exists()


def test_a_serial_device_named_through_a_link_is_refused(tmp_path, instruments):
    logger = instruments("--pty")
    device = logger[len("ASRL"):-len("::INSTR")]
    link = tmp_path / "ttyUSB0"
    link.symlink_to(device)
    code, text, out = run(tmp_path, f'resource = "ASRL{link}::INSTR"')
    assert code == 1, text
    assert f"{link} is a link; name the device itself ({device})" in text


def test_a_profile_checks_without_its_instruments_and_runs_only_with_them(tmp_path):
    missing = tmp_path / "ttyUSB9"
    prof = tmp_path / "p.toml"
    prof.write_text(f'name = "p"\nsensors = [{{ name = "tc", scpi = "TCPIP::127.0.0.1::1::SOCKET", query = "MEAS:TEMP?" }}]\n'
                    f'[load]\ncpu = true\n[power]\nsource = "scpi"\n[power.cpu]\nresource = "ASRL{missing}::INSTR"\n'
                    '[[steps]]\nseconds = 1\ncpu = "free"\n')
    check = subprocess.run([sys.executable, str(TOOL), "check", str(prof)], capture_output=True, text=True, timeout=60)
    assert check.returncode == 0 and "power from scpi" in check.stdout, check.stderr
    done = subprocess.run([sys.executable, str(TOOL), "run", str(prof), "--out", str(tmp_path / "out")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert f"power instrument ASRL{missing}::INSTR: cannot open {missing}: No such file or directory" in done.stderr
