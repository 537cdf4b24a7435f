"""A run's result as JUnit XML for CI systems: one testsuite per run, one testcase per step.

Written from the summary alone (the run's own, or one read back from a record), so
`kestrune run --junit` and `kestrune report --junit` give the same file. A run that went
wrong never reads as green: a step that did not complete is an error, and a run that ended
with a non-zero exit code but no failed or broken step gets a testcase of its own that
says why."""

from __future__ import annotations

import re
import xml.etree.ElementTree as ET
from pathlib import Path

from .record import write_atomic
from .recordio import Step, number, profile_name, steps_of

# Characters XML 1.0 cannot carry, even escaped: a step name or a meter's stderr may hold them.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _text(value) -> str:
    return _NOT_XML.sub("\ufffd", str(value))


def _value(value) -> str:
    x = number(value)
    return _text(value) if x is None else f"{x:g}"


def criterion_line(f: dict) -> str:
    return f"{_text(f.get('criterion'))}: {_value(f.get('measured'))} (limit {_value(f.get('limit'))})"


def _seconds(step: Step, ended_s: float | None) -> float:
    if step.start_s is None or step.end_s is None:
        return 0.0
    end = step.end_s if ended_s is None else min(step.end_s, ended_s)
    return max(0.0, end - step.start_s)


def _unjudged_reason(step: Step) -> str:
    targets = [d for d, x in step.domains.items() if number(x.get("target_w")) is not None]
    unread = [d for d in targets if number(step.domains[d].get("mean_w")) is None]
    if unread:
        return f"no readings of {', '.join(unread)} power to judge the target by"
    return "the step sets no power target and no sensor limit to judge"


def _properties(parent, summary: dict, exit_code) -> None:
    props = ET.SubElement(parent, "properties")

    def put(name, value):
        if value is not None and not isinstance(value, (dict, list)):
            ET.SubElement(props, "property", name=_text(name), value=_text(value))

    profile = summary.get("profile") if isinstance(summary.get("profile"), dict) else {}
    put("profile", profile_name(summary))
    put("profile_path", profile.get("path"))
    put("run_id", summary.get("run_id"))
    put("started_utc", summary.get("started_utc"))
    put("target", summary.get("target"))
    put("outcome", summary.get("outcome"))
    put("exit_code", exit_code)
    host = summary.get("host") if isinstance(summary.get("host"), dict) else {}
    for key, value in host.items():
        put(f"host.{key}", value)
    energy = summary.get("energy") if isinstance(summary.get("energy"), dict) else {}
    for d, x in energy.items():
        if isinstance(x, dict):
            put(f"energy_wh.{d}", x.get("wh"))
            put(f"energy_covered_s.{d}", x.get("covered_s"))
    for i, inst in enumerate(host.get("instruments") if isinstance(host.get("instruments"), list) else [], 1):
        for key, value in (inst.items() if isinstance(inst, dict) else ()):
            put(f"host.instruments.{i}.{key}", value)


def _problem_lines(summary: dict) -> list[str]:
    lines = []
    for p in summary.get("problems") or []:
        if not isinstance(p, dict):
            continue
        at = number(p.get("at_s"))
        lines.append(f"at {'?' if at is None else f'{at:.1f}'} s ({_text(p.get('kind'))}): {_text(p.get('message'))}")
        if p.get("stderr_tail"):
            lines += [f"    {_text(line)}" for line in str(p["stderr_tail"]).splitlines()]
    return lines


def junit_xml(summary: dict, exit_code=None) -> str:
    """The JUnit XML text of a run. `exit_code` is the runner's (the summary's when None)."""
    if exit_code is None:
        exit_code = summary.get("exit_code")
    name = profile_name(summary)
    ended_s = number(summary.get("ended_s"))
    outcome = summary.get("outcome")
    root = ET.Element("testsuites")
    suite = ET.SubElement(root, "testsuite", name=_text(name))
    host = summary.get("host") if isinstance(summary.get("host"), dict) else {}
    if host.get("hostname"):
        suite.set("hostname", _text(host["hostname"]))
    if isinstance(summary.get("started_utc"), str):
        suite.set("timestamp", _text(summary["started_utc"].rstrip("Z")))
    _properties(suite, summary, exit_code)
    counts = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
    broken = False
    for step in steps_of(summary):
        case = ET.SubElement(suite, "testcase", name=_text(f"step {step.index} {step.name}"), classname=_text(name),
                             time=f"{_seconds(step, ended_s):.3f}")
        counts["tests"] += 1
        lines = [criterion_line(f) for f in step.failed]
        if step.verdict == "pass":
            continue
        if step.verdict == "fail":
            el = ET.SubElement(case, "failure", type="criteria",
                               message="; ".join(lines) or "the step failed its criteria")
            el.text = "\n".join(lines)
            counts["failures"] += 1
            broken = True
        elif step.verdict == "unjudged":
            ET.SubElement(case, "skipped", message=_unjudged_reason(step))
            counts["skipped"] += 1
        else:  # incomplete, or a word this version does not know: never a pass
            why = f"the step did not complete (run outcome: {_text(outcome)})" if step.verdict == "incomplete" \
                else f"verdict {_text(step.verdict)}"
            el = ET.SubElement(case, "error", type=_text(step.verdict), message=why)
            el.text = "\n".join(lines) or None
            counts["errors"] += 1
            broken = True
    code = number(exit_code)
    if code is None or (code != 0 and not broken):
        # The exit code says the run went wrong where no step does (a record written elsewhere,
        # a run with no steps): CI must see it.
        case = ET.SubElement(suite, "testcase", name="run", classname=_text(name), time="0.000")
        ET.SubElement(case, "error", type=_text(outcome or "unknown"),
                      message=f"the run ended with outcome {_text(outcome)}, exit code {_text(exit_code)}")
        counts["tests"] += 1
        counts["errors"] += 1
    problems = _problem_lines(summary)
    if problems:
        ET.SubElement(suite, "system-err").text = "\n".join(problems)
    total = f"{ended_s:.3f}" if ended_s is not None else "0.000"
    for el in (root, suite):
        for k, v in counts.items():
            el.set(k, str(v))
        el.set("time", total)
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode") + "\n"


def write_junit(path: Path, summary: dict, exit_code=None) -> None:
    """Writes the file through a temporary name beside it; raises OSError."""
    write_atomic(Path(path), junit_xml(summary, exit_code))
