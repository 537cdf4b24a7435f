"""Drives the real helper the way a controller does: over pipes, one JSON line at a time.

Two ways in:
  * native: the Linux build, started as an unprivileged user with the parent-death signal
    set to SIGKILL (the analogue of a kill-on-close job);
  * wine: the Windows build under Wine, started through the launcher, which puts it in a
    kill-on-close job with an unelevated token.
"""

from __future__ import annotations

import ctypes
import json
import os
import pwd
import queue
import select
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
NATIVE_BUILD = Path(os.environ.get("KL_NATIVE_BUILD", ROOT / "build" / "linux"))
WINDOWS_BUILD = Path(os.environ.get("KL_WINDOWS_BUILD", ROOT / "build" / "windows"))

PR_SET_PDEATHSIG = 1


def _libc():
    return ctypes.CDLL(None, use_errno=True)


class Helper:
    """One running helper process with line-oriented access to its output."""

    def __init__(self, argv, env=None, preexec_fn=None, pass_fds=(), stdin_devnull=False):
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen(
            argv,
            bufsize=0,  # unbuffered: when the test stops reading, the helper feels it at once
            stdin=subprocess.DEVNULL if stdin_devnull else subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
            preexec_fn=preexec_fn,
            pass_fds=pass_fds,
        )
        self._paused = threading.Event()
        self.lines: "queue.Queue[tuple[float, bytes | None]]" = queue.Queue()
        self.stderr_lines: "queue.Queue[bytes | None]" = queue.Queue()
        threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines, True), daemon=True).start()
        threading.Thread(target=self._pump, args=(self.proc.stderr, self.stderr_lines, False), daemon=True).start()
        self.received: list[tuple[float, dict]] = []

    def _pump(self, stream, q, timed):
        while not (timed and self._paused.is_set()):
            try:
                raw = stream.readline()
            except (OSError, ValueError):
                raw = b""
            if not raw:
                break
            q.put((time.monotonic(), raw) if timed else raw)
        q.put((time.monotonic(), None) if timed else None)

    def block_pump(self) -> None:
        """Stops reading the helper's output (after at most the line being read)."""
        self._paused.set()

    def close_stdout(self) -> None:
        """Closes the reading end of the helper's output, like a controller that goes deaf."""
        self._paused.set()
        try:
            self.proc.stdout.close()
        except Exception:
            pass

    # --- talking -------------------------------------------------------------------------
    def send(self, obj) -> None:
        self.send_raw((json.dumps(obj, separators=(",", ":")) if not isinstance(obj, (bytes, str)) else obj))

    def send_raw(self, data) -> None:
        if isinstance(data, str):
            data = data.encode()
        if not data.endswith(b"\n"):
            data += b"\n"
        try:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass

    def close_stdin(self) -> None:
        try:
            self.proc.stdin.close()
        except Exception:
            pass

    def read_raw_line(self, timeout: float) -> bytes | None:
        """The next output line as bytes (with its newline), or None at end of output."""
        try:
            _, raw = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError(f"no output line within {timeout} s") from None
        return raw

    def read(self, timeout: float = 10.0) -> dict | None:
        raw = self.read_raw_line(timeout)
        if raw is None:
            return None
        assert raw.endswith(b"\n"), raw
        event = json.loads(raw)
        self.received.append((time.monotonic() - self.t0, event))
        return event

    def read_until(self, pred, timeout: float = 10.0) -> dict:
        """Reads events until one satisfies pred; returns it."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no matching event")
            ev = self.read(left)
            if ev is None:
                raise EOFError(f"output ended; got {[e for _, e in self.received]}")
            if pred(ev):
                return ev

    def read_all(self, timeout: float = 15.0) -> list[dict]:
        """Every remaining event up to the end of output."""
        out = []
        deadline = time.monotonic() + timeout
        while True:
            ev = self.read(max(0.01, deadline - time.monotonic()))
            if ev is None:
                return out
            out.append(ev)

    def wait(self, timeout: float = 15.0) -> int:
        return self.proc.wait(timeout=timeout)

    def flood(self, line: bytes, count: int, chunk_lines: int = 65536) -> None:
        """Writes `count` copies of `line` (newline added) as fast as the pipe takes them."""
        if not line.endswith(b"\n"):
            line += b"\n"
        chunk = line * chunk_lines
        left = count
        while left > 0:
            n = min(left, chunk_lines)
            self.proc.stdin.write(chunk if n == chunk_lines else line * n)
            left -= n
        self.proc.stdin.flush()

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        for s in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                if s:
                    s.close()
            except Exception:
                pass


# --- native ----------------------------------------------------------------------------------

class NativeRunner:
    """Starts the Linux build as the user `nobody`, in a private copy of the executable."""

    def __init__(self):
        src = NATIVE_BUILD / "kestrune-load"
        if not src.exists():
            raise FileNotFoundError(src)
        # The clone may sit where `nobody` cannot enter: run a copy from a fresh 755 folder.
        self.dir = Path(tempfile.mkdtemp(prefix="kl-native-"))
        os.chmod(self.dir, 0o755)
        self.exe = self.dir / "kestrune-load"
        shutil.copy2(src, self.exe)
        os.chmod(self.exe, 0o755)
        self.user = pwd.getpwnam("nobody")

    def env(self):
        return {"PATH": "/usr/bin:/bin", "HOME": str(self.dir), "LANG": "C.UTF-8"}

    def start(self, *, unprivileged=True, job=True, stdin_devnull=False) -> Helper:
        uid, gid = self.user.pw_uid, self.user.pw_gid
        can_drop = os.geteuid() == 0

        def preexec():
            os.setsid()
            if unprivileged and can_drop:
                os.setgroups([])
                os.setresgid(gid, gid, gid)
                os.setresuid(uid, uid, uid)
            # Set after dropping privileges: changing credentials clears it.
            if job:
                _libc().prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)

        return Helper([str(self.exe)], env=self.env(), preexec_fn=preexec, stdin_devnull=stdin_devnull)

    name = "native"

    def start_helper(self, *, job=True) -> Helper:
        """A helper as a controller starts it: unprivileged, in the kill-on-close analogue."""
        return self.start(unprivileged=True, job=job)

    def parent_pid(self, helper: Helper) -> int:
        return os.getpid()

    def helper_os_pid(self, helper: Helper) -> int:
        """The Linux process id of the helper itself."""
        return helper.proc.pid

    def process_cpu_seconds(self, helper: Helper) -> float:
        fields = Path(f"/proc/{helper.proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / ticks

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


# --- wine ------------------------------------------------------------------------------------

class WineRunner:
    """Starts a Windows build under Wine through the launcher, in a prefix of its own."""

    def __init__(self, prefix: Path, display: str | None = None):
        self.prefix = prefix
        self.launcher = WINDOWS_BUILD / "kestrune-launch.exe"
        if not self.launcher.exists():
            raise FileNotFoundError(self.launcher)
        self.base_env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        # The first process of a wineserver starts the prefix's desktop, which keeps the display
        # it found (or its absence) for every later run: a prefix is either with X or without.
        self.base_env.pop("DISPLAY", None)
        if display is not None:
            self.base_env["DISPLAY"] = display
        # One wineserver for the whole suite: warm starts cost ~20 ms instead of ~0.6 s.
        subprocess.run(["wineboot", "-i"], env=self.base_env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        self.server = subprocess.Popen(["wineserver", "-p", "-f"], env=self.base_env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self, exe_name="kestrune-load-wine.exe", *, launcher_args=(), env_extra=None) -> Helper:
        env = dict(self.base_env, **(env_extra or {}))
        argv = ["wine", str(self.launcher), *launcher_args, str(WINDOWS_BUILD / exe_name)]
        h = Helper(argv, env=env)
        line = h.stderr_lines.get(timeout=60)
        assert line is not None and line.startswith(b"launcher pid "), line
        parts = line.split()
        h.launcher_pid = int(parts[2])
        h.child_pid = int(parts[5]) if len(parts) > 5 else None
        return h

    name = "wine"

    def start_helper(self, *, job=True, exe_name="kestrune-load-wine.exe", env_extra=None) -> Helper:
        """The Wine test build through the launcher (which makes the job and drops elevation)."""
        return self.start(exe_name, launcher_args=() if job else ("--no-job",), env_extra=env_extra)

    def parent_pid(self, helper: Helper) -> int:
        return helper.launcher_pid

    def helper_os_pid(self, helper: Helper, exe_name="kestrune-load-wine.exe", timeout: float = 30.0) -> int:
        """The Linux process id of the helper (not the launcher) in this prefix."""
        prefix = f"WINEPREFIX={self.prefix}".encode()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for d in Path("/proc").iterdir():
                if not d.name.isdigit():
                    continue
                try:
                    argv0 = (d / "cmdline").read_bytes().split(b"\0")[0]
                    if not argv0.lower().endswith(exe_name.encode()):
                        continue
                    if prefix in (d / "environ").read_bytes().split(b"\0"):
                        return int(d.name)
                except OSError:
                    continue
            time.sleep(0.1)
        raise TimeoutError(f"no {exe_name} process in {self.prefix}")

    def run_direct(self, exe_name, stdin=b"", timeout=60):
        """Runs an executable straight under wine (no launcher, elevated default token)."""
        return subprocess.run(["wine", str(WINDOWS_BUILD / exe_name)], input=stdin, capture_output=True,
                              env=self.base_env, timeout=timeout)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.base_env, check=False, timeout=60)
        try:
            self.server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.server.kill()


class Xvfb:
    """A virtual X server for the session: Direct3D under Wine needs a display."""

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


def memory_kib(pid: int) -> tuple[int, int]:
    """(resident now, peak resident) of a Linux process, in KiB."""
    fields = {}
    for row in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = row.partition(":")
        fields[key] = value
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def start_cmd(parent_pid, *, cpu=False, gpu=False, workers=None, hb_timeout_ms=None, max_run_s=None,
              nonce="e2e", v=1, adapter_hint=None):
    cmd = {"cmd": "start", "v": v, "nonce": nonce, "parentPid": parent_pid}
    if hb_timeout_ms is not None:
        cmd["hbTimeoutMs"] = hb_timeout_ms
    if max_run_s is not None:
        cmd["maxRunS"] = max_run_s
    cmd["cpu"] = {"enable": cpu}
    if workers is not None:
        cmd["cpu"]["workers"] = workers
    cmd["gpu"] = {"enable": gpu}
    if adapter_hint is not None:
        cmd["gpu"]["adapterHint"] = adapter_hint
    return cmd


class Heartbeat:
    """Sends "hb" every `period` seconds on a thread until stopped."""

    def __init__(self, helper: Helper, period: float = 0.3):
        self.helper = helper
        self.period = period
        self._stop = threading.Event()
        self._t = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.helper.send({"cmd": "hb"})
            self._stop.wait(self.period)

    def __enter__(self):
        self._t.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stop.set()
        self._t.join(timeout=5)
