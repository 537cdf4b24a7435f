"""A bench instrument over SCPI through PyVISA's pure-Python backend: TCP sockets
(`TCPIP::HOST::PORT::SOCKET`), VXI-11 (`TCPIP::HOST::INSTR`), serial lines
(`ASRL/dev/ttyUSB0::INSTR`) and USB where the backend has it.

Each call is bounded by the instrument's time-out; every failure is an `ScpiError` with one
line saying what went wrong. A serial device named by a profile must be a character device
named directly, not through a link."""

from __future__ import annotations

import math
import os
import re
import stat

DEFAULT_TIMEOUT_S = 2.0
MAX_TIMEOUT_S = 60.0
_SERIAL = re.compile(r"^ASRL(/[^:]+)::INSTR$", re.IGNORECASE)


class ScpiError(RuntimeError):
    """An instrument that cannot be reached or answered wrongly; the message is one line.
    `broken`: the exchange is out of step (a time-out, a lost line) and must start afresh."""

    def __init__(self, message: str, broken: bool = False):
        super().__init__(message)
        self.broken = broken


def check_resource(resource, device: bool = False) -> str:
    """The resource as written; with `device`, also a serial line's device as it is now (so
    that checking a profile on another machine does not need the instrument)."""
    if not isinstance(resource, str) or "::" not in resource or "\n" in resource:
        raise ScpiError(f"a VISA resource such as \"TCPIP::host::5025::SOCKET\" is needed, not {resource!r}")
    m = _SERIAL.match(resource)
    if m and device:
        path = m.group(1)
        try:
            st = os.lstat(path)
        except OSError as e:
            raise ScpiError(f"{resource}: cannot open {path}: {e.strerror or e}") from None
        if stat.S_ISLNK(st.st_mode):
            raise ScpiError(f"{resource}: {path} is a link; name the device itself ({os.path.realpath(path)})")
        if not stat.S_ISCHR(st.st_mode):
            raise ScpiError(f"{resource}: {path} is not a serial device")
    return resource


def check_timeout(value, where: str) -> float:
    if value is None:
        return DEFAULT_TIMEOUT_S
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) \
            or not 0 < value <= MAX_TIMEOUT_S:
        raise ScpiError(f"{where}.timeout_s must be a number of seconds above 0 and at most {MAX_TIMEOUT_S:g}, "
                        f"not {value!r}")
    return float(value)


def check_command(value, where: str) -> str:
    if not isinstance(value, str) or not value.strip() or any(c in value for c in "\r\n"):
        raise ScpiError(f"{where} must be one SCPI command on one line, not {value!r}")
    return value.strip()


def _why(e: Exception, timeout_s: float) -> str:
    text = str(e)
    if "TMO" in text or "Timeout" in text or "timeout" in text:
        return f"gave no answer within {timeout_s:g} s"
    return f"failed: {type(e).__name__}: {text.splitlines()[0] if text else ''}".rstrip(": ")


class Instrument:
    def __init__(self, resource: str, timeout_s: float = DEFAULT_TIMEOUT_S):
        self.resource, self.timeout_s = resource, timeout_s
        self._rm = self._inst = None
        self.identity: str | None = None

    def open(self) -> None:
        check_resource(self.resource, device=True)
        try:
            import pyvisa
        except ImportError:
            raise ScpiError("PyVISA is not installed (Debian: python3-pyvisa python3-pyvisa-py)") from None
        try:
            self._rm = pyvisa.ResourceManager("@py")
            self._inst = self._rm.open_resource(self.resource, timeout=int(self.timeout_s * 1000),
                                                read_termination="\n", write_termination="\n",
                                                open_timeout=int(self.timeout_s * 1000))
        except Exception as e:  # the backend raises its own kinds, and OSError
            self.close()
            raise ScpiError(f"{self.resource}: cannot open: {_why(e, self.timeout_s)}") from None

    def write(self, command: str) -> None:
        if self._inst is None:
            raise ScpiError("is not connected", broken=True)
        try:
            self._inst.write(command)
        except Exception as e:
            raise ScpiError(f"{command!r} {_why(e, self.timeout_s)}", broken=True) from None

    def query(self, command: str) -> str:
        if self._inst is None:
            raise ScpiError("is not connected", broken=True)
        try:
            return self._inst.query(command).strip()
        except Exception as e:
            raise ScpiError(f"{command!r} {_why(e, self.timeout_s)}", broken=True) from None

    def check_errors(self) -> None:
        """The instrument's error queue must hold none: `SYST:ERR?` answers 0 first."""
        answer = self.query("SYST:ERR?")
        code = answer.split(",", 1)[0].strip().lstrip("+")
        if code != "0":
            raise ScpiError(f"reports error {answer[:80]!r}")

    def identify(self) -> dict:
        """`*IDN?` as make, model, serial and firmware (kept whole as `idn` too)."""
        self.identity = self.query("*IDN?")
        parts = [p.strip() for p in self.identity.split(",")] + [None] * 4
        return {"resource": self.resource, "idn": self.identity, "make": parts[0], "model": parts[1],
                "serial": parts[2], "firmware": parts[3]}

    def close(self) -> None:
        # Only the resource: PyVISA hands every caller the same manager, and closing it would
        # close the other instruments' sessions too.
        if self._inst is not None:
            try:
                self._inst.close()
            except Exception:
                pass
        self._inst = self._rm = None


def numbers(answer: str, count: int | None = None) -> list[float]:
    """The comma-separated numbers of an answer; ScpiError when it holds anything else."""
    try:
        values = [float(x) for x in answer.split(",")]
    except ValueError:
        values = []
    if not values or not all(math.isfinite(v) for v in values) or (count is not None and len(values) != count):
        raise ScpiError(f"answered {answer[:60]!r}, not " + ("a number" if count in (None, 1) else f"{count} numbers"))
    return values
