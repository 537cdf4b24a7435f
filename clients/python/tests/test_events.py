"""Typed events: the records say what the schema says, and parsing lets nothing slip."""

import dataclasses
import json
import re
import typing

import pytest

from kestrune import Ack, Bye, Error, GpuInfo, Hello, ProtocolError, Status, parse_event, parse_line
from kestrune.events import EVENT_TYPES
from conftest import changed
from kestrune.paths import ROOT
from kestrune.testing.contract import load_schema

DEFS = load_schema()["$defs"]
REFERENCE = (ROOT / "docs" / "protocol.md").read_text()
EXAMPLES = {m.group(2): m.group(1) for m in re.finditer(r'^`+(\{"ev":"(\w+)".*\})`+$', REFERENCE, re.M)}
HELLO = json.loads(EXAMPLES["hello"])


def definition(node):
    while "$ref" in node:
        node = DEFS[node["$ref"].rsplit("/", 1)[1]]
    return node


def schema_types(prop) -> set:
    types = definition(prop).get("type", [])
    return set(types) if isinstance(types, list) else {types}


def check_record(cls, node, where):
    """The record's wire keys, in field order, are the definition's keys in written order,
    each of a matching type; nested records are checked the same way."""
    node = definition(node)
    fields = dataclasses.fields(cls)
    order = [k for k in node["x-keyOrder"] if k != "ev"]
    assert [f.metadata["wire"] for f in fields] == order, where
    hints = typing.get_type_hints(cls)
    python = {bool: "boolean", int: "integer", float: "number", str: "string"}
    for f in fields:
        key = f.metadata["wire"]
        prop = node["properties"][key]
        args = typing.get_args(hints[f.name])
        optional = type(None) in args
        base = next(a for a in args if a is not type(None)) if optional else hints[f.name]
        assert ("null" in schema_types(prop)) == optional, f"{where}.{key}: nullability"
        if dataclasses.is_dataclass(base):
            assert schema_types(prop) == {"object"}, f"{where}.{key}"
            check_record(base, prop, f"{where}.{key}")
        else:
            assert schema_types(prop) - {"null"} == {python[base]}, f"{where}.{key}: type"


@pytest.mark.parametrize("name", ["hello", "ack", "status", "error", "bye"])
def test_each_event_record_follows_the_schema(name):
    check_record(EVENT_TYPES[name], DEFS[name], name)


def test_the_records_cover_every_event_of_the_schema():
    assert sorted(EVENT_TYPES) == sorted(DEFS["event"]["properties"]["ev"]["enum"])


@pytest.mark.parametrize("name", ["hello", "ack", "status", "error", "bye"])
def test_the_references_examples_parse_and_give_back_the_same_line(name):
    event = parse_line(EXAMPLES[name])
    assert type(event) is EVENT_TYPES[name] and event.ev == name
    assert json.dumps(event.to_wire(), separators=(",", ":")) == EXAMPLES[name]


def test_fields_read_as_their_wire_keys_say():
    hello = parse_event(HELLO)
    assert (hello.isa_max, hello.in_job, hello.gpu.vendor_id, hello.gpu.dispatch_ms) == ("avx512", True, 4318, 20.3)
    assert hello.gpu == GpuInfo(ok=True, name="Vendor A Graphics", vendor_id=4318, dispatch_ms=20.3, err=None)
    status = parse_line(EXAMPLES["status"])
    assert (status.t_ms, status.cpu.target_w, status.gpu.dispatch_ms, status.domain("cpu").duty) == (
        1250, 45.0, None, 0.438)
    assert parse_line('{"ev":"bye","why":"stop","code":0,"cpuS":12,"gpuS":0.0}') == Bye("stop", 0, 12.0, 0.0)
    with pytest.raises(dataclasses.FrozenInstanceError):
        hello.pid = 1




@pytest.mark.parametrize("obj, message", [
    (changed(HELLO, "workers"), "hello: missing key `workers`"),
    (changed(HELLO, "gpu.vendorId"), "hello.gpu: missing key `vendorId`"),
    (changed(HELLO, "cores", 8), "hello: unknown key `cores`"),
    (changed(HELLO, "gpu.driver", "x"), "hello.gpu: unknown key `driver`"),
    (changed(HELLO, "pid", "4711"), "hello.pid: int expected, not str '4711'"),
    (changed(HELLO, "pid", True), "hello.pid: int expected, not bool True"),
    (changed(HELLO, "pid", 4711.0), "hello.pid: int expected, not float 4711.0"),
    (changed(HELLO, "pid", None), "hello.pid: int expected, not null None"),
    (changed(HELLO, "lab", 0), "hello.lab: bool expected, not int 0"),
    (changed(HELLO, "gpu", None), "hello.gpu: an object expected, not null"),
    (changed(HELLO, "gpu.dispatchMs", "20"), "hello.gpu.dispatchMs: float expected, not str '20'"),
    ({"ev": "ack"}, "ack: missing key `seq`"),
    ({"ev": "status", "tMs": 1, "cpu": {"mode": "off", "duty": 0.0, "targetW": None, "dispatchMs": None,
                                        "powerStale": False}, "gpu": {}}, "status.cpu: unknown key `dispatchMs`"),
    ({"ev": "farewell"}, "ev: unknown event 'farewell'"),
    ({"code": "badLine"}, "missing key `ev`"),
    (["ev", "ack"], "an event is an object, not list"),
])
def test_a_missing_unknown_or_mistyped_key_is_named(obj, message):
    with pytest.raises(ProtocolError) as e:
        parse_event(obj)
    assert str(e.value) == message


@pytest.mark.parametrize("line, message", [
    ('{"ev":"ack","seq":1,"seq":2}', "key `seq` given twice"),
    ('{"ev":"bye","why":"stop","code":0,"cpuS":NaN,"gpuS":0.0}', "NaN is not JSON"),
    ('{"ev":"ack",', "not a JSON line"),
    (b'\xff', "not a JSON line"),
])
def test_a_line_that_is_not_json_as_the_helper_writes_it_is_refused(line, message):
    with pytest.raises(ProtocolError, match=re.escape(message)):
        parse_line(line)


@pytest.mark.parametrize("cls, obj", [(Ack, {"ev": "bye"}), (Error, {"code": "x", "detail": None})])
def test_each_constructor_takes_only_its_own_event(cls, obj):
    with pytest.raises(ProtocolError, match=f"not a {cls.EV} event"):
        cls.from_wire(obj)


def test_a_record_gives_back_the_wire_form_in_the_written_order():
    assert list(parse_event(HELLO).to_wire()) == DEFS["hello"]["x-keyOrder"]
    assert Error("badLine", None).to_wire() == {"ev": "error", "code": "badLine", "detail": None}
    assert isinstance(parse_event({"ev": "ack", "seq": 3}), Ack) and Hello.EV == "hello" and Status.EV == "status"
