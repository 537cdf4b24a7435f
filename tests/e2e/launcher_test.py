"""kestrune-launch under Wine, driven the way a test drives the load helper through it.

The launcher starts tools/launcher/echo_child.exe, a stand-in helper that reports how it
was started and obeys simple line commands, so every check here is about the launcher.

Run:  /usr/bin/python3 -m pytest tests/e2e/launcher_test.py
Uses the built executables in $KL_WINDOWS_BUILD (default build/windows) and the
Wine prefix $KL_WINEPREFIX (default: a fresh temporary one, removed afterwards).
"""

import os
import re
import select
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KL_WINDOWS_BUILD", REPO / "build" / "windows"))
LAUNCHER = BUILD / "kestrune-launch.exe"
CHILD = BUILD / "echo_child.exe"

# The launcher's own failures, kept apart from any helper exit code.
USAGE_EXIT = 125
START_FAILED_EXIT = 126
# echo_child's exit codes.
WRITE_FAILED_EXIT = 33
END_OF_INPUT_EXIT = 3

HELLO = re.compile(rb"hello pid=(\d+) inJob=([01]) elevated=([01]) limits=0x[0-9a-f]+\n")
PIDS = re.compile(r"launcher pid (\d+) child pid (\d+)")


def windows_path(path):
    # Wine maps drive Z: to the Linux root.
    return "Z:" + str(path).replace("/", "\\")


@pytest.fixture(scope="session")
def wine_env(request):
    if "wine" not in request.config.getoption("--targets").split(","):
        pytest.skip("Wine targets not selected")
    for exe in (LAUNCHER, CHILD):
        if not exe.is_file():
            pytest.fail(f"{exe} not built (cmake --build --preset windows)")
    own_prefix = not os.environ.get("KL_WINEPREFIX")
    prefix = os.environ.get("KL_WINEPREFIX") or tempfile.mkdtemp(prefix="kl-launcher-wine-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")  # no installer prompts in a fresh prefix
    # A wineserver kept up makes each start cost milliseconds instead of most of a second.
    subprocess.run(["wineserver", "-p"], env=env, check=False)
    # The first start in a fresh prefix sets it up (tens of seconds); pay that here, not
    # inside a test's timeouts.
    subprocess.run(["wine", str(CHILD), "--alive", "0"], env=env, timeout=300,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    yield env
    if own_prefix:
        subprocess.run(["wineserver", "-k"], env=env, check=False)
        shutil.rmtree(prefix, ignore_errors=True)


def helper_alive(env, pid):
    """Whether Windows process `pid` still runs, asked from inside the same prefix."""
    probe = subprocess.run(["wine", str(CHILD), "--alive", str(pid)], env=env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert probe.returncode in (0, 1)
    return probe.returncode == 0


class Launched:
    """`wine kestrune-launch.exe [flags] echo_child.exe` with all three streams piped.

    Standard output is read with select() on the raw descriptor and no reader thread, so a
    test can stop reading it, or close it, at a moment of its choosing.
    """

    def __init__(self, env, *flags):
        self.proc = subprocess.Popen(
            ["wine", str(LAUNCHER), *flags, windows_path(CHILD)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=env, bufsize=0)
        self.stderr_lines = []
        self._stderr_thread = threading.Thread(target=self._collect_stderr, daemon=True)
        self._stderr_thread.start()
        self._out = b""

    def _collect_stderr(self):
        for line in iter(self.proc.stderr.readline, b""):
            self.stderr_lines.append(line.decode(errors="replace"))

    def started(self):
        """Waits for both pid lines; returns (launcher pid, child pid, hello match)."""
        m = PIDS.fullmatch(self.wait_for_stderr(PIDS).strip())
        hello = HELLO.fullmatch(self.read_line())
        assert hello, "the helper's first line is its hello"
        assert int(hello.group(1)) == int(m.group(2)), "the child pid line names the helper"
        return int(m.group(1)), int(m.group(2)), hello

    def wait_for_stderr(self, pattern, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in list(self.stderr_lines):
                if pattern.search(line):
                    return line
            time.sleep(0.01)
        raise AssertionError(f"no {pattern.pattern!r} on stderr: {self.stderr_lines}")

    def send(self, data):
        self.proc.stdin.write(data)

    def _more(self, deadline):
        """Next chunk of output, b"" at its end."""
        fd = self.proc.stdout.fileno()
        ready, _, _ = select.select([fd], [], [], max(deadline - time.monotonic(), 0))
        if not ready:
            raise AssertionError(f"no output in time; have {self._out[:200]!r}")
        return os.read(fd, 65536)

    def read_exact(self, n, timeout=20):
        deadline = time.monotonic() + timeout
        while len(self._out) < n:
            chunk = self._more(deadline)
            if not chunk:
                raise AssertionError(f"end of output after {len(self._out)} of {n} bytes")
            self._out += chunk
        data, self._out = self._out[:n], self._out[n:]
        return data

    def read_line(self, timeout=20):
        deadline = time.monotonic() + timeout
        while b"\n" not in self._out:
            chunk = self._more(deadline)
            if not chunk:
                raise AssertionError(f"end of output inside a line: {self._out[:200]!r}")
            self._out += chunk
        line, _, self._out = self._out.partition(b"\n")
        return line + b"\n"

    def read_to_end(self, timeout=20):
        deadline = time.monotonic() + timeout
        while chunk := self._more(deadline):
            self._out += chunk
        data, self._out = self._out, b""
        return data

    def wait(self, timeout=20):
        return self.proc.wait(timeout)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(30)
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                f.close()
            except OSError:
                pass
        self._stderr_thread.join(5)


@pytest.fixture
def launch(wine_env):
    started = []

    def start(*flags):
        run = Launched(wine_env, *flags)
        started.append(run)
        return run

    yield start
    for run in started:
        run.close()


@pytest.mark.parametrize("flags, in_job, elevated", [
    ((), "1", "0"),                # the contract: in a job, unelevated
    (("--no-job",), "0", "0"),
    (("--elevated",), "1", "1"),   # Wine's default token is elevated
])
def test_helper_starts_as_asked(launch, flags, in_job, elevated):
    run = launch(*flags)
    launcher_pid, child_pid, hello = run.started()
    assert launcher_pid != child_pid
    assert (hello.group(2), hello.group(3)) == (in_job.encode(), elevated.encode())
    # Wine answers every job limit query with 0, so kill-on-close is checked by killing
    # the launcher (test_killing_the_launcher_kills_the_helper), not by reading limits.
    run.proc.stdin.close()
    assert run.wait() == END_OF_INPUT_EXIT


@pytest.mark.parametrize("exit_line, status", [
    (b"exit 0\n", 0),
    (b"exit 7\n", 7),
    (b"exit 300\n", 300 % 256),  # Windows keeps 32 bits; a Linux parent sees the low 8
])
def test_lines_relay_both_ways_and_exit_code_propagates(launch, exit_line, status):
    run = launch()
    run.started()
    long_line = bytes(range(32, 127)) * 120  # longer than any pipe or relay buffer
    run.send(b"first\nsecond \xc3\xa9\t\r\n" + long_line + b"\n")
    assert run.read_line() == b"first\n"
    assert run.read_line() == b"second \xc3\xa9\t\r\n"
    assert run.read_line() == long_line + b"\n"
    # A line split over two writes arrives whole once the rest comes: the relay forwards
    # what it has without waiting for more.
    run.send(b"par")
    time.sleep(0.05)
    run.send(b"tial\n")
    assert run.read_line() == b"partial\n"
    run.send(exit_line)
    assert run.read_to_end() == b""
    assert run.wait() == status


def test_closing_stdin_gives_the_helper_end_of_input(launch):
    run = launch()
    run.started()
    run.send(b"last\n")
    run.proc.stdin.close()
    assert run.read_to_end() == b"last\neof\n"
    assert run.wait() == END_OF_INPUT_EXIT


def test_output_is_byte_exact_and_a_slow_reader_holds_the_helper_back(launch):
    run = launch()
    run.started()
    size = 1 << 20  # far beyond what the pipes between helper and test can hold
    run.send(f"flood {size}\n".encode())
    time.sleep(1.0)
    assert not any("flooded" in line for line in run.stderr_lines), \
        "the helper finished writing although nobody read: output piles up somewhere"
    assert run.proc.poll() is None
    data = run.read_exact(size)
    assert data == bytes(i % 256 for i in range(size))
    run.wait_for_stderr(re.compile(rf"flooded {size}"))
    run.proc.stdin.close()
    assert run.read_to_end() == b"eof\n"
    assert run.wait() == END_OF_INPUT_EXIT


@pytest.mark.parametrize("block_first", [False, True], ids=["idle-writer", "blocked-writer"])
def test_nobody_reading_fails_the_helpers_write(launch, block_first):
    run = launch()
    run.started()
    run.send(f"flood {1 << 24}\n".encode())
    if block_first:
        time.sleep(0.5)  # the helper now sits in a write to a full pipe
    run.proc.stdout.close()
    assert run.wait() == WRITE_FAILED_EXIT


@pytest.mark.parametrize("command", [b"hold\n", b"close stdin\n"])
def test_a_helper_that_stops_reading_stops_taking_input(launch, command):
    # Where the launcher can close its own stdin the writer gets a broken pipe; under Wine
    # it cannot (Wine keeps the process's descriptor 0 open), so input stops being taken
    # and the pipe fills. Either way the input does not pile up in the launcher.
    run = launch()
    run.started()
    run.send(command)
    time.sleep(0.3)
    fd = run.proc.stdin.fileno()
    os.set_blocking(fd, False)
    accepted, refusals = 0, 0
    deadline = time.monotonic() + 10
    while accepted < 4 << 20 and refusals < 3 and time.monotonic() < deadline:
        try:
            accepted += os.write(fd, b"x" * 4095 + b"\n")
            refusals = 0
        except BlockingIOError:
            refusals += 1
            time.sleep(0.1)  # the launcher may still drain a little
        except BrokenPipeError:
            break
    assert accepted < 1 << 20, f"{accepted} bytes of input taken by a helper that reads none"


def test_killing_the_launcher_kills_the_helper(launch, wine_env):
    run = launch()
    _, child_pid, _ = run.started()
    # Keeps the helper from ending on its own when its input ends with the launcher.
    run.send(b"hold\n")
    assert helper_alive(wine_env, child_pid)
    run.proc.kill()
    run.proc.wait(10)
    deadline = time.monotonic() + 5
    while helper_alive(wine_env, child_pid):
        assert time.monotonic() < deadline, "the helper outlived its launcher"
        time.sleep(0.1)


@pytest.mark.parametrize("args, status, message", [
    ((), USAGE_EXIT, "usage:"),
    (("--bogus",), USAGE_EXIT, "usage:"),
    (("Z:\\nowhere\\missing.exe",), START_FAILED_EXIT, "cannot start the helper"),
])
def test_launcher_failures_have_their_own_exit_codes(wine_env, args, status, message):
    done = subprocess.run(["wine", str(LAUNCHER), *args], env=wine_env, timeout=30,
                          stdin=subprocess.DEVNULL, capture_output=True)
    assert done.returncode == status
    assert message in done.stderr.decode(errors="replace")
    assert done.stdout == b""
