"""A thread that keeps the helper's heartbeat watchdog fed."""

from __future__ import annotations

import threading


class Heartbeat:
    """Sends "hb" every `period` seconds on a thread until stopped (or the block ends)."""

    def __init__(self, helper, period: float = 0.3):
        self.helper = helper
        self.period = period
        self._stop = threading.Event()
        self._t = threading.Thread(target=self._run, name="kestrune-hb", daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.helper.send({"cmd": "hb"})
            self._stop.wait(self.period)

    def start(self) -> "Heartbeat":
        self._t.start()
        return self

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stop.set()
        if self._t.is_alive():
            self._t.join(timeout=5)
