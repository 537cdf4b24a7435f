"""`kestrune run --metrics [HOST:]PORT`: the run's live state in the Prometheus text format.

The server binds when it is made, so a bad address or a port in use stops the run before the
helper starts. It keeps a registry of its own and answers each scrape from the latest snapshot
alone: `update` swaps one reference, so the run loop never waits for a scrape. How each request
is bounded is metrics_http's part."""

from __future__ import annotations

import socket
import sys
import threading
from collections.abc import Mapping

try:
    from prometheus_client import CollectorRegistry, generate_latest
    from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, InfoMetricFamily
except ImportError:  # the kit runs without it; only serving metrics needs it
    CollectorRegistry = None

from .live import DONE, FAIL, FAILING, HANDOVER, RUNNING, STARTING, STOPPING, Snapshot
from .metrics_http import Endpoint

RUN_STATES = (STARTING, RUNNING, HANDOVER, STOPPING, DONE)
MODES = ("off", "free", "target")
# The labels every series carries, so that one Prometheus tells machines and runs apart.
RUN_LABELS = ("host", "profile", "run_id")
# How long close() waits for the serving thread; it polls for shutdown this often.
_POLL_S = 0.2
_JOIN_S = 5.0


class MetricsError(ValueError):
    """A one-line reason why the endpoint cannot be served."""


def parse_address(value: str) -> tuple[str, int]:
    """`PORT`, `HOST:PORT` or `[IPV6]:PORT` -> (host, port); localhost unless a host is given."""
    text = value.strip()
    host, sep, port_text = text.rpartition(":")
    if not sep:
        host = "localhost"
    elif host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    elif ":" in host or host.startswith("[") or host.endswith("]"):
        host = ""  # an IPv6 address needs its brackets
    if not host or any(c.isspace() or c in "/[]" for c in host):
        raise MetricsError(f"--metrics {value!r}: expected [HOST:]PORT (an IPv6 host in brackets)")
    if not (port_text.isascii() and port_text.isdigit() and 1 <= int(port_text) <= 65535):
        raise MetricsError(f"--metrics {value!r}: the port must be a number from 1 to 65535")
    return host, int(port_text)


def _bind(host: str, port: int, page, log) -> Endpoint:
    where = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    try:
        family = socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM)[0][0]
    except (socket.gaierror, UnicodeError) as e:
        raise MetricsError(f"cannot serve metrics on {where}: unknown host ({getattr(e, 'strerror', None) or e})") \
            from None
    server_class = type("_FamilyEndpoint", (Endpoint,), {"address_family": family})
    try:
        return server_class((host, port), page, log)
    except OSError as e:
        raise MetricsError(f"cannot serve metrics on {where}: {(e.strerror or str(e)).lower()}") from None


class _RunCollector:
    """Turns the latest (snapshot, verdicts) into metric families at each scrape."""

    def __init__(self, labels: Mapping[str, str]):
        self._label_values = [str(labels.get(k, "")) for k in RUN_LABELS]
        self._latest: tuple[Snapshot | None, tuple[str | None, ...]] = (None, ())
        # Step names by 1-based index, remembered as the steps pass so that a finished step's
        # verdict still carries its name.
        self._step_names: dict[int, str] = {}

    def update(self, snapshot: Snapshot, verdicts) -> None:
        if isinstance(verdicts, Mapping):
            count = max((int(k) for k in verdicts), default=0)
            listed = tuple(verdicts.get(i + 1) for i in range(count))
        else:
            listed = tuple(verdicts or ())
        names = dict(self._step_names)
        names[snapshot.step_index + 1] = snapshot.step_name
        self._step_names = names
        self._latest = (snapshot, listed)  # one assignment: a scrape sees the old pair or the new

    def describe(self):
        return []  # families depend on the run; no registration-time check needed

    def _family(self, name, doc, extra=(), unit=""):
        return GaugeMetricFamily(name, doc, labels=[*RUN_LABELS, *extra], unit=unit)

    def collect(self):
        snap, verdicts = self._latest
        names = self._step_names
        lv = self._label_values
        state = self._family("kestrune_run_state", "1 for the run's current state, 0 for the others", ["state"])
        current = snap.state if snap else STARTING
        for s in RUN_STATES:
            state.add_metric([*lv, s], 1.0 if s == current else 0.0)
        yield state
        if snap is None:
            return
        helper = InfoMetricFamily("kestrune_helper", "The helper process serving the run", labels=RUN_LABELS)
        helper.add_metric(lv, {"pid": "" if snap.helper_pid is None else str(snap.helper_pid),
                               "version": snap.helper_version or ""})
        yield helper
        for name, doc, value in (
                ("kestrune_run_elapsed_seconds", "Seconds since the first step began", snap.run_s),
                ("kestrune_run_planned_seconds", "The profile's planned length", snap.run_total_s),
                ("kestrune_run_steps", "Steps in the profile", snap.step_count),
                ("kestrune_step_elapsed_seconds", "Seconds into the step in force", snap.step_s),
                ("kestrune_step_planned_seconds", "The planned length of the step in force", snap.step_total_s),
                ("kestrune_problems_active", "Meter or sensor failures in force", len(snap.problems))):
            g = self._family(name, doc)
            g.add_metric(lv, float(value))
            yield g
        # A problem can begin and end between two scrapes: the count of them all shows it.
        problems = CounterMetricFamily("kestrune_problems", "Problems the run met so far", labels=RUN_LABELS)
        problems.add_metric(lv, float(snap.problems_total))
        yield problems
        step = self._family("kestrune_step_index", "The step in force, counted from 1, named by step_name",
                            ["step_name"])
        step.add_metric([*lv, snap.step_name], float(snap.step_index + 1))
        yield step
        yield from self._verdicts(verdicts, names, lv)
        yield from self._domains(snap, lv)
        yield from self._sensors(snap, lv)

    def _verdicts(self, verdicts, names, lv):
        fam = self._family("kestrune_step_verdict", "1 for each step's verdict so far",
                           ["step", "step_name", "verdict"])
        failed = ended_failed = 0
        for i, v in enumerate(verdicts, start=1):
            if not v:
                continue
            failed += v in (FAIL, FAILING)
            ended_failed += v == FAIL
            fam.add_metric([*lv, str(i), names.get(i, ""), str(v)], 1.0)
        yield fam
        g = self._family("kestrune_steps_failing", "Steps failed or failing so far")
        g.add_metric(lv, float(failed))
        yield g
        # A step that fails and is over between two scrapes still counts here.
        c = CounterMetricFamily("kestrune_steps_failed", "Steps that ended with the verdict fail",
                                labels=RUN_LABELS)
        c.add_metric(lv, float(ended_failed))
        yield c

    def _domains(self, snap, lv):
        fams = {
            "duty": self._family("kestrune_domain_duty", "Duty as the helper last reported it, 0 to 1",
                                 ["domain"], unit="ratio"),
            "target": self._family("kestrune_domain_target_watts", "The target in force (absent when none)",
                                   ["domain"]),
            "measured": self._family("kestrune_domain_measured_watts",
                                     "The latest meter reading (absent when the meter has none)", ["domain"]),
            "stale": self._family("kestrune_domain_power_stale",
                                  "1 while the helper flags its power readings stale", ["domain"]),
            "mode": self._family("kestrune_domain_mode", "1 for the domain's mode, 0 for the others",
                                 ["domain", "mode"]),
            "error": self._family("kestrune_domain_error_percent",
                                  "The step's running error of the mean, in % of target", ["domain"]),
            "verdict": self._family("kestrune_domain_verdict", "1 for the domain's verdict in the step in force",
                                    ["domain", "verdict"]),
        }
        for d in snap.domains:
            at = [*lv, d.name]
            fams["duty"].add_metric(at, float(d.duty))
            if d.target_w is not None:
                fams["target"].add_metric(at, float(d.target_w))
            if d.measured_w is not None:
                fams["measured"].add_metric(at, float(d.measured_w))
            fams["stale"].add_metric(at, 1.0 if d.stale else 0.0)
            for m in MODES:
                fams["mode"].add_metric([*at, m], 1.0 if d.mode == m else 0.0)
            if d.error_pct is not None:
                fams["error"].add_metric(at, float(d.error_pct))
            if d.verdict:
                fams["verdict"].add_metric([*at, d.verdict], 1.0)
        yield from fams.values()

    def _sensors(self, snap, lv):
        value = self._family("kestrune_sensor_value", "Each recorded sensor's latest reading (absent when missing)",
                             ["sensor", "unit"])
        limit = self._family("kestrune_sensor_limit", "The upper limit the step in force holds a sensor under",
                             ["sensor", "unit"])
        for column, v in snap.sensors.items():
            unit = snap.sensor_units.get(column, "")
            if v is not None:
                value.add_metric([*lv, column, unit], float(v))
            if snap.sensor_limits.get(column) is not None:
                limit.add_metric([*lv, column, unit], float(snap.sensor_limits[column]))
        yield value
        yield limit


class MetricsServer:
    """Serves /metrics on `address` ("[HOST:]PORT" or (host, port)) from its own thread.

    `labels` gives host, profile and run_id. `update(snapshot, verdicts)` takes each status's
    snapshot and the verdict of every step so far: a sequence in step order (finished steps'
    final verdicts, then the step in force as it stands), or a mapping from the 1-based step
    index. Raises MetricsError, one line, for a bad address, an unknown host or a port in use.
    `log` (settable later, as `log`) hears one line per kind of connection error; by default
    they go to standard error."""

    def __init__(self, address: str | tuple[str, int], labels: Mapping[str, str], log=None):
        host, port = parse_address(address) if isinstance(address, str) else address
        if CollectorRegistry is None:
            raise MetricsError("--metrics needs Python's prometheus_client (Debian: python3-prometheus-client)")
        self._collector = _RunCollector(labels)
        self.registry = CollectorRegistry(auto_describe=False)
        self.registry.register(self._collector)
        self.log = log or (lambda line: print(line, file=sys.stderr, flush=True))
        self._httpd = _bind(host, port, lambda: generate_latest(self.registry), lambda line: self.log(line))
        self.host = host
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": _POLL_S},
                                        name="kestrune-metrics", daemon=True)
        self._thread.start()
        self._closed = False

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}/metrics"

    def update(self, snapshot: Snapshot, verdicts=()) -> None:
        self._collector.update(snapshot, verdicts)

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(_JOIN_S)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
