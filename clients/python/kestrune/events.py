"""The helper's events as typed records.

Parsing is strict: a key missing, a key the event does not have, or a value of the wrong
type raises ProtocolError naming the key, so a renamed key fails here instead of turning
into None somewhere downstream. Each record also gives back its wire form (`to_wire`), keys
in the order the helper writes them.
"""

from __future__ import annotations

import dataclasses
import json
import types
import typing
from dataclasses import dataclass, field
from typing import ClassVar, Union


class ProtocolError(ValueError):
    """A line from the helper that is not an event of this protocol."""


def _key(wire: str):
    return field(metadata={"wire": wire})


class _Record:
    """Parsing and the wire form for the records below, driven by their fields' wire keys."""

    @classmethod
    def _parse(cls, obj, where: str):
        if not isinstance(obj, dict):
            raise ProtocolError(f"{where}: an object expected, not {_kind(obj)}")
        fields = dataclasses.fields(cls)
        known = {f.metadata["wire"] for f in fields} | ({"ev"} if hasattr(cls, "EV") else set())
        for key in obj:
            if key not in known:
                raise ProtocolError(f"{where}: unknown key `{key}`")
        hints = typing.get_type_hints(cls)
        values = {}
        for f in fields:
            key = f.metadata["wire"]
            if key not in obj:
                raise ProtocolError(f"{where}: missing key `{key}`")
            values[f.name] = _value(hints[f.name], obj[key], f"{where}.{key}")
        return cls(**values)

    def to_wire(self) -> dict:
        out = {"ev": self.EV} if hasattr(self, "EV") else {}
        for f in dataclasses.fields(self):
            value = getattr(self, f.name)
            out[f.metadata["wire"]] = value.to_wire() if isinstance(value, _Record) else value
        return out


def _kind(value) -> str:
    return "null" if value is None else type(value).__name__


def _value(tp, value, where: str):
    args = typing.get_args(tp)
    if typing.get_origin(tp) in (Union, types.UnionType) and type(None) in args:
        if value is None:
            return None
        (tp,) = [a for a in args if a is not type(None)]
    # bool is an int to Python, never to the protocol.
    if tp is bool:
        ok = isinstance(value, bool)
    elif tp is int:
        ok = isinstance(value, int) and not isinstance(value, bool)
    elif tp is float:
        ok = isinstance(value, (int, float)) and not isinstance(value, bool)
        value = float(value) if ok else value
    elif tp is str:
        ok = isinstance(value, str)
    else:
        return tp._parse(value, where)
    if not ok:
        raise ProtocolError(f"{where}: {tp.__name__} expected, not {_kind(value)} {value!r}")
    return value


@dataclass(frozen=True)
class GpuInfo(_Record):
    """The hello's report on the GPU."""

    ok: bool = _key("ok")
    name: str | None = _key("name")
    vendor_id: int | None = _key("vendorId")
    dispatch_ms: float | None = _key("dispatchMs")
    err: str | None = _key("err")


@dataclass(frozen=True)
class CpuStatus(_Record):
    mode: str = _key("mode")
    duty: float = _key("duty")
    target_w: float | None = _key("targetW")
    power_stale: bool = _key("powerStale")


@dataclass(frozen=True)
class GpuStatus(_Record):
    mode: str = _key("mode")
    duty: float = _key("duty")
    target_w: float | None = _key("targetW")
    dispatch_ms: float | None = _key("dispatchMs")
    power_stale: bool = _key("powerStale")


class _Event(_Record):
    EV: ClassVar[str]

    @property
    def ev(self) -> str:
        return self.EV

    @classmethod
    def from_wire(cls, obj: dict):
        """The event from its parsed line; ProtocolError when it is not exactly this event."""
        if not isinstance(obj, dict) or obj.get("ev") != cls.EV:
            raise ProtocolError(f"not a {cls.EV} event: {obj!r}")
        return cls._parse(obj, cls.EV)


@dataclass(frozen=True)
class Hello(_Event):
    EV: ClassVar[str] = "hello"
    v: int = _key("v")
    nonce: str = _key("nonce")
    pid: int = _key("pid")
    isa: str = _key("isa")
    isa_max: str = _key("isaMax")
    workers: int = _key("workers")
    gpu: GpuInfo = _key("gpu")
    elevated: bool = _key("elevated")
    in_job: bool = _key("inJob")
    lab: bool = _key("lab")


@dataclass(frozen=True)
class Ack(_Event):
    EV: ClassVar[str] = "ack"
    seq: int = _key("seq")


@dataclass(frozen=True)
class Status(_Event):
    EV: ClassVar[str] = "status"
    t_ms: int = _key("tMs")
    cpu: CpuStatus = _key("cpu")
    gpu: GpuStatus = _key("gpu")

    def domain(self, name: str) -> CpuStatus | GpuStatus:
        """The status of domain "cpu" or "gpu"."""
        if name not in ("cpu", "gpu"):
            raise KeyError(name)
        return getattr(self, name)


@dataclass(frozen=True)
class Error(_Event):
    EV: ClassVar[str] = "error"
    code: str = _key("code")
    detail: str | None = _key("detail")


@dataclass(frozen=True)
class Bye(_Event):
    EV: ClassVar[str] = "bye"
    why: str = _key("why")
    code: int = _key("code")
    cpu_s: float = _key("cpuS")
    gpu_s: float = _key("gpuS")


Event = Union[Hello, Ack, Status, Error, Bye]
EVENT_TYPES: dict[str, type] = {t.EV: t for t in (Hello, Ack, Status, Error, Bye)}


def parse_event(obj) -> Event:
    """The typed event of one parsed line."""
    if not isinstance(obj, dict):
        raise ProtocolError(f"an event is an object, not {_kind(obj)}")
    if "ev" not in obj:
        raise ProtocolError("missing key `ev`")
    kind = EVENT_TYPES.get(obj["ev"]) if isinstance(obj["ev"], str) else None
    if kind is None:
        raise ProtocolError(f"ev: unknown event {obj['ev']!r}")
    return kind.from_wire(obj)


def _object(pairs):
    out = {}
    for key, value in pairs:
        if key in out:
            raise ProtocolError(f"key `{key}` given twice")
        out[key] = value
    return out


def _no_constant(name):
    raise ProtocolError(f"{name} is not JSON")


def parse_line(raw: bytes | str) -> Event:
    """The typed event of one output line."""
    try:
        obj = json.loads(raw, object_pairs_hook=_object, parse_constant=_no_constant)
    except ProtocolError as e:
        raise ProtocolError(f"{e}: {raw!r}") from None
    except ValueError as e:
        raise ProtocolError(f"not a JSON line: {raw!r} ({e})") from None
    return parse_event(obj)
