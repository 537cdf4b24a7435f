"""docs/protocol.schema.json: strict where the program is, and saying what the reference says."""

import decimal
import json
import re
from decimal import Decimal

import jsonschema
import pytest

from kestrune import ERROR_CODES, MAX_RUN_S, MIN_RUN_S, MODES, STOP_REASONS
from conftest import changed
from kestrune.paths import ROOT
from kestrune.testing.contract import EventContract, load_schema, validator

SCHEMA = load_schema()
DEFS = SCHEMA["$defs"]
REFERENCE = (ROOT / "docs" / "protocol.md").read_text()
EVENTS = validator(SCHEMA, "event")
COMMANDS = validator(SCHEMA, "command")
U32_MAX, U64_MAX = 2**32 - 1, 2**64 - 1

HELLO = {"ev": "hello", "v": 1, "nonce": "run-42", "pid": 4711, "isa": "avx2fma", "isaMax": "avx512",
         "workers": 7, "gpu": {"ok": True, "name": "Vendor A Graphics", "vendorId": 4318, "dispatchMs": 20.3,
                               "err": None}, "elevated": False, "inJob": True, "lab": False}
STATUS = {"ev": "status", "tMs": 1250,
          "cpu": {"mode": "target", "duty": 0.438, "targetW": 45.0, "powerStale": False},
          "gpu": {"mode": "free", "duty": 0.5, "targetW": None, "dispatchMs": 20.1, "powerStale": False}}
BYE = {"ev": "bye", "why": "stop", "code": 0, "cpuS": 12.3, "gpuS": 0.0}
SET = {"cmd": "set", "seq": 7, "cpu": {"mode": "target", "targetW": 45.0}, "gpu": {"mode": "free"}}
START = {"cmd": "start", "v": 1, "nonce": "n", "parentPid": 42, "cpu": {"enable": True}, "gpu": {"enable": False}}
STALE = changed(STATUS, "cpu", {"mode": "target", "duty": 0.0, "targetW": 45.0, "powerStale": True})

# Lines the helper writes, among them values whose decimal text is a multiple of the step
# while their binary double divided by it is not whole (0.3 / 0.1, 0.043 / 0.001).
WRITTEN = [
    HELLO, STATUS, BYE, STALE, {"ev": "ack", "seq": U64_MAX},
    {"ev": "error", "code": "fatal", "detail": None},
    {"ev": "error", "code": "cpuWorker", "detail": None},
    {"ev": "error", "code": "timer", "detail": None},
    {"ev": "error", "code": "timer", "detail": "waitable timer failed"},
    {"ev": "error", "code": "gpuSlow", "detail": "two dispatches above 250 ms"},
    {"ev": "error", "code": "gpuDeviceRemoved", "detail": "DXGI_ERROR_DEVICE_REMOVED (0x887A0005)"},
    {"ev": "error", "code": "gpuDeviceRemoved", "detail": "HRESULT (0x80070057)"},
    {"ev": "error", "code": "gpuDeviceRemoved", "detail": "DXGI_ERROR_DEVICE_HUNG (0x887A0006) after 1500 ms"},
    {"ev": "error", "code": "gpuDeviceRemoved", "detail": "VK_ERROR_DEVICE_LOST (-4)"},
    {"ev": "error", "code": "gpuDeviceRemoved", "detail": "VK_TIMEOUT (2) after 1500 ms"},
    {"ev": "error", "code": "badLine", "detail": "é" * 100},             # 200 bytes
    changed(HELLO, "gpu", {"ok": False, "name": None, "vendorId": None, "dispatchMs": None, "err": "noAdapter"}),
    changed(HELLO, "gpu.dispatchMs", 0.3),
    changed(STATUS, "cpu.targetW", 0.0),
    changed(STATUS, "cpu.targetW", 0.3),
    changed(STATUS, "cpu.targetW", 1e300),
    changed(STATUS, "cpu.duty", 0.043),
    changed(STATUS, "gpu.duty", 0.007),
    changed(STATUS, "gpu.dispatchMs", 19.9),
    changed(BYE, "cpuS", 0.3),
    changed(BYE, "gpuS", 1799.7),
]


@pytest.mark.parametrize("event", WRITTEN)
def test_events_the_program_writes_are_valid(event):
    assert list(EVENTS.iter_errors(event)) == []


@pytest.mark.parametrize("event, where", [
    (changed(STATUS, "cpu"), "cpu"),                                    # a key missing
    (changed(HELLO, "extra", 1), "extra"),                              # a key too many
    (changed(STATUS, "gpu.extra", 1), "extra"),                         # ... in a nested object
    (changed(STATUS, "cpu.duty", 1.001), "duty"),                       # out of range
    (changed(STATUS, "cpu.duty", -0.001), "duty"),
    (changed(STATUS, "tMs", "1250"), "tMs"),                            # a string for a number
    (changed(STATUS, "gpu.duty", "0.5"), "duty"),
    (changed(STATUS, "cpu.duty", None), "duty"),                        # null where not allowed
    (changed(BYE, "cpuS", -0.1), "cpuS"),
    (changed(BYE, "code", 2), "code"),                                  # stop ends with 0
    (changed(BYE, "why", "quit"), "why"),
    (changed(HELLO, "v", 2), "v"),
    (changed(HELLO, "pid", U32_MAX + 1), "pid"),
    (changed(HELLO, "nonce", "x" * 65), "nonce"),
    (changed(HELLO, "isa", "avx512"), "isa"),
    (changed(HELLO, "inJob", False), "inJob"),
    (changed(HELLO, "gpu.err", "compile"), "err"),                      # ok with a failure
    (changed(HELLO, "gpu.ok", False), "name"),                          # not ok, yet named
    (changed(STATUS, "cpu.mode", "off"), "duty"),                       # off with load
    (changed(STATUS, "cpu.targetW", None), "targetW"),                  # target without watts
    (changed(STATUS, "gpu.duty", 0.0), "dispatchMs"),                   # a dispatch time at duty 0
    (changed(STATUS, "gpu.mode", "fast"), "mode"),
    ({"ev": "error", "code": "oops", "detail": None}, "code"),
    ({"ev": "ack", "seq": -1}, "seq"),
    ({"ev": "ack", "seq": 1.0}, "seq"),                                 # an integer's text has no point
    ({"ev": "goodbye"}, "ev"),
    (changed(STATUS, "cpu.duty", 0.4385), "duty"),                      # more decimals than written
    (changed(STATUS, "gpu.duty", 0.0005), "duty"),
    (changed(STATUS, "cpu.targetW", 45.05), "targetW"),
    (changed(STATUS, "gpu.dispatchMs", 20.15), "dispatchMs"),
    (changed(HELLO, "gpu.dispatchMs", 20.25), "dispatchMs"),
    (changed(BYE, "cpuS", 12.34), "cpuS"),
    (changed(BYE, "gpuS", 0.05), "gpuS"),
    (changed(STALE, "cpu.duty", 0.25), "duty"),                         # stale readings, yet load
    (changed(STATUS, "gpu.powerStale", True), "duty"),
    ({"ev": "error", "code": "badLine", "detail": None}, "detail"),     # a rejection without a reason
    ({"ev": "error", "code": "badLine", "detail": ""}, "detail"),
    ({"ev": "error", "code": "badLine", "detail": "x" * 201}, "detail"),  # cut to 200
    ({"ev": "error", "code": "cpuWorker", "detail": "no threads"}, "detail"),
    ({"ev": "error", "code": "fatal", "detail": "oops"}, "detail"),
    ({"ev": "error", "code": "timer", "detail": "timer broke"}, "detail"),
    ({"ev": "error", "code": "gpuSlow", "detail": "two dispatches above 300 ms"}, "detail"),
    ({"ev": "error", "code": "gpuSlow", "detail": None}, "detail"),
    ({"ev": "error", "code": "gpuDeviceRemoved", "detail": "the device went away"}, "detail"),
    ({"ev": "error", "code": "gpuDeviceRemoved", "detail": "HRESULT (0x887a0005)"}, "detail"),
    ({"ev": "error", "code": "gpuDeviceRemoved", "detail": None}, "detail"),
    ({"ev": "ack", "seq": 7, "cmd": "hb"}, "cmd"),                      # an event that reads as a command
])
def test_the_schema_refuses_what_the_program_never_writes(event, where):
    errors = list(EVENTS.iter_errors(event))
    assert errors, event
    assert any(where in [*map(str, e.absolute_path), *re.findall(r"'(\w+)'", e.message)] for e in errors), \
        [e.message for e in errors]


def test_the_documents_root_is_the_event_schema_and_refuses_commands():
    # A stranger's validator given the file as it is: an ack carrying `cmd` is a valid hb
    # command (commands ignore other keys), and must not pass for an event.
    root = jsonschema.Draft202012Validator(SCHEMA)
    assert list(root.iter_errors(HELLO)) == [] and list(root.iter_errors(BYE)) == []
    assert list(root.iter_errors({"ev": "ack", "seq": 7, "cmd": "hb"}))
    assert list(COMMANDS.iter_errors({"ev": "ack", "seq": 7, "cmd": "hb"})) == []
    for command in (SET, START, {"cmd": "hb"}, {"cmd": "stop"}):
        assert list(root.iter_errors(command)), command


def test_an_unextended_validator_reading_decimals_agrees():
    """The recipe the schema gives a stranger: numbers read as Decimal, schema included,
    and the library's own validator. Written values pass, one decimal too many does not."""
    schema = json.loads(json.dumps(SCHEMA), parse_float=Decimal)
    stock = jsonschema.Draft202012Validator(schema)
    with decimal.localcontext(prec=320):
        for event in [*WRITTEN, changed(STATUS, "cpu.targetW", 1.7e308)]:
            line = json.dumps(event)
            assert list(stock.iter_errors(json.loads(line, parse_float=Decimal))) == [], line
        for line in ('{"ev":"bye","why":"stop","code":0,"cpuS":12.34,"gpuS":0.0}',
                     '{"ev":"error","code":"gpuSlow","detail":"two dispatches above 250 ms","x":1}'):
            assert list(stock.iter_errors(json.loads(line, parse_float=Decimal))), line


def test_a_detail_is_held_to_its_length_in_bytes():
    contract = EventContract(SCHEMA)
    fits = '{"ev":"error","code":"badLine","detail":"' + "é" * 100 + '"}\n'
    over = '{"ev":"error","code":"badLine","detail":"' + "é" * 101 + '"}\n'
    assert contract.problems(fits.encode()) == []
    assert contract.problems(over.encode()) == ["error.detail: 202 bytes, more than 200"]


@pytest.mark.parametrize("command, valid", [
    (SET, True),
    (START, True),
    ({"cmd": "set", "seq": 1, "cpu": {"mode": {"free": None}}, "gpu": None, "other": [1]}, True),
    ({"cmd": "power", "cpuW": 41, "gpuW": None, "atMs": 5}, True),
    ({"cmd": "stop", "why": None}, True),
    ({"cmd": "hb", "anything": {}}, True),
    (changed(SET, "seq"), False),
    (changed(SET, "seq", -1), False),
    (changed(SET, "seq", U64_MAX + 1), False),
    (changed(SET, "cpu.mode"), False),
    (changed(SET, "cpu.mode", "fast"), False),
    (changed(SET, "cpu.mode", {"free": None, "off": None}), False),
    (changed(SET, "cpu.targetW", "45"), False),
    (changed(START, "cpu", None), False),
    (changed(START, "v", None), False),
    (changed(START, "parentPid", -1), False),
    (changed(START, "gpu.enable", 1), False),
    ({"cmd": "power", "cpuW": "20"}, False),
    ({"cmd": "Start"}, False),
    ({"cmd": 5}, False),
])
def test_commands_are_held_to_the_decoders_rules(command, valid):
    assert (list(COMMANDS.iter_errors(command)) == []) == valid


# --- the reference's tables ------------------------------------------------------------------

def reference_tables():
    """{heading: [table as a list of rows, each a list of cells]} for every `### ` or `## `
    heading; a cell keeps its backquotes."""
    tables, heading, table = {}, None, None
    for line in REFERENCE.splitlines():
        if line.startswith("#"):
            heading, table = line.lstrip("#").strip(), None
        elif line.startswith("|") and heading is not None:
            row = [c.strip() for c in line.strip().strip("|").split("|")]
            if table is None:
                table = []
                tables.setdefault(heading, []).append(table)
            if not all(set(c) <= set("-: ") for c in row):
                table.append(row)
        else:
            table = None
    return tables


def find_table(heading_start, first_header):
    for heading, tables in reference_tables().items():
        if heading.startswith(heading_start):
            for table in tables:
                if table[0][0] == first_header:
                    return table
    raise AssertionError(f"no table headed {first_header!r} under {heading_start!r} in docs/protocol.md")


def resolve(node):
    while "$ref" in node:
        node = {**DEFS[node["$ref"].rsplit("/", 1)[1]], **{k: v for k, v in node.items() if k != "$ref"}}
    return node


def wire_type(node) -> str:
    """A key's type as the reference writes it: u32, u64, f64, string, bool, object, "or null"."""
    node = resolve(node)
    if "oneOf" in node:
        kinds = [wire_type(alt) for alt in node["oneOf"]]
        return kinds[0] + (" or null" if "null" in kinds[1:] else "")
    types = node["type"] if isinstance(node["type"], list) else [node["type"]]
    names = {"number": "f64", "string": "string", "boolean": "bool", "object": "object", "null": "null"}
    kind = types[0]
    if kind == "integer":
        name = {U32_MAX: "u32", U64_MAX: "u64"}[node["maximum"]]
    else:
        name = names[kind]
    return name + (" or null" if "null" in types[1:] else "")


def default_text(key, node, required) -> str:
    if key in required:
        return "required"
    value = node["default"]
    if isinstance(value, dict):
        return "see below"
    return "`\"\"`" if value == "" else json.dumps(value)


def object_ref(prop):
    """The definition a key's object value refers to (through a "or null"), or None."""
    for alt in prop.get("oneOf", [prop]):
        if "$ref" in alt and resolve(alt).get("type") == "object":
            return alt["$ref"]
    return None


def schema_rows(name):
    """{reference key: (type, default, clamp)} of a command or event; nested keys dotted,
    those of two keys of one kind (a set's cpu and gpu) written `*.key`, as the tables do."""
    rows = {}

    def walk(node, prefix):
        node = resolve(node)
        required = node.get("required", [])
        refs = [object_ref(p) for p in node["properties"].values()]
        walked = set()
        for key, prop in node["properties"].items():
            if key in ("cmd", "ev"):
                continue
            given = "default" in prop or key in required
            clamp = "..".join(map(str, prop["x-clamp"])) if "x-clamp" in prop else None
            rows[prefix + key] = (wire_type(prop), default_text(key, prop, required) if given else None, clamp)
            ref = object_ref(prop)
            if ref is not None and ref not in walked:
                walked.add(ref)
                walk({"$ref": ref}, "*." if refs.count(ref) > 1 else f"{prefix}{key}.")
    walk(DEFS[name], "")
    return rows


def reference_rows(name):
    """{key: (type, default, clamp)} from the reference's table of a command or event."""
    table = find_table(f"`{name}`", "Key")
    header = table[0]
    rows = {}
    for row in table[1:]:
        cell = dict(zip(header, row))
        default = cell.get("Default")
        clamp = cell.get("Clamp")
        for key in re.findall(r"`([^`]+)`", cell["Key"]):
            rows[key] = (cell["Type"], default, clamp)
    return rows


@pytest.mark.parametrize("name", ["start", "set", "power"])
def test_the_references_command_tables_match_the_schema(name):
    ours = schema_rows(name)
    theirs = reference_rows(name)
    assert sorted(theirs) == sorted(ours), "keys differ"
    for key, (kind, default, clamp) in ours.items():
        doc_kind, doc_default, doc_clamp = theirs[key]
        assert (key, doc_kind, doc_default) == (key, kind, default)
        if clamp is not None or re.fullmatch(r"\d+\.\.\d+", doc_clamp or ""):
            assert (key, doc_clamp) == (key, clamp)


@pytest.mark.parametrize("name", ["hello", "ack", "status", "error", "bye"])
def test_the_references_event_tables_match_the_schema(name):
    ours = schema_rows(name)
    theirs = reference_rows(name)
    # The tables leave out the keys that only hold a nested object (hello's gpu, status's cpu).
    ours = {k: v for k, v in ours.items() if v[0] != "object"}
    assert sorted(theirs) == sorted(ours), "keys differ"
    for key, (kind, _, _) in ours.items():
        assert (key, theirs[key][0]) == (key, kind)


def test_the_references_event_key_order_is_the_schemas():
    contract = EventContract(SCHEMA)
    for name in ("hello", "ack", "status", "error", "bye"):
        example = re.search(rf"^`+(\{{\"ev\":\"{name}\".*\}})`+$", REFERENCE, re.M).group(1)
        assert contract.problems(example.encode() + b"\n") == [], example


def test_every_event_of_the_recorded_session_is_valid_and_every_rejected_command_is_refused():
    contract = EventContract(SCHEMA)
    lines = re.findall(r"^\s*\d+ ([<>]) (.*)$", REFERENCE, re.M)
    assert lines
    for direction, text in lines:
        if direction == "<":
            assert contract.problems(text.encode() + b"\n") == [], text
    refused = [t for d, t in lines if d == ">" and list(COMMANDS.iter_errors(json.loads(t)))]
    bad_lines = [t for d, t in lines if d == "<" and '"code":"badLine"' in t]
    assert len(refused) == len(bad_lines), refused


@pytest.mark.parametrize("heading, header, schema_values", [
    ("Error events", "`code`", DEFS["error"]["properties"]["code"]["enum"]),
    ("`hello`", "`err`", [e for e in DEFS["gpuInfo"]["properties"]["err"]["enum"] if e is not None]),
])
def test_the_references_code_tables_match_the_schema(heading, header, schema_values):
    table = find_table(heading, header)
    assert [re.findall(r"`([^`]+)`", row[0])[0] for row in table[1:]] == schema_values


def test_the_kits_own_tables_are_the_schemas():
    assert list(MODES) == DEFS["mode"]["enum"]
    assert [MIN_RUN_S, MAX_RUN_S] == DEFS["start"]["properties"]["maxRunS"]["x-clamp"]


def test_stop_reasons_and_their_exit_codes_match_the_reference_and_the_kit():
    pairs = {rule["if"]["properties"]["why"]["const"]: rule["then"]["properties"]["code"]["const"]
             for rule in DEFS["bye"]["allOf"]}
    assert list(pairs) == DEFS["bye"]["properties"]["why"]["enum"]
    table = find_table("Stop reasons", "`why`")
    assert {re.findall(r"`([^`]+)`", row[0])[0]: int(row[1]) for row in table[1:]} == pairs
    assert STOP_REASONS == pairs
    assert list(ERROR_CODES) == DEFS["error"]["properties"]["code"]["enum"]
