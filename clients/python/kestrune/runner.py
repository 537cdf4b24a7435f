"""The one interface every way of starting the helper offers."""

from __future__ import annotations

from abc import ABC, abstractmethod

from .helper import Helper


class Runner(ABC):
    """Starts helpers as the process contract demands on one platform, and says which
    process a helper is to watch as its parent. A runner may hold resources for all its
    helpers (a Wine prefix's server, a private copy of the program): close it, or use it
    as a context manager."""

    name: str  # "native", "wine" or "windows"

    @abstractmethod
    def start_helper(self) -> Helper:
        """A helper started the way a controller must start it."""

    @abstractmethod
    def parent_pid(self, helper: Helper) -> int:
        """The process id for the start command's parentPid."""

    def close(self) -> None:
        """Releases what the runner holds; its helpers must have ended."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
