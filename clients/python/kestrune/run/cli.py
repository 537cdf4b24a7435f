"""`kestrune run PROFILE`, `kestrune check PROFILE`, `kestrune --version`: the set-up before
the helper starts, the run, the record and the exit code."""

from __future__ import annotations

import argparse
import csv
import dataclasses
import json
import math
import os
import pwd
import secrets
import shutil
import signal
import socket
import sys
import tempfile
import time
from pathlib import Path

from ..native import NativeRunner, unprivileged_user
from ..paths import NATIVE_BUILD, WINDOWS_BUILD
from ..version import VERSION
from ..wine import WineRunner
from . import fleet
from . import outcome as oc
from . import report, sensors_cli
from . import sensors as sensors_mod
from .driver import Driver, Interrupt, RunState, Target
from .energy import add_energy
from .folderlock import FolderBusy, FolderLock
from .host import host_info
from .htmlreport import write_html
from .junit import write_junit
from .live import DONE
from .metrics import MetricsError, MetricsServer
from .names import slug
from .plot import write_plot
from .power import SourceError, close_meters, make_meter, open_meters
from .profile import TARGET_KINDS, Profile, ProfileError, limited_sensors, load_file
from .record import EventLog, RowLog, utc_text, write_json
from .safefile import create, give_path, is_link
from .sensors_summary import SensorTally
from .stream import Fallback
from .view import make_view


class SetupError(RuntimeError):
    """A fault found before the helper starts: one line for the user, exit code 1."""


def _say_error(text: str) -> int:
    print(f"kestrune: {text}", file=sys.stderr, flush=True)
    return oc.SETUP_FAILED


# --- before the helper starts ----------------------------------------------------------------

def prepare_out(out_dir: Path) -> tuple[bool, FolderLock]:
    """Makes the folder, takes it for this run and proves it writable; (True when this run
    created it, the lock). A folder that is a link is refused: it may lead anywhere."""
    if is_link(out_dir):
        raise SetupError(f"{out_dir} is a symbolic link: give the folder itself as --out")
    created = False
    try:
        out_dir.parent.mkdir(parents=True, exist_ok=True)
        try:
            out_dir.mkdir()
            created = True
            give_path(out_dir)  # a folder that was there already keeps its owner
        except FileExistsError:
            if is_link(out_dir) or not out_dir.is_dir():
                raise NotADirectoryError(20, "not a folder") from None
        lock = FolderLock(out_dir)
    except (FolderBusy, OSError) as e:
        _remove_if_empty(out_dir, created)
        text = str(e) if isinstance(e, FolderBusy) else f"cannot write the record to {out_dir}: {e.strerror or e}"
        raise SetupError(text) from None
    try:
        probe = out_dir / f".kestrune-probe-{os.getpid()}"
        os.close(create(probe))
        probe.unlink()
    except OSError as e:
        lock.release()
        _remove_if_empty(out_dir, created)
        raise SetupError(f"cannot write the record to {out_dir}: {e.strerror or e}") from None
    return created, lock


def _target(profile: Profile) -> tuple[str, object, object, str, str, Path | None]:
    """(first line, make runner, start helper, program, process name, own Wine prefix)."""
    t = profile.target
    head = f"kestrune: running {profile.name} ({profile.seconds:g} s, {len(profile.steps)} steps)"
    if t.kind == "native":
        exe = Path(t.exe) if t.exe else NATIVE_BUILD / "kestrune-load"
        if not exe.is_file():
            raise SetupError(f"{exe} not found (build it: scripts/build linux)")
        user = unprivileged_user()
        return (f"{head} natively{_as_whom(user)}", lambda: NativeRunner(exe, user=user), lambda r: r.start_helper(),
                str(exe), "kestrune-load", None)
    build = Path(t.build) if t.build else WINDOWS_BUILD
    exe_name = t.exe or "kestrune-load-wine.exe"
    for p in (build / "kestrune-launch.exe", build / exe_name):
        if not p.is_file():
            raise SetupError(f"{p} not found (build it: scripts/build windows)")
    # As root, Wine and the helper under it run as the same unprivileged user as the native
    # helper, in a fresh environment; the prefix the runner makes is theirs.
    user = unprivileged_user() if os.geteuid() == 0 else None
    prefix = Path(t.prefix) if t.prefix else Path(tempfile.mkdtemp(prefix="kl-run-wine-"))
    if user is not None and not t.prefix:
        os.chown(prefix, user.pw_uid, user.pw_gid)
    return (f"{head} under Wine{_as_whom(unprivileged_user())}: {build / exe_name} through the launcher",
            lambda: WineRunner(prefix, build=build, user=user),
            # Its own session: the terminal's Ctrl-C is the runner's to handle, not Wine's.
            lambda r: r.start_helper(exe_name=exe_name, new_session=True),
            str(build / exe_name), exe_name, None if t.prefix else prefix)


def _as_whom(user) -> str:
    """Which user the helper runs as, for the run's first line."""
    if os.geteuid() == 0:
        why = "SUDO_UID" if user.pw_name != "nobody" else "no SUDO_UID"
        return f"; the runner is root, so the helper runs as user {user.pw_name} ({why})"
    return f" as user {pwd.getpwuid(os.geteuid()).pw_name}"


def _open_sensors(profile: Profile, cancel=None):
    if profile.sensors is None:
        return None
    try:
        sensors = sensors_mod.open_sensors(sensors_mod.parse_requests(profile.sensors), profile_root=profile.sysfs_root,
                                           cancel=cancel)
    except sensors_mod.SensorRequestError as e:
        raise SetupError(str(e)) from None
    unknown = sorted(limited_sensors(profile) - set(sensors.columns))
    if unknown:
        sensors.close()
        raise SetupError(f"sensor_max limits {', '.join(unknown)}, which this run does not record "
                         f"(it records: {', '.join(sensors.columns) or 'nothing'})")
    return sensors


# --- the run ---------------------------------------------------------------------------------

def run(profile: Profile, out_dir: Path, profile_path: str | None = None, stdout=None,
        metrics_address: str | None = None, junit: Path | None = None) -> int:
    stdout = stdout or sys.stdout
    started = time.time()
    run_id = f"{slug(profile.name)}-{time.strftime('%Y%m%d-%H%M%S', time.gmtime(started))}-{secrets.token_hex(3)}"
    # A signal asks for a clean stop from the very start: a meter already started must not
    # be orphaned by a SIGTERM that kills the runner, and a second Ctrl-C while the record
    # is written must not lose it.
    with Interrupt() as interrupt:
        return _run(profile, out_dir, profile_path, stdout, metrics_address, started, run_id, interrupt, junit)


def _run(profile, out_dir, profile_path, stdout, metrics_address, started, run_id, interrupt, junit) -> int:
    created, lock, keep_dir = False, None, True
    meters, sensors, metrics = {}, None, None
    try:
        try:
            created, lock = prepare_out(out_dir)
            if metrics_address is not None:
                # Bound now: a port in use stops the run before anything starts.
                metrics = MetricsServer(metrics_address, {"host": socket.gethostname(), "profile": profile.name,
                                                          "run_id": run_id})
            meters = open_meters(profile.power.source, profile.power.domains, cancel=interrupt.event)
            sensors = _open_sensors(profile, interrupt.event)
            first, make, start, program, process, own_prefix = _target(profile)
        except (SetupError, SourceError, MetricsError) as e:
            keep_dir = False
            if interrupt.signum is not None:
                return _interrupted_before_start(interrupt)
            return _say_error(str(e))
        if interrupt.signum is not None:
            keep_dir = False
            return _interrupted_before_start(interrupt)
        print(first, file=stdout, flush=True)
        for text in profile.warnings:
            print(f"kestrune: warning: {text}", file=stdout, flush=True)
        if metrics is not None:
            print(f"kestrune: metrics at {metrics.url}", file=stdout, flush=True)
        # The record is written as the run goes; a folder that fails mid-run hands it to this one.
        fallback = Fallback(prefix=f"kestrune-{slug(profile.name)}-")
        log = EventLog(out_dir / "events.jsonl", time.monotonic(), fallback)
        try:
            rows = RowLog(out_dir, list(sensors.columns) if sensors is not None else [], fallback)
        except OSError as e:
            log.discard()
            keep_dir = False
            return _say_error(f"cannot write the record to {out_dir}: {e.strerror or e}")
        try:
            if profile.target.kind == "wine":
                print("kestrune: preparing the Wine prefix", file=stdout, flush=True)
            try:
                runner = make()
            except (OSError, RuntimeError) as e:
                _discard(log, rows)
                keep_dir = False
                return _say_error(f"cannot prepare the helper: {e}")
            try:
                user = getattr(runner, "run_as", None) or pwd.getpwuid(os.geteuid()).pw_name
                view = make_view(profile, stdout)
                if metrics is not None:  # its connection errors become lines above the view
                    metrics.log = view.say
                driver = Driver(profile, Target(runner, lambda: start(runner), program, user, process),
                                meters, view, log, interrupt, sensors, metrics, _sensor_tally(sensors), rows)
                state = driver.run()
            finally:
                runner.close()
        finally:
            if own_prefix is not None:
                shutil.rmtree(own_prefix, ignore_errors=True)
        if not state.helper_started:
            _discard(log, rows)
            keep_dir = False
            return oc.SETUP_FAILED
        kept = {}
        code = _finish(profile, profile_path, out_dir, state, driver, sensors, view, log, rows, fallback,
                       started, run_id, kept)
        if junit is not None:
            _write_junit(junit, kept["summary"], code, stdout)
        return code
    finally:
        close_meters(meters)
        if sensors is not None:
            sensors.close()
        if metrics is not None:
            metrics.close()
        if lock is not None:
            lock.release()
        if not keep_dir:
            _remove_if_empty(out_dir, created)


def _interrupted_before_start(interrupt) -> int:
    print("kestrune: interrupted before the helper started", file=sys.stderr, flush=True)
    return 128 + interrupt.signum


def _remove_if_empty(out_dir: Path, created: bool) -> None:
    if created:
        try:
            out_dir.rmdir()
        except OSError:
            pass


def _discard(log: EventLog, rows: RowLog) -> None:
    """A run that never started leaves nothing behind."""
    log.discard()
    rows.file.discard()


def _sensor_tally(sensors):
    units = sensors.units if sensors is not None else {}

    def sensor_tally(column, threshold, judged_from_s):
        return SensorTally(threshold, unit=units.get(column), judged_from_s=judged_from_s)

    return sensor_tally


def _summary(profile, profile_path, state: RunState, started: float, judge, run_id: str) -> dict:
    steps = judge.entries(state.domains, completed_steps=state.completed_steps, meter_failures=state.meter_failures,
                          unavailable=state.unavailable)
    result = oc.outcome([s["verdict"] for s in steps], incomplete=state.incomplete, signum=state.signum,
                        safety_stop=state.safety_stop is not None)
    return {
        "profile": {"name": profile.name, "path": str(Path(profile_path).resolve()) if profile_path else None,
                    "copy": profile.source, "warnings": list(profile.warnings)},
        "host": host_info(),
        "started_utc": utc_text(started).replace(".000Z", "Z"),
        "run_id": run_id,
        "outcome": result,
        "exit_code": None,
        "target": profile.target.kind,
        "domains": list(state.domains),
        "domains_unavailable": state.unavailable,
        "ended_s": round(state.ended_s, 3),
        "helper": {"hello": state.hello, "sessions": state.sessions},
        "handovers": state.handovers,
        "problems": state.problems,
        "safety": {"sensor_max": dict(profile.safety), "stopped": state.safety_stop},
        "steps": steps,
    }


def _write_record(folder: Path, state, summary, log: EventLog, rows: RowLog) -> list[str]:
    """Ends every file of the record in `folder` (the streamed ones move there first when they
    are elsewhere); raises OSError on the first that fails."""
    if rows.file.folder != folder:
        rows.file.move(folder)
    rows.finish(state.domains)
    try:
        add_energy(summary, folder / "run.csv", list(state.domains))
    except (OSError, csv.Error) as e:
        summary["problems"].append({"kind": "record", "at_s": summary["ended_s"],
                                    "message": f"the energy could not be summed from run.csv: {e}", "stderr_tail": None})
    write_json(folder / "summary.json", summary)
    written = ["run.csv", "summary.json"]
    if log.file is not None and log.file.folder != folder:
        log.move(folder)
    if not log.finish():
        raise OSError(log.problem)
    written.append("events.jsonl")
    if state.rows:
        try:
            # write_plot draws under a temporary name and renames, like the rest of the record.
            write_plot(folder / "run.png", folder / "run.csv", summary)
            written.append("run.png")
        except Exception as e:  # a plot that cannot be drawn does not lose the record
            summary["problems"].append({"kind": "record", "at_s": summary["ended_s"],
                                        "message": f"run.png could not be drawn: {e}", "stderr_tail": None})
            write_json(folder / "summary.json", summary)
    try:
        write_html(folder / "report.html", folder / "run.csv", summary, str(folder))
        written.append("report.html")
    except Exception as e:  # nor does a page that cannot be written
        summary["problems"].append({"kind": "record", "at_s": summary["ended_s"],
                                    "message": f"report.html could not be written: {e}", "stderr_tail": None})
        write_json(folder / "summary.json", summary)
    return written


def _instruments(meters, sensors) -> list[dict]:
    """What each bench instrument said it is (`*IDN?`), once each, for the record's host."""
    found = [getattr(m, "identity", None) for m in meters.values()]
    found += [getattr(getattr(s.reader, "logger", None), "identity", None) for s in (sensors.sensors if sensors else [])]
    out = []
    for x in found:
        if x and x not in out:
            out.append(x)
    return out


def _write_junit(path: Path, summary: dict, code: int, stdout) -> None:
    # The run's exit code stands either way: the file is a view of the record, not the result.
    try:
        write_junit(path, summary, code)
        print(f"junit: {path}", file=stdout, flush=True)
    except OSError as e:
        print(f"kestrune: cannot write the JUnit file {path}: {e.strerror or e}", file=sys.stderr, flush=True)


def _finish(profile, profile_path, out_dir, state, driver, sensors, view, log, rows, fallback, started,
            run_id, kept: dict) -> int:
    summary = _summary(profile, profile_path, state, started, driver.judge, run_id)
    kept["summary"] = summary
    instruments = _instruments(driver.meters, sensors)
    if instruments:
        summary["host"]["instruments"] = instruments
    if driver.metrics is not None and driver.last_snapshot is not None:
        driver.metrics.update(dataclasses.replace(driver.last_snapshot, state=DONE),
                              [s["verdict"] for s in summary["steps"]])
    summary["exit_code"] = oc.exit_code(summary["outcome"], signum=state.signum, record_written=True)
    written = None
    if fallback.folder is None:  # still where it was asked for
        try:
            written = _write_record(out_dir, state, summary, log, rows)
        except OSError as e:
            try:
                fallback.get(getattr(e, "strerror", None) or str(e))
            except OSError as e2:
                view.say(f"kestrune: could not write the record to {out_dir} ({e.strerror or e}) nor make a "
                         f"temporary folder ({e2.strerror or e2}); the summary follows")
                view.say(json.dumps(summary))
                return oc.exit_code(summary["outcome"], signum=state.signum, record_written=False)
    where = out_dir
    if written is None:
        where = fallback.folder
        message = f"could not write the record to {out_dir} ({fallback.reason}); it is in {where} instead"
        summary["problems"].append({"kind": "record", "at_s": summary["ended_s"], "message": message,
                                    "stderr_tail": None})
        summary["exit_code"] = oc.exit_code(summary["outcome"], signum=state.signum, record_written=False)
        try:
            written = _write_record(where, state, summary, log, rows)
        except OSError as e2:
            # Nowhere to write: the summary at least goes to the terminal.
            view.say(f"kestrune: {message}; that failed too ({e2.strerror or e2}); the summary follows")
            view.say(json.dumps(summary))
            return summary["exit_code"]
        view.say(f"kestrune: {message}")
    rows.file.close()
    log.close()
    _final_lines(summary, view)
    view.say(f"record: {', '.join(str(where / n) for n in written)}")
    return summary["exit_code"]


def _fmt(v) -> str:
    return f"{v:g}" if isinstance(v, float) else str(v)


def step_lines(summary: dict) -> list[str]:
    """One line per step with its verdict and figures, a line per failed criterion, and the
    overall verdict."""
    lines = []
    for s in summary["steps"]:
        parts = [f"step {s['index']} {s['name']}: {s['verdict'].upper()}"]
        for d, x in s["domains"].items():
            if x["mean_w"] is None:
                continue
            part = f"{d} mean {x['mean_w']:.1f} W ±{x['stdev_w']:.1f}"
            if x["error_pct"] is not None:
                settle = "never" if x["settle_s"] is None else f"{x['settle_s']:.1f} s"
                part += (f", error {x['error_pct']:+.1f} %, {x['within_share'] * 100:.0f} % in band, "
                         f"settled after {settle}")
            parts.append(part)
        lines.append("  ".join(parts))
        for f in s["failed"]:
            lines.append(f"    failed: {f['criterion']}: {_fmt(f['measured'])} (limit {_fmt(f['limit'])})")
    counts = {}
    for s in summary["steps"]:
        counts[s["verdict"]] = counts.get(s["verdict"], 0) + 1
    tally = ", ".join(f"{n} {v}" for v, n in counts.items())
    lines.append(f"overall: {summary['outcome'].upper()} ({tally}; exit code {summary['exit_code']})")
    return lines


def _final_lines(summary: dict, view) -> None:
    view.finish(step_lines(summary))


# --- check -----------------------------------------------------------------------------------

def check(path: str) -> int:
    """Validates a profile, its meters' settings and its sensors without starting anything."""
    try:
        profile = load_file(path, cores=os.cpu_count())
        for d, settings in profile.power.domains.items():
            make_meter(profile.power.source, d, settings)
        if profile.sensors is not None:
            sensors_mod.parse_requests(profile.sensors)
    except (ProfileError, SourceError, sensors_mod.SensorRequestError) as e:
        return _say_error(str(e))
    except Exception as e:  # one line, not a traceback, whatever the file holds
        if os.environ.get("KESTRUNE_DEBUG"):
            raise
        return _say_error(f"{path}: internal error: {type(e).__name__}: {e} (KESTRUNE_DEBUG=1 shows where)")
    for text in profile.warnings:
        print(f"kestrune: warning: {text}", file=sys.stderr)
    sessions = math.ceil(profile.seconds / profile.session_s())
    print(f"{path}: ok: {profile.name}, {len(profile.steps)} steps, {profile.seconds:g} s, "
          f"{'+'.join(profile.load.enabled())} load, power from {profile.power.source}"
          + (f", {sessions} helper sessions" if sessions > 1 else ""))
    return oc.PASSED


# --- the command line ------------------------------------------------------------------------

def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="kestrune", description="Drive the kestrune-load helper.")
    parser.add_argument("--version", action="version", version=f"kestrune {VERSION}")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("run", help="run a load profile with a live view and write its record")
    p.add_argument("profile", help="the profile, a TOML file")
    p.add_argument("--out", type=Path, help="folder for the record (default: runs/NAME-TIME)")
    p.add_argument("--target", choices=TARGET_KINDS, help="overrides the profile's target.kind")
    p.add_argument("--metrics", metavar="[HOST:]PORT",
                   help="serve the run's live state for Prometheus at http://HOST:PORT/metrics (HOST: localhost)")
    p.add_argument("--junit", type=Path, metavar="FILE", help="also write the result as JUnit XML for CI")
    c = sub.add_parser("check", help="validate profiles without running them")
    c.add_argument("profiles", nargs="+", help="profiles, TOML files")
    sensors_cli.add_parser(sub)
    report.add_parser(sub)
    fleet.add_parser(sub)
    args = parser.parse_args(argv)
    if args.command == "check":
        return max(check(path) for path in args.profiles)
    if args.command == "fleet-summary":
        return fleet.main(args)
    if args.command != "run":
        return args.func(args)
    try:
        profile = load_file(args.profile, cores=os.cpu_count())
    except ProfileError as e:
        return _say_error(str(e))
    except Exception as e:  # one line, not a traceback, whatever the file holds
        if os.environ.get("KESTRUNE_DEBUG"):
            raise
        return _say_error(f"{args.profile}: internal error: {type(e).__name__}: {e} (KESTRUNE_DEBUG=1 shows where)")
    if args.target:
        profile = dataclasses.replace(profile, target=dataclasses.replace(profile.target, kind=args.target))
    # The name is the profile's text: in a path it is one plain folder name under runs/.
    out = args.out or Path("runs") / f"{slug(profile.name)}-{time.strftime('%Y%m%d-%H%M%S')}"
    try:
        return run(profile, out, args.profile, metrics_address=args.metrics, junit=args.junit)
    except KeyboardInterrupt:
        # Only before the helper starts (preparing Wine, say); from then on Ctrl-C stops it.
        print("kestrune: interrupted before the helper started", file=sys.stderr)
        return 128 + signal.SIGINT
    except Exception as e:  # one line, not a traceback; KESTRUNE_DEBUG=1 shows where
        if os.environ.get("KESTRUNE_DEBUG"):
            raise
        return _say_error(f"internal error: {type(e).__name__}: {e} (KESTRUNE_DEBUG=1 shows where)")


if __name__ == "__main__":
    sys.exit(main())
