"""A bench instrument for tests: answers SCPI over TCP on 127.0.0.1 or over a pseudo-terminal,
like a power analyzer with a multi-channel temperature logger built in.

    python3 -m kestrune.testing.scpi_instrument --tcp 0 --watts 30.5,31.25 --served FILE
    python3 -m kestrune.testing.scpi_instrument --pty ...

Its first line on standard output says where it listens (`tcp 127.0.0.1 PORT` or `pty PATH`).
It answers `*IDN?`, `MEAS:POW?` (the --watts values in turn, each appended to --served as
it goes out), `MEAS:TEMP? TC,K,(@101:103)` (one value per channel: --temp plus the channel's
offset from the first), `SYST:ERR?` (0,"No error", or the oldest queued error); *RST, *CLS and
settings (INP..., CONF..., SENS..., TRIG...) are taken silently; anything else queues -113. After --after
answers it does --fault: hang (stops answering), garble (answers noise), drop (closes the
connection and takes no more), error (queues -222 for the next SYST:ERR?)."""

from __future__ import annotations

import argparse
import os
import pty
import re
import select
import socket
import sys
import time
import tty

IDN = "Kestrune Test Instruments,PA-1,SN0001,1.2.3"
SETTINGS = ("*RST", "*CLS", "INP", "CONF", "SENS", "TRIG")   # commands it takes without a word
CHANNELS = re.compile(r"\(@([0-9:,\s]+)\)")


def channels(query: str) -> list[int]:
    m = CHANNELS.search(query)
    out = []
    for part in (m.group(1).split(",") if m else []):
        lo, _, hi = part.strip().partition(":")
        out += list(range(int(lo), int(hi or lo) + 1))
    return out


class Instrument:
    def __init__(self, args):
        self.watts = [float(w) for w in args.watts.split(",")]
        self.temp = args.temp
        self.served = args.served
        self.after, self.fault = args.after, args.fault
        self.answers = 0
        self.next_watt = 0
        self.errors: list[str] = []

    def answer(self, line: str) -> str | None:
        """The reply to one command line, or None for none; "drop" and "hang" as words."""
        cmd = line.strip()
        if not cmd:
            return None
        if not cmd.endswith("?") and "? " not in cmd:
            if not cmd.lstrip(":").upper().startswith(SETTINGS):
                self.errors.append('-113,"Undefined header"')
            return None
        if self.fault and self.answers >= self.after:
            if self.fault in ("hang", "drop"):
                return self.fault
            if self.fault == "garble":
                return "#\x07%@!~"
            if self.fault == "error" and not self.errors:
                self.errors.append('-222,"Data out of range"')
        self.answers += 1
        head = cmd.split()[0].upper()
        if head == "*IDN?":
            return IDN
        if head in ("SYST:ERR?", "SYSTEM:ERROR?", "SYST:ERR:NEXT?"):
            return self.errors.pop(0) if self.errors else '0,"No error"'
        if head in ("MEAS:POW?", "MEASURE:POWER?", "MEAS:POW:AC?", "MEAS:POW:DC?"):
            w = self.watts[self.next_watt % len(self.watts)]
            self.next_watt += 1
            if self.served:
                with open(self.served, "a") as f:
                    f.write(f"{w!r}\n")
            return f"{w:+.6E}"
        if head in ("MEAS:TEMP?", "MEASURE:TEMPERATURE?"):
            chans = channels(cmd)
            return ",".join(f"{self.temp + (c - chans[0]) * 0.5:+.3E}" for c in chans)
        self.errors.append('-113,"Undefined header"')
        return None


def _lines(buf: bytearray):
    while b"\n" in buf:
        i = buf.index(b"\n")
        line = bytes(buf[:i]).decode(errors="replace").rstrip("\r")
        del buf[:i + 1]
        yield line


def serve_tcp(inst: Instrument, port: int) -> None:
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen()
    print(f"tcp 127.0.0.1 {srv.getsockname()[1]}", flush=True)
    while True:
        conn, _ = srv.accept()
        buf = bytearray()
        with conn:
            while True:
                data = conn.recv(4096)
                if not data:
                    break
                buf += data
                for line in _lines(buf):
                    reply = inst.answer(line)
                    if reply == "drop":
                        conn.close()
                        srv.close()
                        time.sleep(3600)
                    if reply == "hang":
                        time.sleep(3600)
                    if reply is not None:
                        conn.sendall((reply + "\n").encode())


def serve_pty(inst: Instrument) -> None:
    controller, device = pty.openpty()
    tty.setraw(device)  # no echo, no line editing: bytes as a serial line carries them
    print(f"pty {os.ttyname(device)}", flush=True)
    buf = bytearray()
    while True:
        ready, _, _ = select.select([controller], [], [], 1.0)
        if not ready:
            continue
        try:
            data = os.read(controller, 4096)
        except OSError:  # the other side closed: wait for it to open again
            time.sleep(0.05)
            continue
        buf += data
        for line in _lines(buf):
            reply = inst.answer(line)
            if reply in ("hang", "drop"):
                if reply == "drop":
                    os.close(device)
                time.sleep(3600)
            if reply is not None:
                os.write(controller, (reply + "\n").encode())


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--tcp", type=int, metavar="PORT", help="listen on 127.0.0.1:PORT (0: any free port)")
    where.add_argument("--pty", action="store_true", help="serve on a new pseudo-terminal")
    p.add_argument("--watts", default="30", help="readings MEAS:POW? gives in turn, comma-separated")
    p.add_argument("--temp", type=float, default=40.0, help="the first channel's temperature")
    p.add_argument("--served", help="append each power reading served to this file")
    p.add_argument("--fault", choices=("hang", "garble", "drop", "error"))
    p.add_argument("--after", type=int, default=0, help="answers before the fault")
    args = p.parse_args(argv)
    inst = Instrument(args)
    try:
        serve_pty(inst) if args.pty else serve_tcp(inst, args.tcp)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
