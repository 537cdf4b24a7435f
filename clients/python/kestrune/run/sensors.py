"""Temperatures, fans, clocks and utilisation, sampled with the power readings.

What a machine offers (`discover`), how a profile names what to record (`parse_requests`), and
the set of sensors a run samples (`open_sensors`). A profile's `sensors` is "auto" or a list
whose items are strings `KIND:WHAT` or command tables:

    "temp:coretemp/Package id 0"   a hwmon temperature: chip, then label (or file, "temp3")
    "temp:coretemp"                every temperature of that chip; "*" and "?" match too
    "fan:nct6798/fan2"             a hwmon fan (RPM)
    "power:amdgpu/PPT"             a hwmon power input (W)
    "zone:x86_pkg_temp"            a thermal zone by type (or "thermal_zone3")
    "freq:cpu0", "freq:mean", "freq:max"     one CPU's clock, or all CPUs' mean or maximum (MHz)
    "util:cpu", "util:cpu3"        utilisation of all CPUs or one, from /proc/stat (%)
    "throttle:core", "throttle:package"   thermal throttling events since the run began, from
                                   every CPU's thermal_throttle counters: core events summed
                                   over the CPUs, package events of the worst package (each
                                   CPU shows its package's count); never part of "auto"
    "auto"                         hwmon temperatures and fans, thermal zones, the mean and
                                   maximum CPU clock and the CPU utilisation, those that
                                   can be read when the run starts
    { name = "gpu", command = ["gpu-temp", "--once"], unit = "c", max_age_s = 5 }
                                   a program printing one number per line

Every path goes through one root (`resolve_root`), so tests point it at a fake tree. Columns
are named `<sensor>_<unit>`: `coretemp_package_id_0_c`, `cpu_mean_mhz`, `cpu_util_pct`.
"""

from __future__ import annotations

import fnmatch
import os
import re
import shlex
import time
from dataclasses import dataclass, field
from pathlib import Path

from .sensors_read import (AggregateReader, CommandReader, CountReader, FileReader, SourceError, StatFile, UtilReader,
                           read_text)
from .sensors_summary import STEADY_LIMIT_PER_MIN, STEADY_WINDOW_S, summarise

ROOT_ENV = "KESTRUNE_SYSFS_ROOT"
KINDS = ("temp", "fan", "power", "zone", "freq", "util", "throttle")
UNITS = {"temp": "c", "zone": "c", "fan": "rpm", "power": "w", "freq": "mhz", "util": "pct", "throttle": "count"}
# Units as a person reads them, for listings and the live view.
UNIT_TEXT = {"c": "°C", "rpm": "RPM", "w": "W", "mhz": "MHz", "pct": "%", "count": ""}
_HWMON_FILE = re.compile(r"^(temp|fan|power)(\d+)_(input|average)$")
_HWMON_DIVISOR = {"temp": 1000, "fan": 1, "power": 1_000_000}
COMMAND_MAX_AGE_S = 5.0


class SensorRequestError(ValueError):
    """A sensor list that cannot be recorded here; the message is one line."""


@dataclass(frozen=True)
class SensorInfo:
    column: str          # the run.csv column, `<sensor>_<unit>`
    kind: str            # one of KINDS, or "command"
    unit: str            # "c", "rpm", "w", "mhz", "pct" or a command's own unit
    chip: str            # hwmon chip (numbered when several share a name), "thermal", "cpu", or the command's name
    label: str           # the sensor's label, else its file ("temp2"), the zone's type, "cpu3", "mean"
    profile_line: str    # the list item that records it, as TOML
    aliases: tuple[str, ...] = ()   # other names a profile may use: the file ("temp1"), the zone's folder
    reader: object = field(default=None, compare=False, repr=False)

    def read(self, now: float) -> tuple[float | None, str]:
        return self.reader.read(now)


@dataclass(frozen=True)
class SensorRequest:
    kind: str                        # one of KINDS, "auto" or "command"
    pattern: str = ""                # what follows "KIND:" (chip/label, zone, cpuN)
    name: str = ""                   # a command's name (its column's stem)
    unit: str = ""                   # a command's unit
    argv: tuple[str, ...] = ()
    max_age_s: float = COMMAND_MAX_AGE_S
    as_root: bool = False            # a command a root runner runs as root, not as the helper's user
    table: dict | None = field(default=None, compare=False, hash=False)  # an SCPI logger's, as written

    @property
    def text(self) -> str:
        return self.kind if self.kind == "auto" else f"{self.kind}:{self.pattern}" if self.pattern else self.name


def resolve_root(root=None, profile_root=None) -> Path:
    """The argument, else $KESTRUNE_SYSFS_ROOT, else the profile's sysfs_root, else /."""
    for candidate in (root, os.environ.get(ROOT_ENV) or None, profile_root):
        if candidate:
            return Path(candidate)
    return Path("/")


def slug(text: str) -> str:
    return re.sub(r"[^a-z0-9]+", "_", text.lower()).strip("_") or "x"


def _quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _number_key(path: Path) -> tuple:
    m = re.search(r"(\d+)$", path.name)
    return (int(m.group(1)) if m else -1, path.name)


def _numbered_dirs(base: Path, pattern: str) -> list[Path]:
    """The entries of `base` whose names match `pattern`, in number order; none when `base`
    cannot be read (a machine without that class of sensor)."""
    try:
        return sorted((d for d in base.iterdir() if re.fullmatch(pattern, d.name)), key=_number_key)
    except OSError:
        return []


def _text(path: Path) -> str | None:
    """A name or label file's text, with anything unprintable (it reaches terminals) as "?"."""
    try:
        text = read_text(path).strip()
    except OSError:
        return None
    return "".join(ch if ch.isprintable() else "?" for ch in text)


def _numbered(names: list[str]) -> list[str]:
    """Names made unique: a name shared by several gets ".1", ".2", ... on each."""
    seen: dict[str, int] = {}
    out = []
    for n in names:
        if names.count(n) > 1:
            seen[n] = seen.get(n, 0) + 1
            out.append(f"{n}.{seen[n]}")
        else:
            out.append(n)
    return out


# --- discovery -----------------------------------------------------------------------------------

def _hwmon(root: Path) -> list[SensorInfo]:
    base = root / "sys" / "class" / "hwmon"
    dirs = _numbered_dirs(base, r"hwmon.*")
    chips = []
    for d in dirs:
        # Some older drivers keep their files under device/.
        folder = d if (d / "name").exists() else d / "device"
        chips.append((folder, _text(folder / "name") or d.name))
    out = []
    for (folder, _), chip in zip(chips, _numbered([name for _, name in chips])):
        found: dict[tuple[str, int], tuple[str, Path]] = {}
        try:
            files = sorted(folder.iterdir(), key=lambda p: p.name)
        except OSError:
            continue
        for f in files:
            m = _HWMON_FILE.match(f.name)
            if not m:
                continue
            kind, index, which = m.group(1), int(m.group(2)), m.group(3)
            # power*_input before power*_average when a chip has both.
            if (kind, index) not in found or which == "input":
                found[(kind, index)] = (which, f)
        entries = []
        for (kind, index), (_, f) in sorted(found.items(), key=lambda kv: (KINDS.index(kv[0][0]), kv[0][1])):
            label = _text(folder / f"{kind}{index}_label") or ""
            entries.append((kind, f"{kind}{index}", label, f))
        labels = [(k, lab) for k, _, lab, _ in entries]
        for kind, stem, label, f in entries:
            # A missing or repeated label: the file's own name stands in.
            name = label if label and labels.count((kind, label)) == 1 else stem
            unit = UNITS[kind]
            out.append(SensorInfo(column=f"{slug(chip)}_{slug(name)}_{unit}", kind=kind, unit=unit, chip=chip,
                                  label=label or stem, profile_line=_quoted(f"{kind}:{chip}/{name}"), aliases=(stem,),
                                  reader=FileReader(f, _HWMON_DIVISOR[kind])))
    return out


def _zones(root: Path) -> list[SensorInfo]:
    base = root / "sys" / "class" / "thermal"
    dirs = [d for d in _numbered_dirs(base, r"thermal_zone.*") if (d / "temp").exists()]
    types = [_text(d / "type") or d.name for d in dirs]
    return [SensorInfo(column=f"zone_{slug(name)}_c", kind="zone", unit="c", chip="thermal", label=name,
                       profile_line=_quoted(f"zone:{name}"), aliases=(d.name,),
                       reader=FileReader(d / "temp", 1000))
            for d, name in zip(dirs, _numbered(types))]


def _cpus(root: Path) -> list[SensorInfo]:
    base = root / "sys" / "devices" / "system" / "cpu"
    dirs = _numbered_dirs(base, r"cpu\d+")
    files = [(d.name, d / "cpufreq" / "scaling_cur_freq") for d in dirs]
    files = [(n, f) for n, f in files if f.exists()]
    out = []
    if files:
        for how in ("mean", "max"):
            out.append(SensorInfo(column=f"cpu_{how}_mhz", kind="freq", unit="mhz", chip="cpu", label=how,
                                  profile_line=_quoted(f"freq:{how}"),
                                  reader=AggregateReader([f for _, f in files], 1000, how)))
        out += [SensorInfo(column=f"{n}_mhz", kind="freq", unit="mhz", chip="cpu", label=n,
                           profile_line=_quoted(f"freq:{n}"), reader=FileReader(f, 1000)) for n, f in files]
    stat = StatFile(root / "proc" / "stat")
    lines = stat.lines(time.monotonic())[1]
    for line in sorted(lines, key=lambda n: (n != "cpu", int(n[3:]) if n[3:].isdigit() else -1)):
        out.append(SensorInfo(column=f"{line}_util_pct", kind="util", unit="pct", chip="cpu", label=line,
                              profile_line=_quoted(f"util:{line}"), reader=UtilReader(stat, line)))
    return out


def _throttle(root: Path) -> list[SensorInfo]:
    dirs = _numbered_dirs(root / "sys" / "devices" / "system" / "cpu", r"cpu\d+")
    out = []
    for which, how in (("core", "sum"), ("package", "max")):
        files = [f for d in dirs if (f := d / "thermal_throttle" / f"{which}_throttle_count").exists()]
        if files:
            out.append(SensorInfo(column=f"throttle_{which}_count", kind="throttle", unit="count", chip="cpu",
                                  label=which, profile_line=_quoted(f"throttle:{which}"),
                                  aliases=(f"{which}_throttle_count",), reader=CountReader(files, how)))
    return out


def discover(root=None, profile_root=None) -> list[SensorInfo]:
    """Every sensor under the root (see `resolve_root`): hwmon temperatures, fans and power
    inputs, thermal zones, each CPU's clock and the mean and maximum of them, the
    utilisation of all CPUs and each, and the CPUs' thermal throttling counts."""
    r = resolve_root(root, profile_root)
    return _hwmon(r) + _zones(r) + _cpus(r) + _throttle(r)


# --- the profile's list --------------------------------------------------------------------------

def table_name(item: dict, where: str, allowed: tuple[str, ...], error=None) -> str:
    """A sensor table's name, after checking that it holds only `allowed` keys; `error` (the
    exception raised, SensorRequestError by default) says what is wrong in one line."""
    error = error or SensorRequestError
    for k in item:
        if k not in allowed:
            raise error(f"{where}: unknown key {k!r} (known: {', '.join(allowed)})")
    name = item.get("name")
    if not isinstance(name, str) or not slug(name).strip("x"):
        raise error(f"{where}.name must name the sensor (letters or digits), not {name!r}")
    return name


def table_unit_and_age(item: dict, where: str, default_age: float, error=None) -> tuple[str, float]:
    """A sensor table's `unit` (a short lower-case word, or none) and `max_age_s`."""
    error = error or SensorRequestError
    unit = item.get("unit", "")
    if not isinstance(unit, str) or (unit and not re.fullmatch(r"[a-z0-9]+", unit)):
        raise error(f"{where}.unit must be a short lower-case word such as \"c\", not {unit!r}")
    age = item.get("max_age_s", default_age)
    if isinstance(age, bool) or not isinstance(age, (int, float)) or not 0 < age < 3600:
        raise error(f"{where}.max_age_s must be a number of seconds above 0, not {age!r}")
    return unit, float(age)


def _command_request(item: dict, where: str) -> SensorRequest:
    name = table_name(item, where, ("name", "command", "unit", "max_age_s", "as_root"))
    cmd = item.get("command")
    try:
        argv = shlex.split(cmd) if isinstance(cmd, str) else cmd
    except ValueError as e:
        raise SensorRequestError(f"{where}.command cannot be split: {e}") from None
    if not isinstance(argv, list) or not argv or not all(isinstance(a, str) and a for a in argv):
        raise SensorRequestError(f"{where}.command must be a program and its arguments, not {cmd!r}")
    unit, age = table_unit_and_age(item, where, COMMAND_MAX_AGE_S)
    as_root = item.get("as_root", False)
    if not isinstance(as_root, bool):
        raise SensorRequestError(f"{where}.as_root must be true or false, not {as_root!r}")
    return SensorRequest(kind="command", name=name, unit=unit, argv=tuple(argv), max_age_s=age,
                         as_root=as_root)


def _scpi_request(item: dict, where: str) -> SensorRequest:
    from .scpi import ScpiError
    from .scpi_sensor import logger_of
    try:
        logger_of(item, where)
    except ScpiError as e:
        raise SensorRequestError(str(e)) from None
    return SensorRequest(kind="scpi", name=item["name"], table=dict(item))


def parse_requests(value) -> list[SensorRequest]:
    """The profile's `sensors`: "auto" or a list of "KIND:WHAT" strings and command tables."""
    if value == "auto":
        return [SensorRequest("auto")]
    if not isinstance(value, list):
        raise SensorRequestError(f"sensors must be \"auto\" or a list, not {value!r}")
    requests = []
    for i, item in enumerate(value, 1):
        where = f"sensors[{i}]"
        if isinstance(item, dict) and "scpi" in item:
            requests.append(_scpi_request(item, where))
            continue
        if isinstance(item, dict):
            requests.append(_command_request(item, where))
            continue
        if item == "auto":
            requests.append(SensorRequest("auto"))
            continue
        if not isinstance(item, str) or ":" not in item:
            raise SensorRequestError(f"{where} must be \"KIND:WHAT\" (such as \"temp:coretemp\"), \"auto\" "
                                  f"or a table with a command, not {item!r}")
        kind, pattern = (s.strip() for s in item.split(":", 1))
        if kind not in KINDS:
            raise SensorRequestError(f"{where}: unknown kind {kind!r} (known: {', '.join(KINDS)})")
        if not pattern:
            raise SensorRequestError(f"{where}: {kind}: needs what to record, such as \"{kind}:*\"")
        requests.append(SensorRequest(kind, pattern))
    return requests


def _like(text: str, pattern: str) -> bool:
    return text == pattern or fnmatch.fnmatchcase(text, pattern)


def _matches(request: SensorRequest, s: SensorInfo) -> bool:
    if request.kind != s.kind:
        return False
    # The profile line's own text after "KIND:" always matches; so do patterns over it.
    own = s.profile_line[1:-1].split(":", 1)[1]
    if _like(own, request.pattern):
        return True
    if s.kind in ("temp", "fan", "power"):
        chip, _, what = request.pattern.partition("/")
        return _like(s.chip, chip) and (not what or any(_like(n, what) for n in (s.label, *s.aliases)))
    return any(_like(n, request.pattern) for n in (s.label, *s.aliases))


def _readable(s: SensorInfo) -> bool:
    value, why = s.read(time.monotonic())
    return value is not None or not why


def _auto(found: list[SensorInfo]) -> list[SensorInfo]:
    chips = {s.chip.split(".")[0] for s in found if s.kind == "temp"}
    return [s for s in found
            if (s.kind in ("temp", "fan")
                # A zone that a hwmon chip already shows (acpitz, say) would be the same value twice.
                or (s.kind == "zone" and s.label.split(".")[0] not in chips)
                or s.column in ("cpu_mean_mhz", "cpu_max_mhz", "cpu_util_pct"))
            # A sensor with nothing to say now (a wireless card's zone while it is down) is
            # left out of the usual set rather than filling the run with problems.
            and _readable(s)]


def select(requests: list[SensorRequest], found: list[SensorInfo]) -> list[SensorInfo]:
    """The discovered sensors the requests name, in the requests' order, each once; a request that
    names nothing here is an error."""
    chosen: dict[str, SensorInfo] = {}
    for request in requests:
        if request.kind in ("command", "scpi"):
            continue
        hits = _auto(found) if request.kind == "auto" else [s for s in found if _matches(request, s)]
        if not hits and request.kind != "auto":
            offered = sorted({s.profile_line for s in found if s.kind == request.kind})[:6]
            hint = f" (here: {', '.join(offered)}{', ...' if len(offered) == 6 else ''})" if offered else \
                f" (this machine has no {request.kind} sensors; `kestrune sensors` lists what it has)"
            raise SensorRequestError(f"sensor {request.text!r} matches nothing{hint}")
        for s in hits:
            chosen.setdefault(s.column, s)
    return list(chosen.values())


# --- sampling ------------------------------------------------------------------------------------

class SensorSet:
    """The sensors of one run. `sample()` never raises: a value that cannot be read is None,
    and a sensor that stops answering adds one problem line until it answers again."""

    def __init__(self, sensors: list[SensorInfo], commands: list[CommandReader]):
        self.sensors = sensors
        self._commands = commands
        self._failing: set[str] = set()
        self._problems: list[tuple[str, str]] = []   # (column, line)
        self._recovered: list[str] = []

    @property
    def columns(self) -> list[str]:
        return [s.column for s in self.sensors]

    @property
    def units(self) -> dict[str, str]:
        return {s.column: s.unit for s in self.sensors}

    def sample(self, now: float | None = None) -> dict[str, float | None]:
        now = time.monotonic() if now is None else now
        out: dict[str, float | None] = {}
        for s in self.sensors:
            try:
                value, why = s.read(now)
            except Exception as e:  # a reader's own fault must not end a run
                value, why = None, f"{type(e).__name__}: {e}"
            out[s.column] = value
            if value is not None:
                if s.column in self._failing:
                    self._failing.discard(s.column)
                    self._recovered.append(s.column)
            elif why and s.column not in self._failing:
                self._failing.add(s.column)
                self._problems.append((s.column, f"sensor {s.column}: {why}; recorded as missing"))
        return out

    def problems(self) -> list[str]:
        """New problem lines since the last call."""
        return [text for _, text in self.problems_by_column()]

    def problems_by_column(self) -> list[tuple[str, str]]:
        """New problems since the last call, as (column, line)."""
        out, self._problems = self._problems, []
        return out

    def recovered(self) -> list[str]:
        """Columns read again since the last call, after a problem."""
        out, self._recovered = self._recovered, []
        return out

    def close(self) -> None:
        for c in self._commands:
            c.close()
        self._commands = []


def _open_logger(request: SensorRequest, taken: set, sensors: list):
    from .scpi import ScpiError
    from .scpi_sensor import ChannelReader, logger_of
    try:
        logger, columns, unit = logger_of(request.table, request.name)
        twice = sorted(taken & set(columns))
        if twice:
            raise ScpiError(f"sensor {request.name!r}: column {twice[0]} is recorded twice")
        logger.open()
    except ScpiError as e:
        raise SensorRequestError(str(e)) from None
    line = "{ " + ", ".join(f"{k} = {_quoted(v) if isinstance(v, str) else v}" for k, v in request.table.items()) + " }"
    sensors += [SensorInfo(column=c, kind="scpi", unit=unit, chip=request.name, label=c, profile_line=line,
                           reader=ChannelReader(logger, i)) for i, c in enumerate(columns)]
    return logger


def open_sensors(requests: list[SensorRequest], root=None, profile_root=None, cancel=None) -> SensorSet:
    """The sensors the requests name, ready to sample; SensorRequestError (one line) when a request
    names nothing here, two name the same column, or a command cannot start. `cancel` (a signal
    to the runner) stops a command's wait for its first number."""
    found = discover(root, profile_root) if any(s.kind not in ("command", "scpi") for s in requests) else []
    sensors = select(requests, found)
    commands: list[CommandReader] = []
    try:
        for request in (s for s in requests if s.kind == "command"):
            column = f"{slug(request.name)}_{request.unit}" if request.unit else slug(request.name)
            if column in {s.column for s in sensors}:
                raise SensorRequestError(f"sensor {request.name!r}: column {column} is recorded twice")
            reader = CommandReader(list(request.argv), request.max_age_s, as_root=request.as_root)
            try:
                reader.open(cancel)
            except SourceError as e:
                raise SensorRequestError(f"sensor {request.name!r}: {str(e).replace('power command', 'command')}") from None
            commands.append(reader)
            sensors.append(SensorInfo(column=column, kind="command", unit=request.unit, chip=request.name,
                                      label=shlex.join(request.argv), profile_line=f"{{ name = {_quoted(request.name)}, "
                                      f"command = {_quoted(shlex.join(request.argv))}, unit = {_quoted(request.unit)} }}",
                                      reader=reader))
        for request in (s for s in requests if s.kind == "scpi"):
            commands.append(_open_logger(request, {s.column for s in sensors}, sensors))
    except BaseException:
        for c in commands:
            c.close()
        raise
    return SensorSet(sensors, commands)


__all__ = ["COMMAND_MAX_AGE_S", "KINDS", "ROOT_ENV", "STEADY_LIMIT_PER_MIN", "STEADY_WINDOW_S", "UNITS",
           "UNIT_TEXT", "SensorInfo", "SensorSet", "SensorRequest", "SensorRequestError", "discover",
           "open_sensors", "parse_requests", "resolve_root", "select", "summarise"]
