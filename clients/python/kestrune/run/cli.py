"""`kestrune run PROFILE [--out DIR] [--target native|wine]`"""

from __future__ import annotations

import argparse
import dataclasses
import os
import pwd
import shutil
import signal
import sys
import tempfile
import threading
import time
from pathlib import Path

from ..native import NativeRunner, unprivileged_user
from ..paths import NATIVE_BUILD, WINDOWS_BUILD
from ..session import Session, StartFailed
from ..wine import WineRunner
from . import fleet
from .plot import write_plot
from .power import SourceError, close_meters, open_meters
from .profile import TARGET_KINDS, Profile, ProfileError, load_file
from .record import Row, row_from_status, write_csv, write_summary
from .view import make_view

# The runner's own failures (bad profile, unreadable meter, missing build), apart from the
# helper's exit codes 0 and 2..9.
SETUP_FAILED = 1


def _say_error(text: str) -> int:
    print(f"kestrune: {text}", file=sys.stderr, flush=True)
    return SETUP_FAILED


class _Interrupt:
    """Ctrl-C (or SIGTERM, SIGHUP) asks for a clean stop; the run loop notices within one interval."""

    def __init__(self):
        self.event = threading.Event()
        self._old = {}

    def __enter__(self):
        # A closed terminal (SIGHUP) also gets a clean stop and a record.
        for sig in (signal.SIGINT, signal.SIGTERM, getattr(signal, "SIGHUP", None)):
            if sig is None:
                continue
            self._old[sig] = signal.signal(sig, lambda *_: self.event.set())
        return self

    def __exit__(self, *exc):
        for sig, old in self._old.items():
            signal.signal(sig, old)


@dataclasses.dataclass
class _Plan:
    """How the helper will be started: said in the first line, done by `make` and `start`."""

    first_line: str
    make: object             # () -> runner
    start: object            # (runner) -> Helper
    own_prefix: Path | None = None


def _plan(profile: Profile) -> _Plan:
    t = profile.target
    head = f"kestrune: running {profile.name} ({profile.seconds:g} s, {len(profile.steps)} steps)"
    if t.kind == "native":
        exe = Path(t.exe) if t.exe else NATIVE_BUILD / "kestrune-load"
        if not exe.is_file():
            raise FileNotFoundError(f"{exe} not found (build it: scripts/build linux)")
        user = unprivileged_user()
        if os.geteuid() == 0:
            why = "SUDO_UID" if user.pw_name != "nobody" else "no SUDO_UID"
            line = f"{head} natively; the runner is root, so the helper runs as user {user.pw_name} ({why})"
        else:
            line = f"{head} natively as user {pwd.getpwuid(os.geteuid()).pw_name}"
        return _Plan(line, lambda: NativeRunner(exe, user=user), lambda r: r.start_helper())
    build = Path(t.build) if t.build else WINDOWS_BUILD
    exe_name = t.exe or "kestrune-load-wine.exe"
    for p in (build / "kestrune-launch.exe", build / exe_name):
        if not p.is_file():
            raise FileNotFoundError(f"{p} not found (build it: scripts/build windows)")
    prefix = Path(t.prefix) if t.prefix else Path(tempfile.mkdtemp(prefix="kl-run-wine-"))
    return _Plan(f"{head} under Wine: {build / exe_name} through the launcher",
                 lambda: WineRunner(prefix, build=build),
                 # Its own session: the terminal's Ctrl-C is the runner's to handle, not Wine's.
                 lambda r: r.start_helper(exe_name=exe_name, new_session=True),
                 None if t.prefix else prefix)


def run(profile: Profile, out_dir: Path, stdout=None) -> int:
    stdout = stdout or sys.stdout
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        return _say_error(f"cannot create {out_dir}: {e.strerror or e}")
    try:
        meters = open_meters(profile.power.source, profile.power.domains)
    except SourceError as e:
        return _say_error(str(e))
    try:
        try:
            plan = _plan(profile)
        except (FileNotFoundError, KeyError) as e:
            return _say_error(str(e).strip("'\""))
        print(plan.first_line, file=stdout, flush=True)
        try:
            if profile.target.kind == "wine":
                print("kestrune: preparing the Wine prefix", file=stdout, flush=True)
            runner = plan.make()
            try:
                return _run_with(profile, runner, lambda: plan.start(runner), meters, out_dir, stdout)
            finally:
                runner.close()
        finally:
            if plan.own_prefix is not None:
                shutil.rmtree(plan.own_prefix, ignore_errors=True)
    finally:
        close_meters(meters)


def _run_with(profile, runner, start, meters, out_dir: Path, stdout) -> int:
    view = make_view(profile, stdout)
    load = profile.load
    domains = load.enabled()
    rows: list[Row] = []
    measured: dict[str, float | None] = {d: None for d in domains}
    session = Session(runner, cpu=load.cpu, gpu=load.gpu, workers=load.workers, hb_timeout_ms=load.hb_timeout_ms,
                      max_run_s=profile.max_run_s(), adapter_hint=load.adapter_hint, nonce=profile.name[:64],
                      start=start)
    interrupted = False
    with _Interrupt() as interrupt:
        try:
            session.__enter__()
        except (StartFailed, RuntimeError, OSError) as e:  # RuntimeError: the launcher failed
            view.say(f"kestrune: {e}")
            session.close()
            _write_record(profile, out_dir, rows, session, interrupted, view)
            return _exit_code(session.code)
        try:
            hello = session.hello
            view.say(f"helper started: pid {hello.get('pid')}, {hello.get('workers')} worker(s), "
                     f"kernels {hello.get('isa')}, gpu {_gpu_text(hello.get('gpu') or {})}")
            interrupted = _drive(profile, session, meters, measured, rows, view, interrupt.event)
            if interrupted:
                view.say("kestrune: interrupted; stopping the helper")
        finally:
            session.close()
    view.finish()
    bye = session.bye
    view.say(f"bye: {bye.get('why')}, exit code {bye.get('code')}, cpuS {bye.get('cpuS')}, gpuS {bye.get('gpuS')}"
             if bye else f"the helper ended without a bye (exit code {session.code})")
    _write_record(profile, out_dir, rows, session, interrupted, view)
    return _exit_code(session.code)


def _gpu_text(gpu: dict) -> str:
    if gpu.get("ok"):
        return f"{gpu.get('name')} ({gpu.get('dispatchMs')} ms a dispatch)"
    return f"not used ({gpu.get('err') or 'not asked for'})"


def _drive(profile, session, meters, measured, rows, view, interrupt: threading.Event) -> bool:
    """Runs the steps; True when interrupted. Ends early when the helper ends by itself."""
    bounds = profile.boundaries()
    interval = profile.power.interval_s
    t0 = time.monotonic()
    step = 0
    next_power = t0
    while not interrupt.is_set():
        now = time.monotonic()
        elapsed = now - t0
        while step < len(bounds) and elapsed >= bounds[step][0]:
            s = profile.steps[step]
            step += 1
            load = profile.load
            session.set(cpu=s.cpu if load.cpu else None, gpu=s.gpu if load.gpu else None)
        if elapsed >= bounds[-1][1]:
            return False
        if now >= next_power:
            readings = {d: m.read(now) for d, m in meters.items()}
            for d, w in readings.items():
                if w is not None:
                    measured[d] = w
            if any(w is not None for w in readings.values()):
                session.power(cpu_w=readings.get("cpu"), gpu_w=readings.get("gpu"))
            next_power = max(next_power + interval, now)
        next_step = t0 + (bounds[step][0] if step < len(bounds) else bounds[-1][1])
        wait = max(0.005, min(next_power, next_step) - time.monotonic())
        try:
            ev = session.helper.read(wait)
        except TimeoutError:
            continue
        if ev is None:
            return False
        kind = ev.get("ev")
        if kind == "status":
            for d, m in meters.items():
                m.observe_duty(float((ev.get(d) or {}).get("duty") or 0.0))
            row = row_from_status(ev, time.monotonic() - t0, step, measured, profile.load.enabled())
            rows.append(row)
            view.status(ev, row.time_s, step, measured)
        elif kind == "error":
            view.say(f"helper error: {ev.get('code')}" + (f": {ev['detail']}" if ev.get("detail") else ""))
        elif kind == "bye":
            session.bye = ev
            view.say(f"kestrune: the helper ended the run: {ev.get('why')}")
            return False
    return True


def _write_record(profile, out_dir: Path, rows, session, interrupted, view) -> None:
    domains = profile.load.enabled()
    write_csv(out_dir / "run.csv", rows, domains)
    summary = write_summary(out_dir / "summary.json", profile, rows, session.bye, session.code, interrupted,
                            session.hello)
    written = ["run.csv", "summary.json"]
    if rows:
        write_plot(out_dir / "run.png", profile, rows)
        written.insert(1, "run.png")
    for entry in summary["steps"]:
        if not entry["rows"]:
            continue
        parts = [f"step {entry['step']} {entry['name']}:"]
        for d in domains:
            x = entry[d]
            mean = "-" if x["meanW"] is None else f"{x['meanW']:.1f} W"
            part = f"{d} {x['mode']} mean {mean}"
            if x["targetW"] is not None and x["errorPct"] is not None:
                settle = "never" if x["settleS"] is None else f"{x['settleS']:.2f} s"
                part += f", error {x['errorPct']:+.1f} %, within ±3 % after {settle}"
            parts.append(part)
        view.say(" ".join(parts))
    _give_to_sudo_user([out_dir, *(out_dir / n for n in written)])
    view.say(f"record: {', '.join(str(out_dir / n) for n in written)}")


def _give_to_sudo_user(paths) -> None:
    """Under sudo, the record belongs to the user who asked for it, not to root."""
    uid, gid = os.environ.get("SUDO_UID", ""), os.environ.get("SUDO_GID", "")
    if os.geteuid() != 0 or not (uid.isdigit() and gid.isdigit()):
        return
    for p in paths:
        try:
            os.chown(p, int(uid), int(gid))
        except OSError:
            pass


def _exit_code(code: int | None) -> int:
    if code is None:
        return SETUP_FAILED
    return 128 - code if code < 0 else code  # killed by a signal: the shell's convention


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="kestrune", description="Drive the kestrune-load helper.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("run", help="run a load profile with a live view and write its record")
    p.add_argument("profile", help="the profile, a TOML file")
    p.add_argument("--out", type=Path, help="folder for run.csv, run.png and summary.json "
                                           "(default: runs/NAME-TIME)")
    p.add_argument("--target", choices=TARGET_KINDS, help="overrides the profile's target.kind")
    fleet.add_parser(sub)
    args = parser.parse_args(argv)
    if args.command == "fleet-summary":
        return fleet.main(args)
    try:
        profile = load_file(args.profile)
    except ProfileError as e:
        return _say_error(str(e))
    if args.target:
        profile = dataclasses.replace(profile, target=dataclasses.replace(profile.target, kind=args.target))
    out = args.out or Path("runs") / f"{profile.name}-{time.strftime('%Y%m%d-%H%M%S')}"
    try:
        return run(profile, out)
    except KeyboardInterrupt:
        # Only before the helper starts (preparing Wine, say); from then on Ctrl-C stops it.
        print("kestrune: interrupted before the helper started", file=sys.stderr)
        return 128 + signal.SIGINT


if __name__ == "__main__":
    sys.exit(main())
