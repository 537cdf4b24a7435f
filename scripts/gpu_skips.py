#!/usr/bin/env python3
"""Says which GPU tests a test step skipped, for its line in scripts/test's summary.

Usage: gpu_skips.py RESULTS...   (XML files of gtest or pytest; missing ones are ignored). Prints nothing when the step ran every GPU test it had, or had none;
"every GPU test skipped: <why>" when it ran none of them; "N of M GPU tests skipped: <why>"
otherwise. The GPU tests are those of a real device: the gtest suites D3D11Pipeline and
VulkanPipeline, and the pytest modules test_gpu*.
"""
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

GTEST_SUITE = re.compile(r"^(D3D11|Vulkan)Pipeline$")
PYTEST_MODULE = re.compile(r"(^|\.)test_gpu[a-z_]*$")
# The end-to-end suite's mark for a scenario of a target this run left out: not a GPU test
# of this run at all.
NOT_SELECTED = "target not selected"


def cases(path):
    """(is a GPU test, skip reason or None) for each test case of a JUnit-style XML file, as
    gtest (classname: the suite) and pytest (classname: the module) write them."""
    for case in ET.parse(path).getroot().iter("testcase"):
        name = case.get("classname", "")
        gpu = bool(GTEST_SUITE.match(name) or PYTEST_MODULE.search(name))
        skipped = case.find("skipped")
        yield gpu, None if skipped is None else reason(skipped.get("message", ""))


def reason(message):
    # gtest puts the file and line first; the reason follows.
    lines = [l.strip() for l in message.splitlines()]
    lines = [l for l in lines if l and not re.match(r"^\S+:\d+(: Skipped)?$", l)]
    return lines[0] if lines else "skipped"


def main(paths):
    gpu_tests, skips = 0, []
    for path in map(Path, paths):
        if not path.is_file():
            continue
        try:
            found = list(cases(path))
        except ET.ParseError as e:
            print(f"unreadable test results {path.name}: {e}")
            return 0
        for gpu, why in found:
            if gpu and why != NOT_SELECTED:
                gpu_tests += 1
                if why is not None:
                    skips.append(why)
    if not skips:
        return 0
    reasons = "; ".join(dict.fromkeys(skips))
    if len(skips) == gpu_tests:
        print(f"every GPU test skipped: {reasons}")
    else:
        print(f"{len(skips)} of {gpu_tests} GPU tests skipped: {reasons}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
