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
    judge = false                # optional: a target step whose power is not judged (a warm-up)
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
from .power import MAX_READING_W, SOURCES
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
# Bounds on what a profile may ask for, so that `check` of a hostile or mistaken file is quick
# and small: a file far larger than any real profile is not parsed, a group is not expanded
# past the step limit, and no run is planned longer than a week.
MAX_PROFILE_BYTES = 1 << 20
MAX_STEPS = 10000
MAX_RUN_TOTAL_S = 7 * 24 * 3600.0
MAX_NESTING = 32
# Watts the profile may name: the same range the helper accepts as a reading.
MAX_WATTS = MAX_READING_W
# The helper's range for the heartbeat time-out; outside it the value would be clamped.
MIN_HB_TIMEOUT_MS, MAX_HB_TIMEOUT_MS = 500, 3000


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
    judge: bool = True                 # false: its power is not judged (meter failures still count)

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
    warnings: tuple[str, ...] = field(default=(), compare=False)  # settings the helper will clamp, one line each

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


def _workers(value, cores: int | None) -> int:
    workers = _number(value, "load.workers", integer=True, minimum=1)
    if cores is not None and workers > cores:
        raise ProfileError(f"load.workers ({workers}) is more than this machine's {cores} logical processors")
    return workers


def _hb_timeout(value) -> int:
    ms = _number(value, "load.hb_timeout_ms", integer=True, minimum=0)
    if not MIN_HB_TIMEOUT_MS <= ms <= MAX_HB_TIMEOUT_MS:
        raise ProfileError(f"load.hb_timeout_ms must be {MIN_HB_TIMEOUT_MS}..{MAX_HB_TIMEOUT_MS} (the helper's range), "
                           f"not {ms!r}")
    return ms


def _watts(value, where: str) -> float:
    watts = float(_number(value, where, positive=True))
    if watts > MAX_WATTS:
        raise ProfileError(f"{where} must be at most {MAX_WATTS:g} W (what a meter may read), not {watts:g}")
    return watts


def _load(data: dict, cores: int | None = None) -> Load:
    t = _table(data, "load", "")
    _only(t, ("cpu", "gpu", "workers", "hb_timeout_ms", "max_run_s", "adapter_hint", "optional", "session_s"),
          "[load]")
    optional = t.get("optional", [])
    if not isinstance(optional, list) or any(d not in DOMAINS for d in optional):
        raise ProfileError(f"load.optional must be a list of {', '.join(DOMAINS)}, not {optional!r}")
    load = Load(
        cpu=_bool(t.get("cpu", False), "load.cpu"),
        gpu=_bool(t.get("gpu", False), "load.gpu"),
        workers=_workers(t["workers"], cores) if "workers" in t else None,
        hb_timeout_ms=_hb_timeout(t["hb_timeout_ms"]) if "hb_timeout_ms" in t else None,
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
        watts = _watts(watts, f"{where}.watts")
        if cap is not None:
            cap = _watts(cap, f"{where}.cap")
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
    _only(s, ("name", "seconds", "verdict", "judge", *DOMAINS), where)
    if "seconds" not in s:
        raise ProfileError(f"{where}: seconds is required")
    seconds = float(_number(s["seconds"], f"{where}.seconds", positive=True))
    if seconds > MAX_RUN_TOTAL_S:
        raise ProfileError(f"{where}.seconds must be at most {MAX_RUN_TOTAL_S:g} (a week), not {seconds:g}")
    doms = {}
    for d in DOMAINS:
        dom = _domain(s[d], f"{where}.{d}") if d in s else Domain("off")
        if dom.mode != "off" and not getattr(load, d):
            raise ProfileError(f"{where}.{d} is {dom.mode} but load.{d} is not true")
        doms[d] = dom
    name = _string(s["name"], f"{where}.name") if "name" in s else describe(doms["cpu"], doms["gpu"], load)
    verdict = _verdict(s["verdict"], f"{where}.verdict") if "verdict" in s else {}
    judge = _bool(s["judge"], f"{where}.judge") if "judge" in s else True
    return Step(name=name, seconds=seconds, verdict=verdict, judge=judge, **doms)


def _steps(data: dict, load: Load) -> tuple[Step, ...]:
    raw = data.get("steps")
    if not isinstance(raw, list) or not raw:
        raise ProfileError("the profile needs at least one [[steps]] entry")
    if len(raw) > MAX_STEPS:
        raise ProfileError(f"the profile has {len(raw)} steps; at most {MAX_STEPS} are run")
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
        # Counted before anything is built: a bomb of a group is refused at once.
        if len(steps) + rounds * len(group) > MAX_STEPS:
            raise ProfileError(f"{where} repeats {len(group)} steps {rounds} times: with the steps before it "
                               f"that is {len(steps) + rounds * len(group)} steps; at most {MAX_STEPS} are run")
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


def _depth(data) -> int:
    """How deeply tables and arrays nest, counted without recursion."""
    deepest, todo = 0, [(data, 1)]
    while todo:
        value, depth = todo.pop()
        if depth > deepest:
            deepest = depth
            if deepest > MAX_NESTING:
                break
        children = value.values() if isinstance(value, dict) else value
        todo += [(c, depth + 1) for c in children if isinstance(c, (dict, list))]
    return deepest


def _judgeable(profile: Profile) -> None:
    """A target step must leave readings to judge after its settling time, unless it says it
    is not judged."""
    for i, s in enumerate(profile.steps):
        settle = profile.criteria(i).settle_s
        targets = [d for d in DOMAINS if s.domain(d).mode == "target"]
        if s.judge and targets and s.seconds <= settle:
            raise ProfileError(f"step {i + 1} ({s.name}) lasts {s.seconds:g} s, no longer than its settle_s "
                               f"({settle:g} s): its {'+'.join(targets)} target could never be judged; lengthen "
                               f"the step, shorten settle_s, or mark the step judge = false")


def _clamped(profile: Profile) -> tuple[str, ...]:
    """Settings the helper will bound, one warning line each (the first of a kind only)."""
    out = []
    limit = profile.load.max_run_s
    if limit is not None and not MIN_RUN_S <= limit <= HELPER_MAX_RUN_S:
        out.append(f"load.max_run_s ({limit}) is outside the helper's {MIN_RUN_S}..{HELPER_MAX_RUN_S} s: "
                   f"it will run with {min(max(limit, MIN_RUN_S), HELPER_MAX_RUN_S)} s")
    for i, s in enumerate(profile.steps):
        for d in DOMAINS:
            dom = s.domain(d)
            if dom.mode == "target" and dom.cap_w is not None and dom.target_w > dom.cap_w:
                out.append(f"step {i + 1} ({s.name}): {d} watts {dom.target_w:g} is above its cap "
                           f"{dom.cap_w:g}: the helper steers to {dom.cap_w:g} W")
                return tuple(out)
    return tuple(out)


def parse(data: dict, default_name: str = "profile", cores: int | None = None) -> Profile:
    """A profile from the parsed TOML document; ProfileError names what is wrong. `cores`, the
    machine's logical processors, bounds load.workers when given."""
    if _depth(data) > MAX_NESTING:
        raise ProfileError(f"the profile nests tables and arrays more than {MAX_NESTING} deep")
    _only(data, ("name", "target", "load", "power", "steps", "verdict", "on_meter_failure", "sensors",
                 "sysfs_root", "safety"), "profile")
    name = _string(data["name"], "name") if "name" in data else default_name
    load = _load(data, cores)
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
    if profile.seconds > MAX_RUN_TOTAL_S:
        raise ProfileError(f"the profile runs {profile.seconds:g} s; at most {MAX_RUN_TOTAL_S:g} s (a week) are run")
    _judgeable(profile)
    return dataclasses.replace(profile, warnings=_clamped(profile))


def load_file(path: str | Path, cores: int | None = None) -> Profile:
    """The profile in `path`; `cores` as for `parse` (the runner gives this machine's)."""
    path = Path(path)
    try:
        with open(path, "rb") as f:
            text = f.read(MAX_PROFILE_BYTES + 1)
    except OSError as e:
        raise ProfileError(f"cannot read {path}: {e.strerror or e}") from None
    if len(text) > MAX_PROFILE_BYTES:
        raise ProfileError(f"{path} is larger than {MAX_PROFILE_BYTES >> 10} KiB: not a profile this runner reads")
    try:
        data = tomllib.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as e:
        raise ProfileError(f"{path} is not valid TOML: {e}") from None
    except RecursionError:  # the parser recurses once per level of nesting
        raise ProfileError(f"{path} nests tables and arrays more than {MAX_NESTING} deep") from None
    return parse(data, default_name=path.stem, cores=cores)


def limited_sensors(profile: Profile) -> set[str]:
    """Every sensor column a step's criteria or the safety limits name."""
    return {c for i in range(len(profile.steps)) for c in profile.criteria(i).sensor_max} | set(profile.safety)
