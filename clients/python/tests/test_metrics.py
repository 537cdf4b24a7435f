"""The metrics endpoint: addresses, binding, and what a scrape of a served snapshot says,
read back with prometheus_client's own parser."""

import socket
import threading
import time
import urllib.request

import prometheus_client
import pytest
from prometheus_client.parser import text_string_to_metric_families

from kestrune.run.live import DomainLive, Snapshot
from kestrune.run.metrics import MetricsError, MetricsServer, parse_address

LABELS = {"host": "lab-07", "profile": "soak", "run_id": "r-42"}
RUN = tuple(LABELS.items())


def scrape(server) -> dict:
    """{(sample name, frozenset of labels without the run's): value}, checking the run's labels."""
    with urllib.request.urlopen(server.url, timeout=10) as r:
        text = r.read().decode()
    samples = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            assert all(s.labels.get(k) == v for k, v in RUN), s
            rest = frozenset((k, v) for k, v in s.labels.items() if k not in LABELS)
            samples[(s.name, rest)] = s.value
    return samples


def key(name, **labels):
    return (name, frozenset(labels.items()))


SNAPSHOT = Snapshot(
    run_s=31.5, run_total_s=120.0, state="running", step_index=2, step_count=4, step_name="hold 40 W",
    step_s=3.5, step_total_s=30.0, next_step_name="cool down",
    domains=(DomainLive("cpu", "target", 0.62, 40.0, 41.5, False, 3.75, "failing"),
             DomainLive("gpu", "free", 0.0, None, None, True, None, None)),
    sensors={"coretemp_package_id_0_c": 97.0, "fan1_rpm": None, "cpu0_mhz": 3400.0},
    sensor_units={"coretemp_package_id_0_c": "c", "fan1_rpm": "rpm", "cpu0_mhz": "mhz"},
    helper_pid=4321, helper_version="1.0.0",
    problems=("power command gpu-meter for gpu gave no reading for 5.0 s",),
    sensor_limits={"coretemp_package_id_0_c": 95.0}, problems_total=3)


@pytest.fixture
def server():
    with MetricsServer(("127.0.0.1", 0), LABELS) as s:
        yield s


def test_a_served_snapshot_reads_back_series_by_series(server):
    first = SNAPSHOT.__class__(**{**SNAPSHOT.__dict__, "step_index": 0, "step_name": "idle"})
    server.update(first, [])
    server.update(SNAPSHOT, ["pass", "unjudged", "failing"])
    got = scrape(server)
    expected = {
        key("kestrune_run_state", state="running"): 1.0,
        key("kestrune_run_state", state="starting"): 0.0,
        key("kestrune_run_state", state="done"): 0.0,
        key("kestrune_run_elapsed_seconds"): 31.5,
        key("kestrune_run_planned_seconds"): 120.0,
        key("kestrune_step_index", step_name="hold 40 W"): 3.0,
        key("kestrune_run_steps"): 4.0,
        key("kestrune_step_elapsed_seconds"): 3.5,
        key("kestrune_step_planned_seconds"): 30.0,
        # A finished step keeps the name it had while in force; one never seen in force has none.
        key("kestrune_step_verdict", step="1", step_name="idle", verdict="pass"): 1.0,
        key("kestrune_step_verdict", step="2", step_name="", verdict="unjudged"): 1.0,
        key("kestrune_step_verdict", step="3", step_name="hold 40 W", verdict="failing"): 1.0,
        key("kestrune_steps_failing"): 1.0,
        key("kestrune_steps_failed_total"): 0.0,   # the failing step has not ended yet
        key("kestrune_domain_duty_ratio", domain="cpu"): 0.62,
        key("kestrune_domain_duty_ratio", domain="gpu"): 0.0,
        key("kestrune_domain_target_watts", domain="cpu"): 40.0,
        key("kestrune_domain_measured_watts", domain="cpu"): 41.5,
        key("kestrune_domain_power_stale", domain="cpu"): 0.0,
        key("kestrune_domain_power_stale", domain="gpu"): 1.0,
        key("kestrune_domain_mode", domain="cpu", mode="target"): 1.0,
        key("kestrune_domain_mode", domain="cpu", mode="off"): 0.0,
        key("kestrune_domain_mode", domain="gpu", mode="free"): 1.0,
        key("kestrune_domain_error_percent", domain="cpu"): 3.75,
        key("kestrune_domain_verdict", domain="cpu", verdict="failing"): 1.0,
        key("kestrune_sensor_value", sensor="coretemp_package_id_0_c", unit="c"): 97.0,
        key("kestrune_sensor_value", sensor="cpu0_mhz", unit="mhz"): 3400.0,
        key("kestrune_sensor_limit", sensor="coretemp_package_id_0_c", unit="c"): 95.0,
        key("kestrune_problems_active"): 1.0,
        key("kestrune_problems_total"): 3.0,     # two of them ended before this scrape
        key("kestrune_helper_info", pid="4321", version="1.0.0"): 1.0,
    }
    assert {k: got.get(k) for k in expected} == expected
    # Missing readings and absent targets are left out, not served as zero.
    for absent in (key("kestrune_domain_target_watts", domain="gpu"),
                   key("kestrune_domain_measured_watts", domain="gpu"),
                   key("kestrune_domain_error_percent", domain="gpu"),
                   key("kestrune_sensor_value", sensor="fan1_rpm", unit="rpm"),
                   key("kestrune_sensor_limit", sensor="fan1_rpm", unit="rpm"),
                   key("kestrune_sensor_limit", sensor="cpu0_mhz", unit="mhz")):
        assert absent not in got


@pytest.mark.parametrize("verdicts, failing, failed", [
    ({1: "pass", 3: "fail"}, 1.0, 1.0),                  # a mapping by step index, with a gap
    (("fail", "failing", "pass"), 2.0, 1.0),
    ((), 0.0, 0.0),
])
def test_failed_steps_are_counted_from_either_form_of_verdicts(server, verdicts, failing, failed):
    server.update(SNAPSHOT, verdicts)
    got = scrape(server)
    assert got[key("kestrune_steps_failing")] == failing
    assert got[key("kestrune_steps_failed_total")] == failed
    if isinstance(verdicts, dict):
        assert not any(k[0] == "kestrune_step_verdict" and ("step", "2") in k[1] for k in got)


def test_before_the_first_snapshot_only_the_starting_state_is_served(server):
    got = scrape(server)
    assert got[key("kestrune_run_state", state="starting")] == 1.0
    assert {name for name, _ in got} == {"kestrune_run_state"}


def test_the_server_keeps_its_own_registry_and_frees_its_port():
    s = MetricsServer(("127.0.0.1", 0), LABELS)
    s.update(SNAPSHOT, ())
    port = s.port
    assert b"kestrune_" not in prometheus_client.generate_latest(prometheus_client.REGISTRY)
    s.close()
    s.close()  # a second close is harmless
    MetricsServer(("127.0.0.1", port), LABELS).close()


def test_a_port_in_use_is_a_one_line_error():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        in_use = rf"^cannot serve metrics on 127\.0\.0\.1:{port}: address already in use$"
        with pytest.raises(MetricsError, match=in_use):
            MetricsServer(f"127.0.0.1:{port}", LABELS)
    unknown = r"^cannot serve metrics on no-such-host\.invalid:9470: unknown host \([^\[]"
    with pytest.raises(MetricsError, match=unknown):
        MetricsServer("no-such-host.invalid:9470", LABELS)


def test_without_the_client_library_only_serving_fails(monkeypatch):
    import kestrune.run.metrics as metrics
    monkeypatch.setattr(metrics, "CollectorRegistry", None)
    with pytest.raises(MetricsError, match=r"^--metrics needs Python's prometheus_client \(Debian: python3-"):
        MetricsServer("127.0.0.1:9470", LABELS)


@pytest.mark.parametrize("value, expected", [
    ("9470", ("localhost", 9470)),
    (" 9470 ", ("localhost", 9470)),
    ("0.0.0.0:1", ("0.0.0.0", 1)),
    ("lab-07.example:65535", ("lab-07.example", 65535)),
    ("[::1]:9470", ("::1", 9470)),
])
def test_addresses(value, expected):
    assert parse_address(value) == expected


@pytest.mark.parametrize("value, message", [
    ("", "port must be a number"),
    ("http", "port must be a number"),
    ("0", "port must be a number from 1 to 65535"),
    ("65536", "port must be a number"),
    ("-1", "port must be a number"),
    ("９４７０", "port must be a number"),   # digits, but not ASCII ones
    ("host:", "port must be a number"),
    (":9470", r"expected \[HOST:\]PORT"),
    ("::1:9470", r"expected \[HOST:\]PORT"),
    ("[::1:9470", r"expected \[HOST:\]PORT"),
    ("a b:9470", r"expected \[HOST:\]PORT"),
])
def test_bad_addresses_are_one_line_errors(value, message):
    with pytest.raises(MetricsError, match=message) as e:
        parse_address(value)
    assert "\n" not in str(e.value) and str(e.value).startswith("--metrics ")


def test_idle_connections_cannot_pile_up_threads(server):
    server.update(SNAPSHOT, ())
    before = threading.active_count()
    idle = [socket.create_connection(("127.0.0.1", server.port), timeout=5) for _ in range(30)]
    try:
        time.sleep(0.5)
        assert threading.active_count() - before <= 8
    finally:
        for s in idle:
            s.close()
    deadline = time.monotonic() + 10
    while True:  # the slots free as the closed connections are seen
        try:
            assert scrape(server)[key("kestrune_run_steps")] == 4.0
            break
        except OSError:
            assert time.monotonic() < deadline
            time.sleep(0.1)


def raw(port: int, request: bytes, timeout=5.0) -> bytes:
    """What the endpoint answers to `request`, read until it closes the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as c:
        c.sendall(request)
        data = b""
        while chunk := c.recv(65536):
            data += chunk
    return data


@pytest.mark.parametrize("request_line, status", [
    (b"GET /metrics HTTP/1.1", b"200"),
    (b"GET /metrics?x=1 HTTP/1.0", b"200"),
    (b"GET / HTTP/1.1", b"404"),
    (b"GET /metricsx HTTP/1.1", b"404"),
    (b"GET /../metrics HTTP/1.1", b"404"),
    (b"POST /metrics HTTP/1.1", b"405"),
    (b"hello", b"400"),
])
def test_only_metrics_is_served_and_each_answer_closes_its_connection(server, request_line, status):
    server.update(SNAPSHOT, ())
    answer = raw(server.port, request_line + b"\r\nHost: x\r\n\r\n")  # returns only once it closed
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.split(b" ")[1] == status and b"Connection: close" in head
    assert (b"kestrune_run_state" in body) == (status == b"200")


def test_trickling_clients_never_keep_a_scrape_out():
    lines = []
    with MetricsServer(("127.0.0.1", 0), LABELS, log=lines.append) as server:
        server.update(SNAPSHOT, ())
        stop = threading.Event()

        def trickle():  # one header byte now and then, on connections that are soon dropped
            while not stop.is_set():
                try:
                    with socket.create_connection(("127.0.0.1", server.port), timeout=5) as c:
                        while not stop.wait(0.3):
                            c.send(b"G")
                except OSError:
                    pass

        attackers = [threading.Thread(target=trickle, daemon=True) for _ in range(12)]
        for t in attackers:
            t.start()
        time.sleep(1.0)  # every slot is taken by a trickler by now
        try:
            # Every scrape is answered: a fresh connection pushes out the oldest trickler.
            for _ in range(20):
                assert scrape(server)[key("kestrune_run_steps")] == 4.0
                time.sleep(0.1)
        finally:
            stop.set()
            for t in attackers:
                t.join(5)
    # One line per kind of trouble, however often it came; no traceback.
    assert len(lines) == len(set(lines)) and all("\n" not in line for line in lines), lines
    assert any("slow client was dropped" in line for line in lines), lines


def test_a_client_that_sends_its_head_too_slowly_is_dropped_after_two_seconds(server):
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as c:
        began = time.monotonic()
        c.send(b"GET /metr")
        try:
            while c.recv(100):
                pass
        except ConnectionResetError:
            pass
        waited = time.monotonic() - began
    # Not before its 2 s; and closed by the endpoint, not left to the client's 10 s timeout.
    assert waited >= 1.99, waited


def test_connection_resets_are_one_line_each_kind():
    lines = []
    with MetricsServer(("127.0.0.1", 0), LABELS, log=lines.append) as server:
        server.update(SNAPSHOT, ())
        for _ in range(20):
            c = socket.create_connection(("127.0.0.1", server.port), timeout=5)
            c.sendall(b"GET /metrics HTTP/1.1\r\n\r\n")
            # Closed with unread data and SO_LINGER 0: the endpoint sees a reset.
            c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            c.close()
        time.sleep(0.5)
        assert scrape(server)[key("kestrune_run_steps")] == 4.0
    assert len(lines) == len(set(lines)) <= 3, lines
    assert all(line.startswith("kestrune: metrics endpoint: ") and "Traceback" not in line for line in lines)
