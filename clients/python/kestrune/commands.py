"""Builders for the five commands, as the dicts that `Helper.send` writes as one line."""

from __future__ import annotations

import math
from dataclasses import dataclass

MODES = ("off", "free", "target")
# The helper clamps a start command's maxRunS to this range of seconds.
MIN_RUN_S, MAX_RUN_S = 30, 1800


@dataclass(frozen=True)
class Domain:
    """One domain's setting in a set command: mode, and for "target" the watts and a cap."""

    mode: str = "off"
    target_w: float | None = None
    cap_w: float | None = None

    def __post_init__(self):
        if self.mode not in MODES:
            raise ValueError(f"mode must be one of {', '.join(MODES)}, not {self.mode!r}")
        for name in ("target_w", "cap_w"):
            value = getattr(self, name)
            if value is not None and (isinstance(value, bool) or not math.isfinite(float(value))):
                raise ValueError(f"{name} must be a finite number, not {value!r}")

    def to_wire(self) -> dict:
        out: dict = {"mode": self.mode}
        if self.target_w is not None:
            out["targetW"] = float(self.target_w)
        if self.cap_w is not None:
            out["capW"] = float(self.cap_w)
        return out


OFF = Domain("off")
FREE = Domain("free")


def target(watts: float, cap: float | None = None) -> Domain:
    return Domain("target", watts, cap)


def start_cmd(parent_pid, *, cpu=False, gpu=False, workers=None, hb_timeout_ms=None, max_run_s=None,
              nonce=None, v=1, adapter_hint=None) -> dict:
    """A start command; keys left at None are not sent, so the helper's defaults apply."""
    cmd = {"cmd": "start", "v": v}
    if nonce is not None:
        cmd["nonce"] = nonce
    cmd["parentPid"] = parent_pid
    if hb_timeout_ms is not None:
        cmd["hbTimeoutMs"] = hb_timeout_ms
    if max_run_s is not None:
        cmd["maxRunS"] = max_run_s
    cmd["cpu"] = {"enable": cpu}
    if workers is not None:
        cmd["cpu"]["workers"] = workers
    cmd["gpu"] = {"enable": gpu}
    if adapter_hint is not None:
        cmd["gpu"]["adapterHint"] = adapter_hint
    return cmd


def set_cmd(seq: int, cpu: Domain | None = None, gpu: Domain | None = None) -> dict:
    """A set command. A domain left out is switched off by the helper, so state both."""
    cmd: dict = {"cmd": "set", "seq": seq}
    if cpu is not None:
        cmd["cpu"] = cpu.to_wire()
    if gpu is not None:
        cmd["gpu"] = gpu.to_wire()
    return cmd


def power_cmd(cpu_w: float | None = None, gpu_w: float | None = None, at_ms: int | None = None) -> dict:
    """A power reading; a domain without a reading is left out (its regulator keeps waiting)."""
    cmd: dict = {"cmd": "power"}
    if cpu_w is not None:
        cmd["cpuW"] = round(float(cpu_w), 3)
    if gpu_w is not None:
        cmd["gpuW"] = round(float(gpu_w), 3)
    if at_ms is not None:
        cmd["atMs"] = at_ms
    return cmd


def hb_cmd() -> dict:
    return {"cmd": "hb"}


def stop_cmd(why: str | None = None) -> dict:
    cmd: dict = {"cmd": "stop"}
    if why is not None:
        cmd["why"] = why
    return cmd
