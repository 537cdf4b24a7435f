"""What only test rigs need: ways to break the helper's process contract and to misbehave
as a controller on purpose, the tests' start command, a virtual display and a look at a
process's memory. The check of every output line against the protocol's schema is in
kestrune.testing.contract (it needs python3-jsonschema)."""

from .pipes import block_pump, close_stdout, flood
from .procinfo import memory_kib
from .starts import NONCE, start_cmd, start_native, start_without_job
from .xvfb import Xvfb

__all__ = ["NONCE", "Xvfb", "block_pump", "close_stdout", "flood", "memory_kib", "start_cmd", "start_native",
           "start_without_job"]
