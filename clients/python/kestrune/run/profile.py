"""Load profiles: a TOML file naming the target, the loads, the power source and timed steps.

    name = "demo"
    [target]
    kind = "native"              # or "wine"; optional exe (native: a path; wine: a file name),
                                 # build (wine: the folder with the launcher), prefix (wine)
    [load]
    cpu = true                   # gpu, workers, hb_timeout_ms, max_run_s, adapter_hint
    [power]
    source = "model"             # "model", "command" or "sysfs"; interval_s = 0.25
    [power.cpu]                  # per domain, the source's settings (see power.py)
    idle_w = 15.0
    [[steps]]
    name = "ramp"                # optional
    seconds = 5
    cpu = "free"                 # "off", "free", or { mode = "target", watts = 40, cap = 45 }

A domain a step does not name is off in that step, as in the set command itself.
"""

from __future__ import annotations

import math
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

from ..commands import MAX_RUN_S, MIN_RUN_S, MODES, Domain
from .power import SOURCES

DOMAINS = ("cpu", "gpu")
TARGET_KINDS = ("native", "wine")
# Room within the helper's run limit for the start and the stop.
RUN_LIMIT_MARGIN_S = 10
MAX_PROFILE_S = float(MAX_RUN_S - RUN_LIMIT_MARGIN_S)


class ProfileError(ValueError):
    """A profile that cannot run; the message names the key at fault."""


@dataclass(frozen=True)
class Target:
    kind: str = "native"
    exe: str | None = None
    build: str | None = None
    prefix: str | None = None


@dataclass(frozen=True)
class Load:
    cpu: bool = False
    gpu: bool = False
    workers: int | None = None
    hb_timeout_ms: int | None = None
    max_run_s: int | None = None
    adapter_hint: str | None = None

    def enabled(self) -> tuple[str, ...]:
        return tuple(d for d in DOMAINS if getattr(self, d))


@dataclass(frozen=True)
class Power:
    source: str = "model"
    interval_s: float = 0.25
    domains: dict = field(default_factory=dict)  # domain -> that domain's source settings


@dataclass(frozen=True)
class Step:
    name: str
    seconds: float
    cpu: Domain = Domain("off")
    gpu: Domain = Domain("off")

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

    @property
    def seconds(self) -> float:
        return sum(s.seconds for s in self.steps)

    def max_run_s(self) -> int:
        if self.load.max_run_s is not None:
            return self.load.max_run_s
        return min(MAX_RUN_S, max(MIN_RUN_S, math.ceil(self.seconds) + RUN_LIMIT_MARGIN_S))

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
    _only(t, ("kind", "exe", "build", "prefix"), "[target]")
    kind = t.get("kind", "native")
    if kind not in TARGET_KINDS:
        raise ProfileError(f"target.kind must be one of {', '.join(TARGET_KINDS)}, not {kind!r}")
    opt = {k: _string(t[k], f"target.{k}") for k in ("exe", "build", "prefix") if k in t}
    return Target(kind=kind, **opt)


def _load(data: dict) -> Load:
    t = _table(data, "load", "")
    _only(t, ("cpu", "gpu", "workers", "hb_timeout_ms", "max_run_s", "adapter_hint"), "[load]")
    load = Load(
        cpu=_bool(t.get("cpu", False), "load.cpu"),
        gpu=_bool(t.get("gpu", False), "load.gpu"),
        workers=_number(t["workers"], "load.workers", integer=True, minimum=1) if "workers" in t else None,
        hb_timeout_ms=(_number(t["hb_timeout_ms"], "load.hb_timeout_ms", integer=True, minimum=0)
                       if "hb_timeout_ms" in t else None),
        max_run_s=_number(t["max_run_s"], "load.max_run_s", integer=True, minimum=0) if "max_run_s" in t else None,
        adapter_hint=_string(t["adapter_hint"], "load.adapter_hint") if "adapter_hint" in t else None,
    )
    if not load.enabled():
        raise ProfileError("[load] starts nothing: set cpu = true and/or gpu = true")
    return load


def _power(data: dict, load: Load) -> Power:
    t = _table(data, "power", "")
    _only(t, ("source", "interval_s", *DOMAINS), "[power]")
    source = t.get("source", "model")
    if source not in SOURCES:
        raise ProfileError(f"power.source must be one of {', '.join(SOURCES)}, not {source!r}")
    interval = _number(t.get("interval_s", 0.25), "power.interval_s", positive=True)
    if interval > 1.0:
        # The helper calls readings older than 2 s stale; stay well inside that.
        raise ProfileError(f"power.interval_s must be at most 1.0, not {interval!r}")
    domains = {}
    for d in DOMAINS:
        settings = _table(t, d, "power.")
        if settings and not getattr(load, d):
            raise ProfileError(f"[power.{d}] is set but load.{d} is not true")
        if getattr(load, d):
            domains[d] = dict(settings)
    return Power(source=source, interval_s=float(interval), domains=domains)


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


def _steps(data: dict, load: Load) -> tuple[Step, ...]:
    raw = data.get("steps")
    if not isinstance(raw, list) or not raw:
        raise ProfileError("the profile needs at least one [[steps]] entry")
    steps = []
    for i, s in enumerate(raw, 1):
        where = f"steps[{i}]"
        if not isinstance(s, dict):
            raise ProfileError(f"{where} must be a table")
        _only(s, ("name", "seconds", *DOMAINS), where)
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
        steps.append(Step(name=name, seconds=seconds, **doms))
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
    _only(data, ("name", "target", "load", "power", "steps"), "profile")
    name = _string(data["name"], "name") if "name" in data else default_name
    load = _load(data)
    profile = Profile(name=name, target=_target(data), load=load, power=_power(data, load),
                      steps=_steps(data, load))
    if profile.seconds > MAX_PROFILE_S:
        raise ProfileError(f"the steps last {profile.seconds:g} s; a run may last at most {MAX_PROFILE_S:g} s")
    if profile.load.max_run_s is not None and profile.load.max_run_s < profile.seconds:
        raise ProfileError(f"load.max_run_s ({profile.load.max_run_s}) is shorter than the steps "
                           f"({profile.seconds:g} s): the helper would end the run early")
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
