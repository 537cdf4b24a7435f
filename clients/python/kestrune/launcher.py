"""What the launcher (kestrune-launch.exe) says first on its standard error."""

from __future__ import annotations

import queue

from .helper import Helper


def take_launcher_pids(helper: Helper, timeout: float) -> None:
    """Reads "launcher pid <pid> child pid <pid>" and keeps both Windows process ids on the
    helper; the launcher's pid is the helper's parent, for the start command's parentPid."""
    try:
        line = helper.stderr_lines.get(timeout=timeout)
    except queue.Empty:
        line = None
    if line is None or not line.startswith(b"launcher pid "):
        helper.kill()
        raise RuntimeError(f"the launcher did not start the helper: {line!r}")
    parts = line.split()
    helper.launcher_pid = int(parts[2])
    helper.child_pid = int(parts[5]) if len(parts) > 5 else None
