"""The protocol reference's own examples, run against the program: every example line of its
decoding-error table must give exactly the detail it shows, and its recorded session must
replay event by event (pid, processor names, times, duties and duty-seconds masked, as the
reference says).

Run as a script (`python3 tests/e2e/test_reference.py record`) it records the session
afresh with the reference's controller lines and prints it in the reference's format."""

import json
import os
import re
import sys
import time
from pathlib import Path

import pytest

from conftest import only

DOC = Path(__file__).resolve().parents[2] / "docs" / "protocol.md"

# The bad-line rule ends a run at the third rejection within 5 s, and its error still
# comes first: three examples per helper.
PER_RUN = 3


def section(name: str) -> str:
    text = DOC.read_text(encoding="utf-8")
    start = text.index(f"\n## {name}\n")
    end = text.find("\n## ", start + 1)
    return text[start:end if end != -1 else len(text)]


def code_span(cell: str) -> str:
    """The text of a Markdown code span such as `x` or `` a `b` ``."""
    m = re.fullmatch(r"(`+)(.*?)\1", cell.strip())
    assert m, f"not a code span: {cell!r}"
    inner = m.group(2)
    if len(inner) >= 2 and inner[0] == " " and inner[-1] == " " and inner.strip():
        inner = inner[1:-1]
    return inner


def error_examples() -> list[tuple[str, str]]:
    """(line, detail) for each row of the decoding errors' example table."""
    text = section("Decoding errors")
    table = text[text.index("| Line | `detail` |"):]
    rows = []
    for line in table.splitlines()[2:]:
        if not line.startswith("|"):
            break
        # Cells never hold a bar, so the row splits plainly.
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        rows.append((code_span(cells[0]), code_span(cells[1])))
    return rows


@only("native")
def test_every_decoding_error_example_gives_its_detail_byte_for_byte(native_runner):
    examples = error_examples()
    assert len(examples) >= 20, "the example table was not found"
    got = []
    for first in range(0, len(examples), PER_RUN):
        batch = examples[first:first + PER_RUN]
        with native_runner.start_helper() as h:
            for line, _ in batch:
                h.send_raw(line.encode())
                raw = h.read_raw_line(10)
                assert raw is not None, f"no reply to {line}"
                got.append((line, json.loads(raw).get("detail")))
            h.kill()
            h.wait()
    assert got == examples


# --- the order around the hello -----------------------------------------------------------

SET_FREE = '{"cmd":"set","seq":1,"cpu":{"mode":"free"}}'
BAD = '{"cmd":"nope"}'


def until_answered(h, answers: int | None) -> list:
    """Events up to the bye, or (`answers` not None) up to the hello and that many acks
    and errors."""
    events = []
    while (ev := h.read(30)) is not None:
        events.append(ev)
        answered = sum(e.ev in ("ack", "error") for e in events)
        if ev.ev == "bye" or (answers is not None and answered >= answers
                              and any(e.ev == "hello" for e in events)):
            break
    return events


@only("native")
@pytest.mark.parametrize("gpu, later, parent_ok, want", [
    # Without GPU load the hello is made while the start is handled: it comes first.
    (False, [SET_FREE, BAD], True, ["hello", "ack", "error"]),
    # With GPU load the lines after the start are answered while the GPU thread sets up:
    # their answers keep their order and may come on either side of the hello.
    (True, [SET_FREE, BAD], True, ["ack", "error"]),
    # A start without a usable parent ends at once: after the hello, or with none at all.
    (False, [], False, ["hello", "bye"]),
    (True, [], False, ["bye"]),
])
def test_the_order_the_reference_promises_around_the_hello(native_runner, gpu, later, parent_ok, want):
    with native_runner.start_helper() as h:
        start = {"cmd": "start", "v": 1, "parentPid": native_runner.parent_pid(h) if parent_ok else 0,
                 "cpu": {"enable": True, "workers": 1}, "gpu": {"enable": gpu}}
        # One write, as a controller that does not wait for the hello would send it.
        h.send_raw("\n".join(['{"cmd":"hb"}', json.dumps(start, separators=(",", ":")), *later]))
        events = until_answered(h, len(later) if parent_ok else None)
        h.kill()
        h.wait()
    names = [e.ev for e in events]
    assert "status" not in names[:names.index("hello") if "hello" in names else len(names)], names
    replies = [n for n in names if n != "status"]
    if gpu and parent_ok:
        assert replies.count("hello") == 1 and [n for n in replies if n != "hello"] == want, names
    else:
        assert replies == want, names
    if not parent_ok:
        assert (events[-1].why, events[-1].code) == ("parentGone", 4)


# --- the recorded session ---------------------------------------------------------------

LINE = re.compile(r"^ *(\d+) ([<>]) (.*)$")


def session_script() -> list[tuple[int, str, str]]:
    """(ms, direction, line) for every recorded line of the reference's session."""
    rows = []
    for block in re.findall(r"```\n(.*?)```", section("A complete session"), re.S):
        for line in block.splitlines():
            m = LINE.match(line)
            if m:
                rows.append((int(m.group(1)), m.group(2), m.group(3)))
    return rows


def poll(h, seconds):
    """The next event within `seconds`, as the helper wrote it, or None."""
    try:
        return h.read(seconds).to_wire()
    except TimeoutError:
        return None


def play(runner, script):
    """Writes the controller's lines at their recorded times since the helper started, each
    only once the helper has written what the controller had seen when it wrote the line:
    every reply before it, and a status if one came since the controller's previous line.
    Returns the helper's events and the lines written, each with its time in ms, and the
    exit code."""
    # (ms, lines written together, replies seen before, a status seen since the last write)
    writes = []
    replies = 0
    status_since = False
    for ms, d, line in script:
        if d == "<":
            if json.loads(line)["ev"] == "status":
                status_since = True
            else:
                replies += 1
        elif writes and writes[-1][0] == ms:
            writes[-1][1].append(line)  # one write: recorded with the same ms
        else:
            writes.append((ms, [line], replies, status_since))
            status_since = False
    out, sent = [], []
    with runner.start_helper() as h:
        t0 = time.monotonic()

        def now_ms():
            return round((time.monotonic() - t0) * 1000)

        got_replies, got_status = 0, False
        for ms, lines, need_replies, need_status in writes:
            deadline = time.monotonic() + 10
            while True:
                caught_up = got_replies >= need_replies and (got_status or not need_status)
                if caught_up and now_ms() >= ms:
                    break
                assert time.monotonic() < deadline, f"the helper fell silent before {lines}"
                ev = poll(h, 0.005 if caught_up else 0.05)
                if ev is not None:
                    out.append((now_ms(), ev))
                    if ev["ev"] == "status":
                        got_status = True
                    else:
                        got_replies += 1
            data = []
            for line in lines:
                cmd = json.loads(line)
                if isinstance(cmd, dict) and cmd.get("cmd") == "start":
                    cmd["parentPid"] = os.getpid()
                    line = json.dumps(cmd, separators=(",", ":"))
                data.append(line)
            h.send_raw("\n".join(data).encode())
            sent += [(now_ms(), line) for line in data]
            got_status = False
        for ev in h.events(timeout=10):
            out.append((now_ms(), ev.to_wire()))
        code = h.wait()
    return out, sent, code


def masked(ev: dict) -> dict:
    """An event with what the reference says varies from run to run taken out."""
    ev = json.loads(json.dumps(ev))
    if ev["ev"] == "hello":
        for k in ("pid", "isa", "isaMax"):
            ev[k] = "*"
        if ev["gpu"]["ok"]:  # a machine with a usable GPU names it: that is not the point here
            ev["gpu"] = "*"
    if ev["ev"] == "status":
        ev["tMs"] = "*"
        for d in ("cpu", "gpu"):
            ev[d]["duty"] = "*"
            if "dispatchMs" in ev[d]:
                ev[d]["dispatchMs"] = "*"
    if ev["ev"] == "bye":
        ev["cpuS"] = ev["gpuS"] = "*"
    return ev


def shape(events: list[dict]) -> tuple[list[dict], list[dict]]:
    """The replies in order, and the distinct states the statuses went through, in order:
    a status may fall on either side of a reply, and how many come depends on timing."""
    replies = [masked(e) for e in events if e["ev"] != "status"]
    states = []
    for e in events:
        if e["ev"] == "status":
            m = masked(e)
            if not states or states[-1] != m:
                states.append(m)
    return replies, states


@only("native")
def test_the_recorded_session_replays_event_by_event(native_runner):
    script = session_script()
    assert any(d == "<" for _, d, _ in script) and any(d == ">" for _, d, _ in script)
    want = [json.loads(line) for _, d, line in script if d == "<"]
    got, _, code = play(native_runner, script)
    assert shape([e for _, e in got]) == shape(want)
    assert code == want[-1]["code"]


def record():
    """Prints the session as the reference shows it, from a fresh run of its controller lines."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "clients" / "python"))
    import kestrune
    script = session_script()
    with kestrune.NativeRunner() as runner:
        got, sent, code = play(runner, script)
    rows = [(ms, ">", line) for ms, line in sent]
    rows += [(ms, "<", json.dumps(ev, separators=(",", ":"))) for ms, ev in got]
    for ms, d, line in sorted(rows, key=lambda r: (r[0], r[1] == "<")):
        print(f"{ms:5d} {d} {line}")
    print(f"exit code {code}")


if __name__ == "__main__" and sys.argv[1:] == ["record"]:
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    record()
