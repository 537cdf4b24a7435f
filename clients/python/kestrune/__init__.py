"""Client for the kestrune-load helper.

Start it the way its process contract demands (natively, on Windows or under Wine), send
commands, read events with time-outs, keep its heartbeat, and always end it:

    import kestrune
    with kestrune.NativeRunner() as runner, kestrune.Session(runner, cpu=True) as s:
        s.set(cpu=kestrune.target(40.0))
        s.power(cpu_w=31.5)
        for ev in s.events(timeout=2.0):     # Hello, Ack, Status, Error, Bye records
            ...
"""

from .commands import (FREE, MAX_RUN_S, MIN_RUN_S, MODES, OFF, Domain, hb_cmd, power_cmd, set_cmd, start_cmd,
                       stop_cmd, target)
from .events import (Ack, Bye, CpuStatus, Error, Event, GpuInfo, GpuStatus, Hello, ProtocolError, Status,
                     parse_event, parse_line)
from .heartbeat import Heartbeat
from .helper import Helper
from .native import NativeRunner, unprivileged_user
from .paths import NATIVE_BUILD, ROOT, WINDOWS_BUILD
from .reasons import ERROR_CODES, STOP_REASONS
from .runner import Runner
from .session import Session, SetNotAcknowledged, StartFailed
from .windows import WindowsRunner
from .wine import WineRunner

__all__ = [
    "Ack", "Bye", "CpuStatus", "Domain", "ERROR_CODES", "Error", "Event", "FREE", "GpuInfo", "GpuStatus",
    "Heartbeat", "Hello", "Helper", "MAX_RUN_S", "MIN_RUN_S", "MODES", "NATIVE_BUILD", "NativeRunner", "OFF",
    "ProtocolError", "ROOT", "Runner", "STOP_REASONS", "Session", "SetNotAcknowledged", "StartFailed", "Status",
    "WINDOWS_BUILD", "WindowsRunner", "WineRunner", "hb_cmd", "parse_event", "parse_line", "power_cmd",
    "set_cmd", "start_cmd", "stop_cmd", "target", "unprivileged_user",
]
