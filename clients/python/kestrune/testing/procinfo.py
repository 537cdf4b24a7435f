"""What Linux tells about a running process, for test rigs that watch the helper."""

from __future__ import annotations

from pathlib import Path


def memory_kib(pid: int) -> tuple[int, int]:
    """(resident now, peak resident) of a Linux process, in KiB."""
    fields = {}
    for row in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = row.partition(":")
        fields[key] = value
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])
