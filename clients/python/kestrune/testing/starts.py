"""Starts that break the helper's process contract on purpose, to test its refusals, and
the start command the tests send."""

from __future__ import annotations

from .. import commands
from ..helper import Helper
from ..native import NativeRunner, child_setup
from ..runner import Runner

NONCE = "e2e"


def start_cmd(parent_pid: int, **kw) -> dict:
    """A start command with the tests' nonce unless one is given."""
    kw.setdefault("nonce", NONCE)
    return commands.start_cmd(parent_pid, **kw)


def start_native(runner: NativeRunner, *, unprivileged=True, job=True, stdin_devnull=False) -> Helper:
    """The native helper, kept as root (`unprivileged=False`) or without the parent-death
    signal that stands in for the kill-on-close job (`job=False`)."""
    user = runner.user if unprivileged and runner.drops_privileges else None
    return Helper([str(runner.exe)], env=runner.env(), preexec_fn=child_setup(user, death_signal=job),
                  stdin_devnull=stdin_devnull)


def start_without_job(runner: Runner) -> Helper:
    """A helper outside the kill-on-close job (natively: without the parent-death signal)."""
    if isinstance(runner, NativeRunner):
        return start_native(runner, job=False)
    return runner.start(launcher_args=("--no-job",))
