"""The run loop: helper sessions one after another, each step's setting on time, a power
reading every interval, one row and one snapshot per status, and every way a run can go
wrong noticed and written down as a problem."""

from __future__ import annotations

import queue
import signal
import subprocess
import threading
import time
from dataclasses import dataclass, field

from ..commands import Domain
from ..events import Bye, Error, Event, GpuInfo, Hello, Status
from ..session import Session, SetNotAcknowledged, StartFailed
from ..version import VERSION
from .handover import handover_due, session_reach_s
from .live import HANDOVER, RUNNING, DomainLive, Snapshot
from .meterwatch import MeterWatch, meter_timeout
from .problems import ProblemLog
from .profile import RUN_LIMIT_MARGIN_S, Profile, effective_target
from .record import EventLog, Row, RowLog, row_from_status, utc_text
from .safety import SafetyWatch, Trip
from .sensors import UNIT_TEXT
from .resettle import Resettle
from .steps import RunJudge
from .verdict import FAILING, PASSING, SETTLING, Running

# A helper in a run writes a status every 250 ms: this long without any event (the helper's
# own limit for output that does not move), it is stuck.
SILENT_S = 3.0
STOP_TIMEOUT_S = 5.0
# A set is sent again when its ack is lost; the meters wait meanwhile, so not for long.
ACK_TIMEOUT_S, SET_TRIES = 0.5, 3
STDERR_TAIL_LINES = 5
# A meter that fails on every reading through a long run with on_meter_failure = "continue"
# would otherwise fill memory and the summary: past these, problems are only counted.
MAX_PROBLEMS = 500
MAX_METER_FAILURES_PER_STEP = 10


class Interrupt:
    """SIGINT, SIGTERM and SIGHUP ask for a clean stop; the loop notices within an interval
    and the signal decides the exit code."""

    def __init__(self):
        self.event = threading.Event()
        self.signum: int | None = None
        self._old = {}

    def _handle(self, signum, _frame):
        if self.signum is None:
            self.signum = signum
        self.event.set()

    def __enter__(self):
        for sig in (signal.SIGINT, signal.SIGTERM, getattr(signal, "SIGHUP", None)):
            if sig is not None:
                self._old[sig] = signal.signal(sig, self._handle)
        return self

    def __exit__(self, *exc):
        for sig, old in self._old.items():
            signal.signal(sig, old)


@dataclass
class RunState:
    """What the run did, for the record."""

    domains: tuple[str, ...]
    rows: int = 0                                         # statuses recorded (run.csv holds them)
    problems: list[dict] = field(default_factory=list)
    sessions: list[dict] = field(default_factory=list)
    handovers: list[dict] = field(default_factory=list)
    unavailable: dict = field(default_factory=dict)      # optional domain -> the helper's reason
    meter_failures: list[tuple] = field(default_factory=list)   # (run time, domain, message)
    hello: dict | None = None
    helper_started: bool = False
    steps_begun: int = 0
    completed_steps: int = 0
    ended_s: float = 0.0
    incomplete: bool = False
    signum: int | None = None
    safety_stop: dict | None = None                      # the safety limit that stopped the load


@dataclass
class Target:
    """How helpers are started: `start()` gives a Helper; `program` and `user` name them in
    messages; `process_name` is what pgrep finds."""

    runner: object
    start: object
    program: str
    user: str
    process_name: str


class Driver:
    def __init__(self, profile: Profile, target: Target, meters: dict, view, log: EventLog,
                 interrupt: Interrupt, sensors=None, metrics=None, sensor_tally=None, rows: RowLog | None = None):
        self.p = profile
        self.target = target
        self.meters = meters
        self.view = view
        self.log = log
        self.interrupt = interrupt
        self.sensors = sensors
        self.metrics = metrics
        self.rows = rows
        self.verdicts: list[str] = []        # the final verdicts of the steps done so far
        self.last_snapshot: Snapshot | None = None
        self.state = RunState(domains=profile.load.enabled())
        # Each step judged as its rows come: the rows themselves go to run.csv, not to memory.
        self.judge = RunJudge(profile, self.state.domains, list(sensors.columns) if sensors is not None else [],
                              sensor_tally)
        self.session: Session | None = None
        self.t0 = time.monotonic()
        self.bounds = profile.boundaries()
        self.total = self.bounds[-1][1]
        self.step = 0
        self._running: dict[str, Running] = {}
        self._sensor_values: dict = {}
        self._pending_gap: float | None = None
        self._resettle: Resettle | None = None
        self._session_began = self.t0       # when the session in force was asked to start
        self.problems = ProblemLog(MAX_PROBLEMS)
        self.state.problems = self.problems.entries
        self._meter_failures_in_step: dict[tuple[int, str], int] = {}
        self.safety = SafetyWatch(profile.safety) if profile.safety and sensors is not None else None

    # --- problems -------------------------------------------------------------------------------
    def run_s(self, now: float | None = None) -> float:
        return (time.monotonic() if now is None else now) - self.t0

    def problem(self, kind: str, message: str, stderr_tail: str | None = None, *, source: str | None = None,
                lasting: bool = True, say=True) -> None:
        """One occurrence of a problem. `source` names its cause (repeats of one source are
        counted, see ProblemLog); a `lasting` one is in force until `problem_ended(source)`."""
        line = self.problems.occur(kind, source, message, stderr_tail, self.run_s(), lasting)
        if say and line is not None:
            self.view.say(f"kestrune: {line}" + (f"\n  {stderr_tail.replace(chr(10), chr(10) + '  ')}"
                                                 if stderr_tail else ""))

    def problem_ended(self, source: str) -> None:
        self.problems.end(source, self.run_s())

    def _say_repeats(self) -> None:
        for line in self.problems.due_lines(self.run_s()):
            self.view.say(f"kestrune: {line}")

    def _helper_stderr(self, helper) -> str | None:
        lines = []
        while True:
            try:
                line = helper.stderr_lines.get_nowait()
            except queue.Empty:
                break
            if line:
                lines.append(line.decode("utf-8", errors="replace").rstrip())
        return "\n".join(lines[-STDERR_TAIL_LINES:]) or None

    def _pid(self, session: Session | None) -> str:
        hello = session.hello if session else None
        if hello is not None:
            return str(hello.pid)
        return str(session.helper.pid) if session and session.helper else "?"

    # --- sessions -------------------------------------------------------------------------------
    def _start(self):
        helper = self.target.start()
        self.log.instrument(helper)
        return helper

    def _open_session(self) -> Session | None:
        load = self.p.load
        self.log.session += 1
        s = Session(self.target.runner, cpu=load.cpu, gpu=load.gpu, workers=load.workers,
                    hb_timeout_ms=load.hb_timeout_ms, max_run_s=self.p.max_run_s(), adapter_hint=load.adapter_hint,
                    nonce=self.p.name[:64], hello_timeout=self.p.target.hello_timeout_s,
                    stop_timeout=STOP_TIMEOUT_S, start=self._start, ack_timeout=ACK_TIMEOUT_S, set_tries=SET_TRIES)
        try:
            s.__enter__()
        except (StartFailed, TimeoutError) as e:  # TimeoutError: not a line within the hello's time
            if not isinstance(e, StartFailed):
                e = StartFailed(str(e))
            self.state.helper_started = True
            self._record_session(s)
            self.problem("helper", self._start_failed(s, e), self._helper_stderr(s.helper) if s.helper else None)
            return None
        except (RuntimeError, OSError) as e:  # RuntimeError: the launcher failed
            self._record_session(s)
            self.problem("helper", f"cannot start the helper {self.target.program}: {e}")
            return None
        self.state.helper_started = True
        self.state.hello = self.state.hello or s.hello.to_wire()
        return s

    def _start_failed(self, s: Session, e: StartFailed) -> str:
        t = self.target
        if e.code is None and e.bye is None:
            return (f"the helper {t.program} (pid {self._pid(s)}) sent no hello within "
                    f"{round(self.p.target.hello_timeout_s)} s of the start command")
        why = e.bye.why if e.bye is not None else "end of output"
        if why == "already":
            return (f"another run of the helper holds its lock for user {t.user}, so this one ended at once "
                    f"(already, exit code {e.code}): find it with `pgrep -u {t.user} -a {t.process_name}`, "
                    f"then end it or wait for it")
        return f"the helper {t.program} (pid {self._pid(s)}) ended before its hello: {why} (exit code {e.code})"

    def _record_session(self, s: Session) -> None:
        pid = s.hello.pid if s.hello else (s.helper.pid if s.helper else None)
        # The bye as the helper wrote it.
        self.state.sessions.append({"pid": pid, "bye": s.bye.to_wire() if s.bye else None, "exit_code": s.code})

    def _close_session(self) -> None:
        s, self.session = self.session, None
        if s is None:
            return
        s.close()
        self._record_session(s)

    def _check_domains(self, hello: Hello) -> bool:
        """False when a domain the profile needs is one the helper cannot give."""
        missing = {}
        if "gpu" in self.state.domains and not hello.gpu.ok:
            missing["gpu"] = hello.gpu.err or "not usable"
        if "cpu" in self.state.domains and not hello.workers:
            missing["cpu"] = "no CPU workers"
        for d, why in missing.items():
            if d in self.p.load.optional:
                self.state.unavailable[d] = why
                self.state.domains = tuple(x for x in self.state.domains if x != d)
                self.view.say(f"kestrune: the helper cannot give {d.upper()} load ({why}); the profile marks it "
                              f"optional, so the run goes on without it")
            else:
                self.problem("load", f"the profile asks for {d.upper()} load but the helper cannot give it: {why}")
                return False
        return True

    # --- the loop -------------------------------------------------------------------------------
    def run(self) -> RunState:
        try:
            self._run()
        except Exception as e:  # a fault of the runner itself still ends in a record
            self.problem("runner", f"internal error: {type(e).__name__}: {e}")
            self.state.incomplete = True
            self.state.ended_s = self.run_s()
            self.state.completed_steps = sum(1 for _, end in self.bounds if end <= self.state.ended_s + 1e-6)
        finally:
            self._end_open_gap()
            self._close_session()
            self.judge.finish()
            self._record_problems()
            if self.problems.unkept:
                self.state.problems.append({"kind": "runner", "source": "runner", "at_s": round(self.state.ended_s, 3),
                                            "ended_s": round(self.state.ended_s, 3),
                                            "message": f"{self.problems.unkept} more problems after the first "
                                                       f"{MAX_PROBLEMS} were counted but not kept here",
                                            "stderr_tail": None, "count": self.problems.unkept})
        return self.state

    def _record_problems(self) -> None:
        """A record file that could not be written where asked, and where it went instead."""
        for text in (self.rows.file.problems if self.rows is not None else []) + self.log.problems():
            self.problem("record", text, lasting=False)
        if self.rows is not None:
            self.rows.file.problems = []

    def _run(self) -> None:
        st = self.state
        self._session_began = time.monotonic()
        self.session = self._open_session()
        if self.session is None:
            st.incomplete = True
            return
        hello = self.session.hello
        self.view.say(f"helper started: pid {hello.pid}, {hello.workers} worker(s), "
                      f"kernels {hello.isa}, gpu {_gpu_text(hello.gpu)}")
        if not self._check_domains(hello):
            st.incomplete = True
            return
        self.t0 = now = time.monotonic()
        watch = MeterWatch(self.meters, meter_timeout(self.p.power.interval_s, self.p.power.timeout_s),
                           self.p.power.interval_s, now)
        session_s = self.p.session_s()
        reach = session_reach_s(self.p.max_run_s(), RUN_LIMIT_MARGIN_S)
        due = handover_due(0.0, session_s, self.bounds, self.total, self.run_s(self._session_began) + reach)
        next_power = now
        last_event = now
        while True:
            if self.interrupt.event.is_set():
                st.signum = self.interrupt.signum
                self.view.say("kestrune: interrupted; stopping the helper")
                break
            now = time.monotonic()
            el = now - self.t0
            st.ended_s = el
            if el >= self.total:
                self._silent(last_event)  # up to the end: a run that went quiet did not complete
                break
            while self.step < len(self.bounds) and el >= self.bounds[self.step][0]:
                self._end_resettle()
                self._judge_done_step()
                self.step += 1
                self._set_step()
            if st.incomplete:
                break
            if due is not None and el >= due:
                if not self._handover():
                    st.incomplete = True
                    break
                watch.resume(time.monotonic())
                last_event = time.monotonic()
                due = handover_due(self.run_s(), session_s, self.bounds, self.total,
                                   self.run_s(self._session_began) + reach)
                continue
            if now >= next_power:
                if not self._power(watch, now):
                    st.incomplete = True
                    break
                next_power = max(next_power + self.p.power.interval_s, now)
            next_step = self.t0 + (self.bounds[self.step][0] if self.step < len(self.bounds) else self.total)
            wait = max(0.005, min(next_power, next_step) - time.monotonic())
            try:
                ev = self.session.helper.read(wait)
            except TimeoutError:
                if self._silent(last_event):
                    break
                continue
            except ValueError as e:  # not JSON: the helper is not what it should be
                self.problem("helper", f"the helper wrote a line that is not an event: {e}")
                st.incomplete = True
                break
            if ev is None:
                try:
                    self.session.code = self.session.helper.wait(STOP_TIMEOUT_S)
                except subprocess.TimeoutExpired:  # its output closed, the process not gone: ended below
                    pass
                self.problem("helper", f"the helper {self.target.program} (pid {self._pid(self.session)}) ended "
                                       f"without a bye (exit code {self.session.code})",
                             self._helper_stderr(self.session.helper))
                st.incomplete = True
                break
            last_event = time.monotonic()
            if not self._event(ev, watch):
                st.incomplete = True
                break
        st.ended_s = self.run_s()
        st.completed_steps = sum(1 for _, end in self.bounds if end <= st.ended_s + 1e-6)
        if not st.incomplete and st.signum is None:
            st.completed_steps = len(self.bounds)

    def _judge_done_step(self) -> None:
        """The verdict of the step that just ended, for those who show the run as it goes."""
        if self.step == 0:
            return
        st = self.state
        entry = self.judge.entry(self.step, st.domains, completed=True, meter_failures=st.meter_failures,
                                 unavailable=st.unavailable)
        self.verdicts.append(entry["verdict"])

    def _current_verdict(self) -> str | None:
        states = [r.state()[1] for r in self._running.values()]
        for word in (FAILING, SETTLING, PASSING):
            if word in states:
                return word
        return None

    def _silent(self, last_event: float) -> bool:
        if time.monotonic() - last_event < SILENT_S:
            return False
        self.problem("helper", f"the helper {self.target.program} (pid {self._pid(self.session)}) "
                               f"wrote no status for {round(SILENT_S)} s")
        self.state.incomplete = True
        return True

    def _set_step(self) -> None:
        s = self.p.steps[self.step - 1]
        self.state.steps_begun = self.step
        try:
            self.session.set(**{d: s.domain(d) for d in self.state.domains})
        except SetNotAcknowledged as e:
            # An ended run shows in the next read, with its bye; a helper that does not
            # answer its commands cannot be trusted to run the profile.
            if not e.run_ended:
                self.problem("helper", f"the helper {self.target.program} (pid {self._pid(self.session)}) "
                                       f"does not answer: {e}")
                self.state.incomplete = True
        start = self.bounds[self.step - 1][0]
        criteria = self.p.criteria(self.step - 1)
        self._running = {d: Running(t, start, criteria) for d in self.state.domains
                         if (t := effective_target(s.domain(d))) is not None and s.judge}

    def _handover(self) -> bool:
        gap_start = self._session_began = time.monotonic()
        self._end_open_gap(gap_start)
        self.view.say(f"kestrune: handing over to a new helper session at {self.run_s(gap_start):.1f} s")
        # From here the run is without load: a new session that fails to start leaves the gap open.
        self._pending_gap = gap_start
        self.judge.gap_started(self.run_s(gap_start))
        self._close_session()
        self.session = self._open_session()
        if self.session is None:
            return False
        hello = self.session.hello
        if not self._check_domains(hello):
            return False
        if self.step:
            self._set_step()
        if not any(self.p.steps[self.step - 1].domain(d).mode != "off" for d in self.state.domains):
            self._end_gap(time.monotonic())
        return True

    def _end_gap(self, now: float) -> None:
        start, self._pending_gap = self._pending_gap, None
        at = self.run_s(start)
        entry = {"at_s": round(at, 3), "gap_s": round(now - start, 3), "open": False}
        self.state.handovers.append(entry)
        self._resettle = Resettle(entry, at, self._targets())
        settle = self.p.criteria(max(0, self.step - 1)).settle_s
        self.judge.gap_ended(at, self.run_s(now) + settle)

    def _end_open_gap(self, end: float | None = None) -> None:
        """A gap that the run ended in, or that the next hand-over began in, is part of the
        record too: it lasted that long and was still open."""
        self._end_resettle()
        if self._pending_gap is None:
            return
        start, self._pending_gap = self._pending_gap, None
        end = max(start, end if end is not None else self.t0 + self.state.ended_s)
        entry = {"at_s": round(self.run_s(start), 3), "gap_s": round(end - start, 3), "open": True}
        self.state.handovers.append(entry)
        Resettle(entry, self.run_s(start), self._targets()).finish()

    def _end_resettle(self) -> None:
        if self._resettle is not None:
            self._resettle.finish()
            self._resettle = None

    def _targets(self) -> dict[str, tuple[float, float]]:
        """Each domain with a target in the step in force: (watts, tolerance in %)."""
        if not self.step:
            return {}
        tol = self.p.criteria(self.step - 1).tolerance_pct
        return {d: (t, tol) for d in self.state.domains
                if (t := effective_target(self.p.steps[self.step - 1].domain(d))) is not None}

    def _power(self, watch: MeterWatch, now: float) -> bool:
        """Reads the meters and passes the readings on; False when a meter failed and the
        profile says to stop."""
        readings, problems = watch.poll(now)
        if readings:
            self.session.power(cpu_w=readings.get("cpu"), gpu_w=readings.get("gpu"))
        stop = False
        for d in readings:
            self.problem_ended(f"meter:{d}")
        for pr in problems:
            if pr.domain not in self.state.domains:
                continue
            self.problem("meter", pr.message, pr.stderr_tail, source=f"meter:{pr.domain}")
            seen = self._meter_failures_in_step.get((self.step, pr.domain), 0)
            if seen < MAX_METER_FAILURES_PER_STEP:  # the step fails with the first; the rest repeat it
                self.state.meter_failures.append((round(self.run_s(now), 3), pr.domain, pr.message))
            self._meter_failures_in_step[(self.step, pr.domain)] = seen + 1
            stop = stop or self.p.on_meter_failure == "stop"
        if self.sensors is not None:
            self._sensor_values = self.sensors.sample(now)
            for column in self.sensors.recovered():
                self.problem_ended(f"sensor:{column}")
            for column, text in self.sensors.problems_by_column():
                self.problem("sensor", text, source=f"sensor:{column}")
            trip = self.safety.check(self._sensor_values, self.run_s(now), utc_text(time.time())) \
                if self.safety is not None else None
            if trip is not None:
                self._say_repeats()
                self._safety_stop(trip)
                return False
        self._say_repeats()
        if stop:
            self.view.say("kestrune: a meter failed: stopping the load (on_meter_failure = \"stop\")")
        return not stop

    def _safety_stop(self, trip: Trip) -> None:
        """Takes the load off with a set command, whose ack proves the helper took it, in
        this same sample; the run's end then stops the helper as usual."""
        unit = UNIT_TEXT.get(u := self.sensors.units.get(trip.column, ""), u)
        self.problem("safety", trip.message(f" {unit}" if unit else ""))
        off_s = None
        try:
            self.session.set(**{d: Domain("off") for d in self.state.domains})
            off_s = round(self.run_s(), 3)
        except SetNotAcknowledged as e:
            self.problem("helper", f"the helper {self.target.program} (pid {self._pid(self.session)}) did not "
                                   f"acknowledge the load off: {e}; stopping it")
        self.state.safety_stop = {**trip.to_json(), "load_off_s": off_s}

    def _event(self, ev: Event, watch: MeterWatch) -> bool:
        if isinstance(ev, Status):
            self._status(ev, watch)
        elif isinstance(ev, Error):
            text = f"helper error: {ev.code}" + (f": {ev.detail}" if ev.detail else "")
            gpu_lost = ev.code in ("gpuDeviceRemoved", "gpuSlow") or (ev.code == "timer" and ev.detail)
            if gpu_lost and "gpu" in self.state.domains:
                self.problem("load", f"{text}; the helper gives no more GPU load", source="load:gpu")
                return "gpu" in self.p.load.optional
            self.problem("helper", text, source=f"helper error:{ev.code}", lasting=False)
        elif isinstance(ev, Bye):
            self.session.bye = ev
            self.problem("helper", f"the helper ended the run early: {ev.why} (exit code {ev.code})")
            return False
        return True

    def _status(self, ev: Status, watch: MeterWatch) -> None:
        now = time.monotonic()
        el = now - self.t0
        for d, m in self.meters.items():
            m.observe_duty(ev.domain(d).duty)
        measured = watch.measured(now)
        row = row_from_status(ev, el, self.step, measured, self.state.domains, utc_text(time.time()),
                              self._sensor_values)
        if self.rows is not None:
            self.rows.add(row, self.state.domains)
        self.state.rows += 1
        self.judge.add(row)
        self._record_problems()
        if self._pending_gap is not None and any(row.domains[d].duty > 0 for d in self.state.domains):
            self._end_gap(now)
        for d, r in self._running.items():
            r.add(el, measured.get(d))
        if self._resettle is not None:
            self._resettle.add(el, measured)
        self._show(ev, row, measured)

    def _show(self, ev: Status, row: Row, measured: dict) -> None:
        i = max(0, self.step - 1)
        start, end = self.bounds[i]
        doms = []
        for d in self.state.domains:
            x = row.domains[d]
            err, verdict = self._running[d].state() if d in self._running else (None, None)
            doms.append(DomainLive(name=d, mode=x.mode, duty=x.duty, target_w=x.target_w, measured_w=x.measured_w,
                                   stale=x.stale, error_pct=err, verdict=verdict, dispatch_ms=x.dispatch_ms))
        hello = self.session.hello if self.session else None
        snap = Snapshot(run_s=row.time_s, run_total_s=self.total,
                        state=HANDOVER if self._pending_gap is not None else RUNNING,
                        step_index=i, step_count=len(self.bounds), step_name=self.p.steps[i].name,
                        step_s=row.time_s - start, step_total_s=end - start,
                        next_step_name=self.p.steps[i + 1].name if i + 1 < len(self.bounds) else None,
                        domains=tuple(doms), sensors=dict(row.sensors),
                        sensor_units=dict(getattr(self.sensors, "units", {}) or {}),
                        helper_pid=hello.pid if hello else None, helper_version=VERSION,
                        problems=self.problems.in_force(),
                        sensor_limits=dict(self.p.criteria(i).sensor_max), safety_limits=dict(self.p.safety),
                        problems_total=self.problems.total)
        self.view.update(snap)
        self.last_snapshot = snap
        if self.metrics is not None:
            self.metrics.update(snap, (*self.verdicts, self._current_verdict()))


def _gpu_text(gpu: GpuInfo) -> str:
    if gpu.ok:
        return f"{gpu.name} ({gpu.dispatch_ms} ms a dispatch)"
    return f"not used ({gpu.err or 'not asked for'})"
