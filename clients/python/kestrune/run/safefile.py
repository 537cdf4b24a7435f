"""Making the record's files in a folder that someone else may have prepared, with links in
it, while the runner is root: a file is always made new (O_EXCL), never reached through a
link (O_NOFOLLOW), and given to the user who asked for the run through its own descriptor,
so that nothing the runner did not make changes hands."""

from __future__ import annotations

import os
import stat
from pathlib import Path

NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_NEW = os.O_CREAT | os.O_EXCL | NOFOLLOW | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)


def record_owner(environ=None) -> tuple[int, int] | None:
    """Under sudo, (uid, gid) of the user who ran sudo: what the runner makes is theirs."""
    environ = os.environ if environ is None else environ
    if os.name != "posix" or os.geteuid() != 0:
        return None
    uid, gid = environ.get("SUDO_UID", ""), environ.get("SUDO_GID", "")
    if not (uid.isdigit() and gid.isdigit()) or int(uid) == 0:
        return None
    return int(uid), int(gid)


def create(path: Path, flags: int = os.O_RDWR, mode: int = 0o644) -> int:
    """A new file at `path`, open with `flags`. An entry of that name left by someone else
    (a killed run's partial file, a link) is removed first: unlinking removes a link
    itself, never what it points at. A folder of that name is not touched: OSError."""
    try:
        fd = os.open(path, flags | _NEW, mode)
    except FileExistsError:
        if stat.S_ISDIR(os.lstat(path).st_mode):
            raise IsADirectoryError(21, f"{Path(path).name} is a folder", str(path)) from None
        os.unlink(path)
        # Made again in between: someone is racing the runner, and it gives way.
        fd = os.open(path, flags | _NEW, mode)
    give(fd)
    return fd


def give(fd: int) -> None:
    owner = record_owner()
    if owner is not None:
        try:
            os.fchown(fd, *owner)
        except OSError:
            pass


def give_path(path: Path) -> None:
    """For a folder the runner made: never through a link."""
    owner = record_owner()
    if owner is not None:
        try:
            os.chown(path, *owner, follow_symlinks=False)
        except OSError:
            pass


def is_link(path: Path) -> bool:
    try:
        return stat.S_ISLNK(os.lstat(path).st_mode)
    except OSError:
        return False
