"""A multi-channel logger over SCPI as sensors, one column per channel:

    { name = "tc", scpi = "TCPIP::logger.lab.example::5025::SOCKET",
      query = "MEAS:TEMP? TC,K,(@101:110)", unit = "c", timeout_s = 2 }

records `tc_101_c` ... `tc_110_c` from one query that answers the channels' values in the
channel list's order. An instrument that fails gives missing values and one problem line,
like any sensor."""

from __future__ import annotations

import re

from .scpi import Instrument, ScpiError, check_command, check_resource, check_timeout
from .scpi_poll import Poller

KEYS = ("name", "scpi", "query", "unit", "timeout_s", "max_age_s")
CHANNEL_LIST = re.compile(r"\(@\s*([0-9][0-9:,\s]*)\)")
MAX_CHANNELS = 512


def channels(query: str) -> list[int]:
    """The channel numbers of an SCPI channel list, `(@101:103,105)` → 101, 102, 103, 105;
    none when the query has no list (one value)."""
    m = CHANNEL_LIST.search(query)
    out: list[int] = []
    for part in (m.group(1).split(",") if m else []):
        lo, _, hi = (x.strip() for x in part.partition(":"))
        if not lo.isdigit() or (hi and not hi.isdigit()):
            raise ScpiError(f"the channel list in {query!r} cannot be read")
        first, last = int(lo), int(hi or lo)
        if last < first or len(out) + last - first + 1 > MAX_CHANNELS:
            raise ScpiError(f"the channel list in {query!r} is not a list of at most {MAX_CHANNELS} channels")
        out += range(first, last + 1)
    if len(set(out)) != len(out):
        raise ScpiError(f"the channel list in {query!r} names a channel twice")
    return out


class ChannelReader:
    """One channel of the logger, read from the logger's shared newest answer."""

    def __init__(self, logger: "Logger", index: int):
        self.logger, self.index = logger, index

    def read(self, now: float) -> tuple[float | None, str]:
        return self.logger.value(now, self.index)


class Logger:
    def __init__(self, name: str, resource: str, query: str, count: int, timeout_s: float, max_age_s: float):
        self.name, self.query, self.count, self.max_age_s = name, query, count, max_age_s
        self.instrument = Instrument(resource, timeout_s)
        self.poller = Poller(self.instrument, query, count)
        self.identity: dict | None = None
        self._values: list[float] | None = None
        self._at: float | None = None
        self._why = ""
        self._taken_at: float | None = None

    def open(self) -> None:
        try:
            self.instrument.open()
            self.identity = self.instrument.identify()
            self.instrument.check_errors()
            self.poller.first()
        except ScpiError as e:
            self.instrument.close()
            raise ScpiError(f"sensor {self.name!r}: {e}") from None
        self.poller.start()

    def value(self, now: float, index: int) -> tuple[float | None, str]:
        if self._taken_at != now:  # one take per sample, shared by the channels
            self._taken_at = now
            values, problem = self.poller.take()
            if problem:
                self._values, self._at, self._why = None, None, f"{self.instrument.resource} {problem}"
            if values is not None:
                self._values, self._at, self._why = values, now, ""
        if self._values is not None and self._at is not None and now - self._at <= self.max_age_s:
            return self._values[index], ""
        return None, self._why or f"{self.instrument.resource} gave no answer for {self.max_age_s:g} s"

    def close(self) -> None:
        self.poller.close()


def logger_of(item: dict, where: str) -> tuple[Logger, list[str], str]:
    """The logger a profile's table names, not yet opened, with its columns and unit;
    ScpiError (one line) for a table that cannot be used."""
    # The sensors module names columns and checks what every sensor table holds.
    from .sensors import slug, table_name, table_unit_and_age
    name = table_name(item, where, KEYS, ScpiError)
    resource = check_resource(item.get("scpi"))
    query = check_command(item.get("query"), f"{where}.query")
    unit, age = table_unit_and_age(item, where, 5.0, ScpiError)
    timeout = check_timeout(item.get("timeout_s"), where)
    chans = channels(query)
    stems = [f"{slug(name)}_{c}" for c in chans] or [slug(name)]
    columns = [f"{s}_{unit}" if unit else s for s in stems]
    return Logger(name, resource, query, len(columns), timeout, age), columns, unit
