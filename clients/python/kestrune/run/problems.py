"""The run's problems: each one a line for the user, an entry in the summary, and, while its
cause lasts, one of the problems in force (the live view, the `kestrune_problems_active` gauge).

A problem has a source (a meter's domain, a sensor's column, a kind of helper error). One
whose cause can end (a meter that reads again, a sensor file that came back) is in force until
the runner says it ended; a momentary one (an error event) ends where it began. Repeats of one
source are counted, not shown: the first occurrence is a line at once, and later ones at most
one line a minute with their count, so a meter that prints garbage all night gives a line a
minute, not one a reading. The summary keeps one entry per line shown, with its start, its end
(None while in force when the run ended) and how many occurrences it stands for."""

from __future__ import annotations

from dataclasses import dataclass

REPEAT_LINE_S = 60.0   # at most one line a minute for the repeats of one source
MAX_ENTRIES = 500      # past these, occurrences are counted only


@dataclass
class _Source:
    entry: dict            # the summary entry the latest occurrences are folded into
    message: str           # the latest occurrence's message
    said_at: float         # run time of the last line shown for this source
    untold: int = 0        # occurrences since that line, not shown
    in_force: bool = False


def _entry(kind, source, at_s, message, stderr_tail) -> dict:
    return {"kind": kind, "source": source, "at_s": at_s, "ended_s": None, "message": message,
            "stderr_tail": stderr_tail, "count": 1}


class ProblemLog:
    def __init__(self, max_entries: int = MAX_ENTRIES):
        self.entries: list[dict] = []      # what summary.json's `problems` holds
        self.max_entries = max_entries
        self.unkept = 0                    # occurrences that found the entries full
        self.total = 0                     # every occurrence, counted or shown, kept or not
        self._sources: dict[str, _Source] = {}

    def occur(self, kind: str, source: str | None, message: str, stderr_tail: str | None, at_s: float,
              lasting: bool = True) -> str | None:
        """Records one occurrence at run time `at_s`; gives the line to show now, or None when it
        is only counted. `lasting`: in force until `end(source)`, else over at once. Without a
        source, only repeats of the same message count as one (the entry's source is the kind)."""
        at_s = round(max(0.0, at_s), 3)
        self.total += 1
        key = source if source is not None else f"{kind}\0{message}"
        s = self._sources.get(key)
        if s is not None and at_s - s.said_at < REPEAT_LINE_S:
            s.untold += 1
            s.message = message
            s.entry["count"] += 1
            s.entry["ended_s"] = at_s if not lasting else None
            s.in_force = lasting
            return None
        line = message
        if s is not None and s.untold:
            line += f" (and {s.untold} more times since the line at {s.said_at:.0f} s)"
        entry = _entry(kind, source or kind, at_s, message, stderr_tail)
        if not lasting:
            entry["ended_s"] = at_s
        if len(self.entries) < self.max_entries:
            self.entries.append(entry)
        else:
            self.unkept += 1
        self._sources[key] = _Source(entry, message, at_s, 0, lasting)
        return line

    def end(self, source: str, at_s: float) -> bool:
        """The cause of `source`'s problem ended; True when one was in force."""
        s = self._sources.get(source)
        if s is None or not s.in_force:
            return False
        s.in_force = False
        s.entry["ended_s"] = round(max(0.0, at_s), 3)
        return True

    def due_lines(self, at_s: float) -> list[str]:
        """The count lines due at run time `at_s`: repeats untold for a minute."""
        out = []
        for s in self._sources.values():
            if s.untold and at_s - s.said_at >= REPEAT_LINE_S:
                out.append(f"{s.message} (repeated {s.untold} times in the last {at_s - s.said_at:.0f} s)")
                s.untold, s.said_at = 0, at_s
        return out

    def in_force(self) -> tuple[str, ...]:
        """The latest message of each problem whose cause has not ended, oldest first."""
        return tuple(s.message for s in self._sources.values() if s.in_force)
