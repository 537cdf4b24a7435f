"""Every line the helper writes, held to docs/protocol.schema.json: its keys, their types
and ranges, the order they are written in, and the exact bytes of the line."""

from __future__ import annotations

import json
import threading
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import jsonschema
from jsonschema.exceptions import best_match

from ..paths import ROOT

SCHEMA_PATH = ROOT / "docs" / "protocol.schema.json"


class ContractViolation(AssertionError):
    """A line of the helper's output that breaks the protocol's contract."""


def load_schema(path: Path = SCHEMA_PATH) -> dict:
    return json.loads(Path(path).read_text())


def _is_integer(_checker, value) -> bool:
    # An integer is written without a point: 1.0 is a real, whatever its value.
    return isinstance(value, int) and not isinstance(value, bool)


def _exact(number) -> Fraction:
    # A real's repr is the shortest text that reads back to it, which is how the helper
    # wrote it: judging that text keeps 0.3 a multiple of 0.1.
    return Fraction(Decimal(repr(number))) if isinstance(number, float) else Fraction(number)


def _multiple_of(validator, divisor, instance, schema):
    if not validator.is_type(instance, "number"):
        return
    if (_exact(instance) / _exact(divisor)).denominator != 1:
        yield jsonschema.ValidationError(f"{instance!r} is not a multiple of {divisor}")


_WireValidator = jsonschema.validators.extend(
    jsonschema.Draft202012Validator,
    validators={"multipleOf": _multiple_of},
    type_checker=jsonschema.Draft202012Validator.TYPE_CHECKER.redefine("integer", _is_integer),
)

# What a definition's validator keeps of the document's root: its definitions, no assertion.
_ROOT_KEYS = ("$schema", "$id", "$defs")


def validator(schema: dict, definition: str):
    """A validator for one of the schema's definitions ("event", "command", "status"...)
    that tells an integer's text from a real's as the wire does, and judges multipleOf on
    the number's decimal text."""
    root = {k: v for k, v in schema.items() if k in _ROOT_KEYS}
    return _WireValidator({**root, "$ref": f"#/$defs/{definition}"})


def _too_long(value, node) -> bool:
    """A string longer in UTF-8 bytes than its x-maxBytes."""
    limit = node.get("x-maxBytes")
    return limit is not None and isinstance(value, str) and len(value.encode("utf-8")) > limit


def format_real(x: float) -> str:
    """A real as the helper writes it: the shortest digits that read back exactly, at least
    one digit after the point, exponent notation from 1e16 up and below 1e-5."""
    sign, digits, exponent = Decimal(repr(x)).normalize().as_tuple()
    head = "-" if sign else ""
    text = "".join(map(str, digits))
    if text == "0":
        return head + "0.0"
    exp = exponent + len(text) - 1  # of the scientific form d.ddd e exp
    if -5 <= exp < 16:
        if exp < 0:
            return head + "0." + "0" * (-exp - 1) + text
        whole = exp + 1
        if len(text) <= whole:
            return head + text + "0" * (whole - len(text)) + ".0"
        return head + text[:whole] + "." + text[whole:]
    return head + text[0] + ("." + text[1:] if len(text) > 1 else "") + f"e{exp}"


def encode(value) -> str:
    """The helper's encoding of a parsed line, objects given as lists of (key, value) pairs
    in the order they were read: no spaces, strings escaped as the reference says."""
    if isinstance(value, list) and all(isinstance(p, tuple) for p in value):
        return "{" + ",".join(json.dumps(k) + ":" + encode(v) for k, v in value) + "}"
    if isinstance(value, float):
        return format_real(value)
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def _as_dict(value):
    if isinstance(value, list) and all(isinstance(p, tuple) for p in value):
        return {k: _as_dict(v) for k, v in value}
    return value


class EventContract:
    """Checks one output line against the schema's event definitions."""

    def __init__(self, schema: dict | None = None):
        self.schema = load_schema() if schema is None else schema
        self._defs = self.schema["$defs"]
        self._validator = validator(self.schema, "event")

    def problems(self, raw: bytes) -> list[str]:
        """What is wrong with the line `raw` (with its newline); empty when nothing is."""
        try:
            text = raw.decode("utf-8")
            pairs = json.loads(text, object_pairs_hook=list)
        except ValueError as e:
            return [f"not a JSON line: {e}"]
        event = _as_dict(pairs)
        found = [f"{'/'.join(map(str, e.absolute_path)) or 'the event'}: {e.message}"
                 for e in [best_match(self._validator.iter_errors(event))] if e is not None]
        if found:
            return found
        self._check_layout(pairs, self._defs[event["ev"]], event["ev"], found)
        if not found and text != encode(pairs) + "\n":
            found.append(f"not written as the helper writes: expected {encode(pairs)}")
        return found

    def check(self, raw: bytes) -> None:
        found = self.problems(raw)
        if found:
            raise ContractViolation(f"{raw!r}: " + "; ".join(found))

    def _check_layout(self, pairs, node, where, found) -> None:
        """Key order as x-keyOrder says, and every real written with a point or exponent."""
        while "$ref" in node:
            node = self._defs[node["$ref"].rsplit("/", 1)[1]]
        order = node.get("x-keyOrder")
        if order is not None and [k for k, _ in pairs] != order:
            found.append(f"{where}: keys in the order {[k for k, _ in pairs]}, not {order}")
        for key, value in pairs:
            prop = node["properties"][key]
            if isinstance(value, list) and value and all(isinstance(p, tuple) for p in value):
                self._check_layout(value, prop, f"{where}.{key}", found)
            elif isinstance(value, int) and not isinstance(value, bool) and "number" in prop.get("type", ()):
                found.append(f"{where}.{key}: the real {value} written as an integer")
            elif _too_long(value, prop):
                found.append(f"{where}.{key}: {len(value.encode('utf-8'))} bytes, more than {prop['x-maxBytes']}")


class LineCheck:
    """A check for every output line of every helper, collecting what fails: the read
    path calls it for each line as it arrives, read or not, and the test suite looks at
    `failures` after each test."""

    def __init__(self, contract: EventContract | None = None):
        self.contract = contract or EventContract()
        self._lock = threading.Lock()
        self.failures: list[str] = []

    def __call__(self, raw: bytes) -> None:
        found = self.contract.problems(raw)
        if found:
            with self._lock:
                self.failures.append(f"{raw!r}: " + "; ".join(found))

    def take_failures(self) -> list[str]:
        with self._lock:
            out, self.failures = self.failures, []
        return out
