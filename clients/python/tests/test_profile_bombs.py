"""Profiles built to hurt, through the real command line: each is one line and exit code 1
from `check` and from `run`, never a traceback, and `check` refuses them in bounded time and
memory (the child's own CPU time and peak memory, so a busy machine does not decide it)."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
TOOL = ROOT / "tools" / "kestrune"
HEAD = '[load]\ncpu = true\n'
INLINE = ", ".join(['{ seconds = 1, cpu = "free" }'] * 1000)

BOMBS = [
    pytest.param(HEAD + f"[[steps]]\nrepeat = 10000\nsteps = [ {INLINE} ]\n",
                 "repeats 1000 steps 10000 times", id="repeat 10000 of 1000 steps"),
    pytest.param(HEAD + '[[steps]]\nseconds = 1\ncpu = "free"\n' * 40000, "is larger than 1024 KiB", id="a file of 40000 steps"),
    pytest.param(HEAD + '[[steps]]\nseconds = 1\n' * 10001, "the profile has 10001 steps", id="10001 steps"),
    pytest.param("x = " + "[" * 2000 + "]" * 2000 + "\n" + HEAD, "nests tables and arrays more than 32 deep",
                 id="arrays 2000 deep"),
    pytest.param(HEAD + '[power]\nsource = "command"\n[power.cpu]\ncommand = "my-meter \'--cpu"\n'
                 '[[steps]]\nseconds = 1\n', "power.cpu.command cannot be split: No closing quotation",
                 id="unbalanced quote"),
    pytest.param(HEAD + "[[steps]]\nseconds = 1e308\n", "steps[1].seconds must be at most 604800 (a week)",
                 id="seconds 1e308"),
]


def kestrune(*args):
    """(exit code, stdout, stderr) of one run of the tool."""
    done = subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


# Runs the tool as its only child, then prints that child's CPU seconds and peak memory (KiB).
MEASURE = ("import resource, subprocess, sys; code = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, "
           "stderr=subprocess.DEVNULL).returncode; u = resource.getrusage(resource.RUSAGE_CHILDREN); "
           "print(code, u.ru_utime + u.ru_stime, u.ru_maxrss)")


def usage_of(args):
    """(exit code, CPU seconds, peak memory in MiB) of the tool run with `args`."""
    done = subprocess.run([sys.executable, "-c", MEASURE, sys.executable, str(TOOL), *map(str, args)],
                          capture_output=True, text=True, timeout=300)
    code, cpu, peak = done.stdout.split()
    return int(code), float(cpu), int(peak) / 1024


@pytest.mark.parametrize("text, message", BOMBS)
def test_a_profile_bomb_is_one_line_and_exit_1_from_check_and_run(tmp_path, text, message):
    path = tmp_path / "bomb.toml"
    path.write_text(text)
    for args in (["check", path], ["run", path, "--out", tmp_path / "out"]):
        code, out, err = kestrune(*args)
        assert code == 1, (args, out, err)
        assert out == "" and err.count("\n") == 1 and message in err and "Traceback" not in err, err
    assert not (tmp_path / "out").exists()


def test_check_of_a_bomb_costs_about_what_a_small_profile_costs(tmp_path):
    small = tmp_path / "small.toml"
    small.write_text(HEAD + '[[steps]]\nseconds = 1\ncpu = "free"\n')
    bomb = tmp_path / "bomb.toml"
    bomb.write_text(HEAD + f"[[steps]]\nrepeat = 10000\nsteps = [ {INLINE} ]\n")
    code, base_cpu, base_peak = usage_of(["check", small])
    assert code == 0
    code, cpu, peak = usage_of(["check", bomb])
    assert code == 1
    print(f"check: small profile {base_cpu:.2f} s CPU, {base_peak:.0f} MiB; bomb {cpu:.2f} s CPU, {peak:.0f} MiB")
    # Before the bound: 73 s and 2.26 GB. The starting interpreter is most of either figure.
    assert cpu < base_cpu + 2.0 and peak < base_peak + 100
