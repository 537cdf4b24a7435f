"""A controller that misbehaves on purpose: it floods the helper's input, stops reading its
output, or closes it."""

from __future__ import annotations

from ..helper import Helper


def flood(helper: Helper, line: bytes, count: int, chunk_lines: int = 65536) -> None:
    """Writes `count` copies of `line` (newline added) as fast as the pipe takes them: a
    stress test of the helper's input back-pressure."""
    if not line.endswith(b"\n"):
        line += b"\n"
    chunk = line * chunk_lines
    left = count
    while left > 0:
        n = min(left, chunk_lines)
        helper.send_raw(chunk if n == chunk_lines else line * n)
        left -= n


def block_pump(helper: Helper) -> None:
    """Stops reading the helper's output (after at most the line being read)."""
    helper._paused.set()


def close_stdout(helper: Helper) -> None:
    """Closes the reading end of the helper's output, like a controller that goes deaf."""
    helper._paused.set()
    try:
        helper.proc.stdout.close()
    except OSError:
        pass  # the reading thread may be inside a read on it; the close is what counts
