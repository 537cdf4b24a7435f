"""A virtual X server for tests that run Direct3D under Wine."""

from __future__ import annotations

import os
import select
import subprocess
import time


class Xvfb:
    """A virtual X server: Direct3D under Wine needs a display."""

    def __init__(self, timeout: float = 30.0):
        rfd, wfd = os.pipe()
        try:
            # -displayfd: the server picks a free display number and writes it when ready.
            self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(wfd), "-nolisten", "tcp",
                                          "-screen", "0", "640x480x24"], pass_fds=(wfd,),
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(wfd)
            wfd = -1
            # Read through the newline: the number and the newline come in separate writes,
            # and the server dies if the second one finds the pipe closed.
            got = b""
            deadline = time.monotonic() + timeout
            while not got.endswith(b"\n"):
                ready, _, _ = select.select([rfd], [], [], max(0.0, deadline - time.monotonic()))
                chunk = os.read(rfd, 64) if ready else b""
                if not chunk:
                    break
                got += chunk
            number = got.decode(errors="replace").strip()
        finally:
            if wfd >= 0:
                os.close(wfd)
            os.close(rfd)
        if not number.isdigit() or self.proc.poll() is not None:
            self.close()
            raise RuntimeError("Xvfb did not report a display")
        self.display = f":{number}"

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
