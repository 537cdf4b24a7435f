"""What machine a run ran on, for the record: a lab compares runs across machines."""

from __future__ import annotations

import os
import platform
import socket
from pathlib import Path

from ..version import VERSION


def cpu_model(cpuinfo: str) -> str | None:
    """The processor's name from /proc/cpuinfo text (x86 "model name", else "Hardware" or
    "Processor" as some other machines give it)."""
    for key in ("model name", "Hardware", "Processor"):
        for line in cpuinfo.splitlines():
            name, _, value = line.partition(":")
            if name.strip() == key and value.strip():
                return value.strip()
    return None


def host_info(helper_version: str | None = None) -> dict:
    try:
        info = Path("/proc/cpuinfo").read_text(errors="replace")
    except OSError:
        info = ""
    return {
        "hostname": socket.gethostname(),
        "cpu_model": cpu_model(info) or platform.processor() or None,
        "cores": os.cpu_count(),
        "kernel": f"{platform.system()} {platform.release()}",
        # The helper does not report its version; it is built from the same project version.
        "helper_version": helper_version or VERSION,
        "runner_version": VERSION,
    }
