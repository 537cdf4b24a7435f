"""Power meters, one per load domain, read by the runner every interval.

    model    a simulated machine: idle_w, span_w (added at full duty), lag_s (first-order
             lag), noise_w (standard deviation), seed
    command  command = ["prog", "arg"] (or one string, split like a shell): a program that
             prints one reading in watts per line, for any meter a user has
    sysfs    path = a Linux power file: an energy counter in microjoules (RAPL `energy_uj`,
             hwmon `energy*_input`), differenced into watts, or hwmon `power*_input` /
             `power*_average` in microwatts

`read(now)` returns watts, or None when there is no new reading; the domain's entry is then
left out of the power command. `problem()` gives, once, what went wrong since the last call
(a meter that exited, printed something that is not a number, a file that cannot be read),
and `stderr_tail()` the end of a command meter's error output. Readings outside what the
helper accepts and a meter gone silent are judged by the runner (`reading_problem`).
"""

from __future__ import annotations

import math
import os
import random
import re
import shlex
import shutil
import subprocess
import threading
import time
from pathlib import Path

from ..native import child_setup, unprivileged_user
from .pipes import MAX_LINE, Tail, end_group, read_lines
from .readings import parse_reading

FIRST_READING_S = 5.0
# What the helper accepts as a reading.
MAX_READING_W = 5000.0
STDERR_TAIL_BYTES = 2000


def reading_problem(watts: float) -> str | None:
    """Why a reading cannot be passed on, or None when it can."""
    if not math.isfinite(watts) or not 0.0 <= watts <= MAX_READING_W:
        return f"gave {watts:g} W, outside 0..{MAX_READING_W:g} W"
    return None


class SourceError(RuntimeError):
    """A meter that cannot be read; raised before the helper starts."""


def _only(settings: dict, allowed, where: str) -> None:
    for k in settings:
        if k not in allowed:
            raise SourceError(f"[{where}]: unknown key {k!r} (known: {', '.join(allowed)})")


def _finite(value, where: str, default=None, minimum=0.0) -> float:
    if value is None:
        value = default
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < minimum:
        raise SourceError(f"{where} must be a number of at least {minimum:g}, not {value!r}")
    return float(value)


class Meter:
    def open(self) -> None:
        """Checks the meter can be read; SourceError if not."""

    def read(self, now: float) -> float | None:
        raise NotImplementedError

    def observe_duty(self, duty: float) -> None:
        """The duty the helper reports; only the model follows it."""

    def problem(self) -> str | None:
        """What went wrong since the last call, once; None when nothing did."""
        return None

    def stderr_tail(self) -> str | None:
        return None

    def describe(self) -> str:
        return type(self).__name__

    def close(self) -> None:
        pass


class ModelMeter(Meter):
    """idle + span × duty, reached through a first-order lag, plus Gaussian noise."""

    def describe(self) -> str:
        return "model meter"

    def __init__(self, idle_w=15.0, span_w=45.0, lag_s=0.4, noise_w=0.0, seed=None):
        self.idle_w, self.span_w, self.lag_s, self.noise_w = idle_w, span_w, lag_s, noise_w
        self._rng = random.Random(seed)
        self._duty = 0.0
        self._watts = idle_w
        self._last: float | None = None

    def observe_duty(self, duty: float) -> None:
        self._duty = min(1.0, max(0.0, duty))

    def read(self, now: float) -> float:
        if self._last is not None:
            dt = max(0.0, now - self._last)
            follow = 1.0 - math.exp(-dt / self.lag_s) if self.lag_s > 0 else 1.0
            self._watts += (self.idle_w + self.span_w * self._duty - self._watts) * follow
        self._last = now
        noise = self._rng.gauss(0.0, self.noise_w) if self.noise_w > 0 else 0.0
        return max(0.0, self._watts + noise)


class CommandMeter(Meter):
    """A program's standard output, one reading in watts per line; the newest line counts.
    Blank lines, and anything before the first reading (a header), are skipped. A strict
    meter (a power meter) makes any later line that is not a number a problem, and its end
    too, and drops its last reading then; otherwise such lines are skipped. A line longer
    than pipes.MAX_LINE is a problem either way.

    A root runner runs the program as the helper's unprivileged user with a fresh
    environment, unless `as_root` (a program that needs root, such as ipmitool). Either way
    it has a session of its own, ended with all it started when the meter closes."""

    def __init__(self, argv: list[str], first_reading_s: float = FIRST_READING_S, strict: bool = False,
                 as_root: bool = False):
        self.argv = argv
        self.strict = strict
        self.as_root = as_root
        self.first_reading_s = first_reading_s
        self.proc: subprocess.Popen | None = None
        self._tail = Tail()
        self._err_pump: threading.Thread | None = None
        self._latest: float | None = None
        self._fresh = False
        self._problems: list[str] = []
        self._lock = threading.Lock()
        self._got_one = threading.Event()
        self._ended = threading.Event()
        self.last_rejected: str | None = None   # the last line that was not a reading, and why

    def describe(self) -> str:
        return f"power command {shlex.join(self.argv)}"

    def _user(self):
        if os.name != "posix" or os.geteuid() != 0 or self.as_root:
            return None
        return unprivileged_user()

    def _spawn(self, program: str, user) -> subprocess.Popen:
        env = None if user is None else {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": user.pw_dir or "/",
                                         "LANG": "C.UTF-8", "USER": user.pw_name}
        # Its own session (the terminal's Ctrl-C is the runner's to handle, and must not look
        # like a meter failure), and gone with the runner if the runner is killed (the death
        # signal follows the starting thread: meters are opened by the run's own thread).
        return subprocess.Popen([program, *self.argv[1:]], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, preexec_fn=child_setup(user, death_signal=True))

    def open(self, cancel: threading.Event | None = None) -> None:
        """Starts the program and waits for its first reading; `cancel` (a signal to the
        runner) stops the wait."""
        program = shutil.which(self.argv[0])
        if program is None:
            raise SourceError(f"power command not found: {self.argv[0]}")
        user = self._user()
        try:
            self.proc = self._spawn(program, user) if os.name == "posix" else subprocess.Popen(
                self.argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        except (OSError, subprocess.SubprocessError) as e:
            whom = (f" (it runs as user {user.pw_name}; as_root = true runs it as root)" if user is not None else "")
            raise SourceError(f"cannot start power command {shlex.join(self.argv)}: "
                              f"{getattr(e, 'strerror', None) or e}{whom}") from None
        # Standard error drained into a ring: a pipe nobody drains could stall a chatty meter.
        self._err_pump = threading.Thread(target=self._tail.read, args=(self.proc.stderr.fileno(),),
                                          name="kestrune-meter-stderr", daemon=True)
        self._err_pump.start()
        threading.Thread(target=self._pump, name="kestrune-meter", daemon=True).start()
        deadline = time.monotonic() + self.first_reading_s
        while not self._got_one.is_set():
            if self._ended.is_set() or time.monotonic() >= deadline or (cancel is not None and cancel.is_set()):
                break
            self._got_one.wait(0.05)
        if not self._got_one.is_set():
            ended = self._ended.is_set()
            if ended:
                self._wait_exit(1.0)
                self._err_pump.join(1.0)
            err = self.stderr_tail() or ""
            self.close()
            why = ("ended without a reading" if ended else "was stopped by a signal before its first reading"
                   if cancel is not None and cancel.is_set() else f"printed no reading within {self.first_reading_s:g} s")
            if self.last_rejected and "decimal comma" in self.last_rejected:
                why += f" ({self.last_rejected})"
            raise SourceError(f"power command {shlex.join(self.argv)} {why}" + (f": {err.splitlines()[-1]}"
                                                                                 if err else ""))

    def _wait_exit(self, timeout: float) -> int | None:
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stderr_tail(self) -> str | None:
        """The last lines of the program's error output."""
        text = self._tail.text(STDERR_TAIL_BYTES)
        return text.strip() if text else None

    def _too_long(self, head: bytes) -> None:
        with self._lock:
            self._latest, self._fresh = None, False
            self._problems.append(f"printed a line longer than {MAX_LINE} bytes "
                                  f"({head[:40].decode(errors='replace')!r}...); the rest of it is discarded")

    def _line(self, raw: bytes) -> None:
        line = raw.decode("utf-8", errors="replace")
        if not line.strip():
            return
        watts, why = parse_reading(line)
        if watts is None:
            self.last_rejected = why
            if not (self.strict and self._got_one.is_set()):
                return
            with self._lock:
                self._latest, self._fresh = None, False
                self._problems.append(f"printed {why}")
            return
        with self._lock:
            self._latest, self._fresh = watts, True
        self._got_one.set()

    def _pump(self):
        read_lines(self.proc.stdout.fileno(), self._line, self._too_long)
        self._ended.set()
        if self.strict and self._got_one.is_set():
            code = self._wait_exit(1.0)
            if self._err_pump is not None:
                self._err_pump.join(1.0)  # its last words, before the problem is told
            with self._lock:
                self._latest, self._fresh = None, False
                self._problems.append("exited" + (f" with code {code}" if code is not None else ""))

    def read(self, now: float) -> float | None:
        with self._lock:
            if not self._fresh:
                return None
            self._fresh = False
            return self._latest

    def problem(self) -> str | None:
        with self._lock:
            return self._problems.pop(0) if self._problems else None

    def close(self) -> None:
        if self.proc is not None:
            if os.name == "posix":
                end_group(self.proc)
            elif self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait(timeout=5)


ENERGY_FILE = re.compile(r"^(energy_uj|energy\d+_input)$")
POWER_FILE = re.compile(r"^power\d+_(input|average)$")


def _read_int(path: Path) -> int:
    return int(path.read_text().strip())


def _unreadable(path: Path, e: OSError) -> SourceError:
    text = f"cannot read {path}: {e.strerror or e}"
    if isinstance(e, PermissionError) and ENERGY_FILE.match(path.name):
        text += " (current kernels let only root read the RAPL energy counters: run as root)"
    return SourceError(text)


def _check_int_file(path: Path, unit: str) -> None:
    """Raises a SourceError unless `path` reads as a whole number (of `unit`)."""
    try:
        _read_int(path)
    except OSError as e:
        raise _unreadable(path, e) from None
    except ValueError:
        raise SourceError(f"{path} does not hold a whole number of {unit}") from None


class EnergyMeter(Meter):
    """A microjoule counter differenced into watts. A counter that went down has wrapped at
    its `max_energy_range_uj`; without that file the reading is skipped."""

    def __init__(self, path: Path):
        self.path = path
        self.range_uj: int | None = None
        self._prev: tuple[float, int] | None = None
        self._problem: str | None = None
        self._failing = False

    def describe(self) -> str:
        return f"power file {self.path}"

    def problem(self) -> str | None:
        p, self._problem = self._problem, None
        return p

    def _fail(self, e: Exception) -> None:
        if not self._failing:
            self._problem = f"cannot be read: {getattr(e, 'strerror', None) or e}"
        self._failing = True

    def open(self) -> None:
        _check_int_file(self.path, "microjoules")
        range_file = self.path.with_name("max_energy_range_uj")
        try:
            self.range_uj = _read_int(range_file)
        except (OSError, ValueError):
            self.range_uj = None
        self._prev = None

    def read(self, now: float) -> float | None:
        try:
            value = _read_int(self.path)
        except (OSError, ValueError) as e:
            self._prev = None
            self._fail(e)
            return None
        self._failing = False
        prev, self._prev = self._prev, (now, value)
        if prev is None or now <= prev[0]:
            return None
        delta = value - prev[1]
        if delta < 0:
            if not self.range_uj:
                return None
            delta += self.range_uj
        return delta / 1e6 / (now - prev[0])


class PowerFileMeter(EnergyMeter):
    """A hwmon power file in microwatts."""

    def open(self) -> None:
        _check_int_file(self.path, "microwatts")

    def read(self, now: float) -> float | None:
        try:
            value = _read_int(self.path) / 1e6
        except (OSError, ValueError) as e:
            self._fail(e)
            return None
        self._failing = False
        return value


def sysfs_meter(path: str) -> Meter:
    p = Path(path)
    if ENERGY_FILE.match(p.name):
        return EnergyMeter(p)
    if POWER_FILE.match(p.name):
        return PowerFileMeter(p)
    raise SourceError(f"{path}: not a power file this runner knows (energy_uj, energy*_input, "
                      f"power*_input, power*_average)")


SOURCES = ("model", "command", "sysfs", "scpi")


def make_meter(source: str, domain: str, settings: dict) -> Meter:
    where = f"power.{domain}"
    if source == "model":
        _only(settings, ("idle_w", "span_w", "lag_s", "noise_w", "seed"), where)
        seed = settings.get("seed")
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int)):
            raise SourceError(f"{where}.seed must be a whole number, not {seed!r}")
        return ModelMeter(idle_w=_finite(settings.get("idle_w"), f"{where}.idle_w", 15.0),
                          span_w=_finite(settings.get("span_w"), f"{where}.span_w", 45.0),
                          lag_s=_finite(settings.get("lag_s"), f"{where}.lag_s", 0.4),
                          noise_w=_finite(settings.get("noise_w"), f"{where}.noise_w", 0.0),
                          seed=seed)
    if source == "command":
        _only(settings, ("command", "as_root"), where)
        as_root = settings.get("as_root", False)
        if not isinstance(as_root, bool):
            raise SourceError(f"{where}.as_root must be true or false, not {as_root!r}")
        cmd = settings.get("command")
        try:
            argv = shlex.split(cmd) if isinstance(cmd, str) else cmd
        except ValueError as e:  # an unbalanced quote
            raise SourceError(f"{where}.command cannot be split: {e}") from None
        if not isinstance(argv, list) or not argv or not all(isinstance(a, str) and a for a in argv):
            raise SourceError(f"{where}.command must be a program and its arguments, not {cmd!r}")
        return CommandMeter(argv, strict=True, as_root=as_root)
    if source == "sysfs":
        _only(settings, ("path",), where)
        path = settings.get("path")
        if not isinstance(path, str) or not path:
            raise SourceError(f"{where}.path must name a power file, not {path!r}")
        return sysfs_meter(path)
    if source == "scpi":
        from . import scpi_meter  # PyVISA only where a profile asks for an instrument
        return scpi_meter.make(domain, settings)
    raise SourceError(f"unknown power source {source!r}")


def open_meters(source: str, domains: dict, cancel: threading.Event | None = None) -> dict[str, Meter]:
    """One opened meter per domain; on any failure the ones already opened are closed.
    `cancel` (a signal to the runner) stops a command meter's wait for its first reading."""
    meters: dict[str, Meter] = {}
    try:
        for domain, settings in domains.items():
            m = make_meter(source, domain, settings)
            if isinstance(m, CommandMeter):
                m.open(cancel)
            else:
                m.open()
            meters[domain] = m
    except BaseException:
        close_meters(meters)
        raise
    return meters


def close_meters(meters: dict[str, Meter]) -> None:
    for m in meters.values():
        m.close()
