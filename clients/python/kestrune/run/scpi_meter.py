"""`power.source = "scpi"`: a bench power analyzer per domain.

    [power.cpu]
    resource = "TCPIP::analyzer.lab.example::5025::SOCKET"
    query = "MEAS:POW?"              # the default
    setup = ["*RST", ":INPUT:MODE DC"]  # sent once, before the first reading
    scale = 1.0                      # answer × scale = watts (0.001 for an answer in mW)
    timeout_s = 2.0

`*IDN?` is asked when it opens; the answer goes into the record's host."""

from __future__ import annotations

import math

from .power import Meter, SourceError
from .scpi import Instrument, ScpiError, check_command, check_resource, check_timeout
from .scpi_poll import Poller

KEYS = ("resource", "query", "setup", "scale", "timeout_s")


class ScpiMeter(Meter):
    def __init__(self, resource: str, query: str, setup: list[str], scale: float, timeout_s: float):
        self.resource, self.query, self.setup, self.scale = resource, query, setup, scale
        self.instrument = Instrument(resource, timeout_s)
        self.poller: Poller | None = None
        self.identity: dict | None = None
        self._problem: str | None = None

    def describe(self) -> str:
        return f"instrument {self.resource}"

    def open(self) -> None:
        try:
            self.instrument.open()
            self.identity = self.instrument.identify()
            for command in self.setup:
                self.instrument.write(command)
            self.instrument.check_errors()
            poller = Poller(self.instrument, self.query, 1)
            poller.first()
        except ScpiError as e:
            self.instrument.close()
            raise SourceError(f"power instrument {self.resource}: {e}".replace(f"{self.resource}: {self.resource}",
                                                                               self.resource)) from None
        self.poller = poller
        poller.start()

    def read(self, now: float) -> float | None:
        values, self._problem = self.poller.take() if self.poller else (None, None)
        return None if values is None else values[0] * self.scale

    def problem(self) -> str | None:
        p, self._problem = self._problem, None
        return p

    def close(self) -> None:
        if self.poller is not None:
            self.poller.close()
            self.poller = None
        self.instrument.close()


def make(domain: str, settings: dict) -> ScpiMeter:
    where = f"power.{domain}"
    for k in settings:
        if k not in KEYS:
            raise SourceError(f"[{where}]: unknown key {k!r} (known: {', '.join(KEYS)})")
    try:
        resource = check_resource(settings.get("resource"))
        query = check_command(settings.get("query", "MEAS:POW?"), f"{where}.query")
        setup = settings.get("setup", [])
        if not isinstance(setup, list):
            raise ScpiError(f"{where}.setup must be a list of commands, not {setup!r}")
        setup = [check_command(c, f"{where}.setup[{i}]") for i, c in enumerate(setup, 1)]
        timeout = check_timeout(settings.get("timeout_s"), where)
    except ScpiError as e:
        raise SourceError(f"{where}: {e}" if not str(e).startswith(where) else str(e)) from None
    scale = settings.get("scale", 1.0)
    if isinstance(scale, bool) or not isinstance(scale, (int, float)) or not math.isfinite(scale) or scale <= 0:
        raise SourceError(f"{where}.scale must be a number above 0, not {scale!r}")
    return ScpiMeter(resource, query, setup, float(scale), timeout)
