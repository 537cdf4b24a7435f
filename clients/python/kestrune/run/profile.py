"""Load profiles: a TOML file naming the target, the loads, the power source and timed steps.

    name = "demo"
    [target]
    kind = "native"              # or "wine"; optional exe (native: a path; wine: a file name),
                                 # build (wine: the folder with the launcher), prefix (wine)
    [load]
    cpu = true                   # gpu, workers, hb_timeout_ms, max_run_s, adapter_hint
    [power]
    source = "model"             # "model", "command", "sysfs" or "scpi"; interval_s = 0.25
    [power.cpu]                  # per domain, the source's settings (see power.py)
    idle_w = 15.0
    [verdict]                    # defaults for every step (see verdict.py)
    tolerance_pct = 3.0          # settle_s, within_share, max_error_pct, settle_within_s, sensor_max = { col = 90 }
    [safety]                     # limits that stop the load at once (see safety.py)
    sensor_max = { coretemp_package_id_0_c = 95, throttle_core_count = 0 }
    [[steps]]
    name = "ramp"                # optional
    seconds = 5
    cpu = "free"                 # "off", "free", or { mode = "target", watts = 40, cap = 45 }
    verdict = { settle_s = 5 }   # optional, on top of [verdict]
    [[steps]]                    # a group of steps run `repeat` times in a row
    repeat = 3
    steps = [ { seconds = 60, cpu = "free" }, { seconds = 60, cpu = "off" } ]

A domain a step does not name is off in that step, as in the set command itself. Top-level
`on_meter_failure` is "stop" (the default: end the load and fail the run) or "continue";
`sensors` ("auto" or a list) and `sysfs_root` choose what else is recorded.
"""

from __future__ import annotations

import dataclasses
import math
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

from ..commands import MAX_RUN_S, MIN_RUN_S, MODES, Domain
from .power import SOURCES
from .verdict import Criteria

DOMAINS = ("cpu", "gpu")
TARGET_KINDS = ("native", "wine")
METER_POLICIES = ("stop", "continue")
# The helper's run limit caps one session: a longer run is carried on by further helper
# sessions, each ended by the runner a margin before its limit.
HELPER_MAX_RUN_S = MAX_RUN_S
RUN_LIMIT_MARGIN_S = 10
DEFAULT_SESSION_S = float(MAX_RUN_S - 60)
MIN_SESSION_S = 2.0
MAX_REPEAT = 10000


class ProfileError(ValueError):
    """A profile that cannot run; the message names the key at fault."""


@dataclass(frozen=True)
class Target:
    kind: str = "native"
    exe: str | None = None
    build: str | None = None
    prefix: str | None = None
    hello_timeout_s: float = 30.0


@dataclass(frozen=True)
class Load:
    cpu: bool = False
    gpu: bool = False
    workers: int | None = None
    hb_timeout_ms: int | None = None
    max_run_s: int | None = None
    adapter_hint: str | None = None
    optional: tuple[str, ...] = ()    # domains the run may go without when the helper cannot give them
    session_s: float | None = None    # longest helper session before a hand-over to the next

    def enabled(self) -> tuple[str, ...]:
        return tuple(d for d in DOMAINS if getattr(self, d))


@dataclass(frozen=True)
class Power:
    source: str = "model"
    interval_s: float = 0.25
    timeout_s: float | None = None     # silence after which a meter has failed
    domains: dict = field(default_factory=dict)  # domain -> that domain's source settings


@dataclass(frozen=True)
class Step:
    name: str
    seconds: float
    cpu: Domain = Domain("off")
    gpu: Domain = Domain("off")
    verdict: dict = field(default_factory=dict)  # the step's own criteria, over the profile's

    def domain(self, d: str) -> Domain:
        return getattr(self, d)


def effective_target(dom: Domain) -> float | None:
    """The watts the helper steers to in target mode: the target bounded by the cap."""
    if dom.mode != "target" or dom.target_w is None:
        return None
    return min(dom.target_w, dom.cap_w) if dom.cap_w is not None else dom.target_w


@dataclass(frozen=True)
class Profile:
    name: str
    target: Target
    load: Load
    power: Power
    steps: tuple[Step, ...]
    verdict: Criteria = Criteria()
    on_meter_failure: str = "stop"
    sensors: object = None             # as written: None, "auto" or a list (the sensors module reads it)
    sysfs_root: str | None = None
    safety: dict = field(default_factory=dict)  # sensor column -> the value that stops the load
    source: dict = field(default_factory=dict, compare=False, repr=False)  # the document as read

    @property
    def seconds(self) -> float:
        return sum(s.seconds for s in self.steps)

    def session_s(self) -> float:
        """How long one helper session runs before the runner hands over to the next."""
        if self.load.session_s is not None:
            return self.load.session_s
        if self.load.max_run_s is not None:
            return max(MIN_SESSION_S, self.load.max_run_s - RUN_LIMIT_MARGIN_S)
        return DEFAULT_SESSION_S

    def max_run_s(self) -> int:
        """The run limit each helper session is started with."""
        if self.load.max_run_s is not None:
            return self.load.max_run_s
        return min(HELPER_MAX_RUN_S, max(MIN_RUN_S, math.ceil(min(self.seconds, self.session_s())) + RUN_LIMIT_MARGIN_S))

    def criteria(self, index: int) -> Criteria:
        """The criteria of the step at 0-based `index`."""
        return self.verdict.merged(self.steps[index].verdict)

    def boundaries(self) -> list[tuple[float, float]]:
        """Each step's start and end in seconds from the first step's start."""
        out, t = [], 0.0
        for s in self.steps:
            out.append((t, t + s.seconds))
            t += s.seconds
        return out


# --- reading -----------------------------------------------------------------------------------

def _table(data: dict, key: str, where: str) -> dict:
    value = data.get(key, {})
    if not isinstance(value, dict):
        raise ProfileError(f"{where}{key} must be a table")
    return value


def _only(data: dict, allowed, where: str) -> None:
    unknown = [k for k in data if k not in allowed]
    if unknown:
        raise ProfileError(f"{where}: unknown key {unknown[0]!r} (known: {', '.join(allowed)})")


def _number(value, where: str, *, positive=False, integer=False, minimum=None):
    ok = isinstance(value, int) if integer else isinstance(value, (int, float))
    if isinstance(value, bool) or not ok or not math.isfinite(value):
        raise ProfileError(f"{where} must be {'a whole number' if integer else 'a number'}, not {value!r}")
    if positive and value <= 0:
        raise ProfileError(f"{where} must be above 0, not {value!r}")
    if minimum is not None and value < minimum:
        raise ProfileError(f"{where} must be at least {minimum}, not {value!r}")
    return value


def _string(value, where: str) -> str:
    if not isinstance(value, str) or not value:
        raise ProfileError(f"{where} must be a non-empty string, not {value!r}")
    return value


def _bool(value, where: str) -> bool:
    if not isinstance(value, bool):
        raise ProfileError(f"{where} must be true or false, not {value!r}")
    return value


def _target(data: dict) -> Target:
    t = _table(data, "target", "")
    _only(t, ("kind", "exe", "build", "prefix", "hello_timeout_s"), "[target]")
    kind = t.get("kind", "native")
    if kind not in TARGET_KINDS:
        raise ProfileError(f"target.kind must be one of {', '.join(TARGET_KINDS)}, not {kind!r}")
    opt = {k: _string(t[k], f"target.{k}") for k in ("exe", "build", "prefix") if k in t}
    if "hello_timeout_s" in t:
        opt["hello_timeout_s"] = float(_number(t["hello_timeout_s"], "target.hello_timeout_s", positive=True))
    return Target(kind=kind, **opt)


def _load(data: dict) -> Load:
    t = _table(data, "load", "")
    _only(t, ("cpu", "gpu", "workers", "hb_timeout_ms", "max_run_s", "adapter_hint", "optional", "session_s"),
          "[load]")
    optional = t.get("optional", [])
    if not isinstance(optional, list) or any(d not in DOMAINS for d in optional):
        raise ProfileError(f"load.optional must be a list of {', '.join(DOMAINS)}, not {optional!r}")
    load = Load(
        cpu=_bool(t.get("cpu", False), "load.cpu"),
        gpu=_bool(t.get("gpu", False), "load.gpu"),
        workers=_number(t["workers"], "load.workers", integer=True, minimum=1) if "workers" in t else None,
        hb_timeout_ms=(_number(t["hb_timeout_ms"], "load.hb_timeout_ms", integer=True, minimum=0)
                       if "hb_timeout_ms" in t else None),
        max_run_s=_number(t["max_run_s"], "load.max_run_s", integer=True, minimum=0) if "max_run_s" in t else None,
        adapter_hint=_string(t["adapter_hint"], "load.adapter_hint") if "adapter_hint" in t else None,
        optional=tuple(optional),
        session_s=(float(_number(t["session_s"], "load.session_s", minimum=MIN_SESSION_S))
                   if "session_s" in t else None),
    )
    if not load.enabled():
        raise ProfileError("[load] starts nothing: set cpu = true and/or gpu = true")
    if set(load.optional) == set(load.enabled()):
        raise ProfileError("load.optional names every loaded domain: the run would test nothing")
    return load


def _power(data: dict, load: Load) -> Power:
    t = _table(data, "power", "")
    _only(t, ("source", "interval_s", "timeout_s", *DOMAINS), "[power]")
    source = t.get("source", "model")
    if source not in SOURCES:
        raise ProfileError(f"power.source must be one of {', '.join(SOURCES)}, not {source!r}")
    interval = _number(t.get("interval_s", 0.25), "power.interval_s", positive=True)
    if interval > 1.0:
        # The helper calls readings older than 2 s stale; stay well inside that.
        raise ProfileError(f"power.interval_s must be at most 1.0, not {interval!r}")
    timeout = None
    if "timeout_s" in t:
        timeout = float(_number(t["timeout_s"], "power.timeout_s", positive=True))
        if timeout < interval:
            raise ProfileError(f"power.timeout_s ({timeout:g}) must be at least power.interval_s ({interval:g})")
    domains = {}
    for d in DOMAINS:
        settings = _table(t, d, "power.")
        if settings and not getattr(load, d):
            raise ProfileError(f"[power.{d}] is set but load.{d} is not true")
        if getattr(load, d):
            domains[d] = dict(settings)
    return Power(source=source, interval_s=float(interval), timeout_s=timeout, domains=domains)


def _domain(value, where: str) -> Domain:
    if isinstance(value, str):
        if value == "target":
            raise ProfileError(f"{where}: target mode needs watts: {{ mode = \"target\", watts = 40 }}")
        value = {"mode": value}
    if not isinstance(value, dict):
        raise ProfileError(f"{where} must be \"off\", \"free\" or a table with mode, watts and cap")
    _only(value, ("mode", "watts", "cap"), where)
    mode = value.get("mode")
    if mode not in MODES:
        raise ProfileError(f"{where}.mode must be off, free or target, not {mode!r}")
    watts = value.get("watts")
    cap = value.get("cap")
    if mode != "target" and (watts is not None or cap is not None):
        raise ProfileError(f"{where}: watts and cap belong to target mode only")
    if mode == "target":
        if watts is None:
            raise ProfileError(f"{where}: target mode needs watts")
        watts = float(_number(watts, f"{where}.watts", positive=True))
        if cap is not None:
            cap = float(_number(cap, f"{where}.cap", positive=True))
    return Domain(mode, watts, cap)


VERDICT_KEYS = ("tolerance_pct", "settle_s", "within_share", "max_error_pct", "settle_within_s", "sensor_max")


def _verdict(value, where: str) -> dict:
    """Criteria settings as given (a step's overrides, or the profile's defaults)."""
    if not isinstance(value, dict):
        raise ProfileError(f"{where} must be a table")
    _only(value, VERDICT_KEYS, where)
    out = {}
    for k in ("tolerance_pct", "settle_s", "max_error_pct", "settle_within_s"):
        if k in value:
            out[k] = float(_number(value[k], f"{where}.{k}", minimum=0))
    if out.get("tolerance_pct") == 0:
        raise ProfileError(f"{where}.tolerance_pct must be above 0, not 0")
    if "within_share" in value:
        share = float(_number(value["within_share"], f"{where}.within_share", minimum=0))
        if share > 1:
            raise ProfileError(f"{where}.within_share is a share of the judged time, 0..1, not {share!r}")
        out["within_share"] = share
    if "sensor_max" in value:
        out["sensor_max"] = _limits(value["sensor_max"], f"{where}.sensor_max")
    return out


def _limits(value, where: str) -> dict[str, float]:
    if not isinstance(value, dict):
        raise ProfileError(f"{where} must be a table of sensor column = highest value")
    return {_string(c, f"{where} key"): float(_number(v, f"{where}.{c}")) for c, v in value.items()}


def _safety(data: dict) -> dict[str, float]:
    t = _table(data, "safety", "")
    _only(t, ("sensor_max",), "[safety]")
    return _limits(t["sensor_max"], "safety.sensor_max") if "sensor_max" in t else {}


def _step(s, where: str, load: Load) -> Step:
    if not isinstance(s, dict):
        raise ProfileError(f"{where} must be a table")
    _only(s, ("name", "seconds", "verdict", *DOMAINS), where)
    if "seconds" not in s:
        raise ProfileError(f"{where}: seconds is required")
    seconds = float(_number(s["seconds"], f"{where}.seconds", positive=True))
    doms = {}
    for d in DOMAINS:
        dom = _domain(s[d], f"{where}.{d}") if d in s else Domain("off")
        if dom.mode != "off" and not getattr(load, d):
            raise ProfileError(f"{where}.{d} is {dom.mode} but load.{d} is not true")
        doms[d] = dom
    name = _string(s["name"], f"{where}.name") if "name" in s else describe(doms["cpu"], doms["gpu"], load)
    verdict = _verdict(s["verdict"], f"{where}.verdict") if "verdict" in s else {}
    return Step(name=name, seconds=seconds, verdict=verdict, **doms)


def _steps(data: dict, load: Load) -> tuple[Step, ...]:
    raw = data.get("steps")
    if not isinstance(raw, list) or not raw:
        raise ProfileError("the profile needs at least one [[steps]] entry")
    steps = []
    for i, s in enumerate(raw, 1):
        where = f"steps[{i}]"
        if not (isinstance(s, dict) and "repeat" in s):
            steps.append(_step(s, where, load))
            continue
        # A group: its steps, `repeat` times, each name marked with its round.
        _only(s, ("repeat", "steps"), where)
        rounds = _number(s["repeat"], f"{where}.repeat", integer=True, minimum=1)
        if rounds > MAX_REPEAT:
            raise ProfileError(f"{where}.repeat must be at most {MAX_REPEAT}, not {rounds!r}")
        group = s.get("steps")
        if not isinstance(group, list) or not group:
            raise ProfileError(f"{where}: a repeated group needs its own steps = [ ... ]")
        inner = [_step(g, f"{where}.steps[{j}]", load) for j, g in enumerate(group, 1)]
        for r in range(1, rounds + 1):
            steps += [dataclasses.replace(g, name=f"{g.name} ({r}/{rounds})") for g in inner]
    return tuple(steps)


def describe(cpu: Domain, gpu: Domain, load: Load) -> str:
    """A step's default name, from what it sets: "cpu free", "cpu 40 W, gpu off"."""
    parts = []
    for d, dom in (("cpu", cpu), ("gpu", gpu)):
        if getattr(load, d):
            t = effective_target(dom)
            parts.append(f"{d} {t:g} W" if t is not None else f"{d} {dom.mode}")
    return ", ".join(parts)


def parse(data: dict, default_name: str = "profile") -> Profile:
    """A profile from the parsed TOML document; ProfileError names what is wrong."""
    _only(data, ("name", "target", "load", "power", "steps", "verdict", "on_meter_failure", "sensors",
                 "sysfs_root", "safety"), "profile")
    name = _string(data["name"], "name") if "name" in data else default_name
    load = _load(data)
    policy = data.get("on_meter_failure", "stop")
    if policy not in METER_POLICIES:
        raise ProfileError(f"on_meter_failure must be one of {', '.join(METER_POLICIES)}, not {policy!r}")
    sensors = data.get("sensors")
    if sensors is not None and sensors != "auto" and not isinstance(sensors, list):
        raise ProfileError(f"sensors must be \"auto\" or a list, not {sensors!r}")
    profile = Profile(name=name, target=_target(data), load=load, power=_power(data, load),
                      steps=_steps(data, load), verdict=Criteria(**_verdict(data.get("verdict", {}), "[verdict]")),
                      on_meter_failure=policy, sensors=sensors,
                      sysfs_root=_string(data["sysfs_root"], "sysfs_root") if "sysfs_root" in data else None,
                      safety=_safety(data), source=data)
    if profile.sensors is None and profile.safety:
        raise ProfileError("safety.sensor_max limits a sensor, but the profile records none: add sensors = [...]")
    if profile.sensors is None and any(profile.criteria(i).sensor_max for i in range(len(profile.steps))):
        raise ProfileError("sensor_max limits a sensor, but the profile records none: add sensors = [...]")
    session, limit = profile.session_s(), profile.load.max_run_s
    if limit is not None and min(limit, HELPER_MAX_RUN_S) < min(profile.seconds, session) + RUN_LIMIT_MARGIN_S:
        raise ProfileError(f"load.max_run_s ({limit}) leaves no room for a session of "
                           f"{min(profile.seconds, session):g} s: make it at least "
                           f"{math.ceil(min(profile.seconds, session)) + RUN_LIMIT_MARGIN_S}, or shorten load.session_s")
    if session + RUN_LIMIT_MARGIN_S > HELPER_MAX_RUN_S:
        raise ProfileError(f"load.session_s must be at most {HELPER_MAX_RUN_S - RUN_LIMIT_MARGIN_S:g} "
                           f"(the helper's run limit less {RUN_LIMIT_MARGIN_S} s), not {session:g}")
    return profile


def load_file(path: str | Path) -> Profile:
    path = Path(path)
    try:
        text = path.read_bytes()
    except OSError as e:
        raise ProfileError(f"cannot read {path}: {e.strerror or e}") from None
    try:
        data = tomllib.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as e:
        raise ProfileError(f"{path} is not valid TOML: {e}") from None
    return parse(data, default_name=path.stem)


def limited_sensors(profile: Profile) -> set[str]:
    """Every sensor column a step's criteria or the safety limits name."""
    return {c for i in range(len(profile.steps)) for c in profile.criteria(i).sensor_max} | set(profile.safety)
