"""The live view on a terminal (rendered to a string through a recording console) and the
plain line per status on a pipe."""

import io
import re

import pytest
from rich.console import Console

from kestrune.run import live as L
from kestrune.run.profile import parse
from kestrune.run.view import PlainView, RichView, duration, make_view, sparkline

PROFILE = parse({"load": {"cpu": True, "gpu": True}, "verdict": {"settle_s": 1.0},
                 "steps": [{"name": "warm", "seconds": 2, "cpu": "free"},
                           {"name": "hold", "seconds": 2, "cpu": {"mode": "target", "watts": 40},
                            "gpu": {"mode": "target", "watts": 150}}]})


def snapshot(cpu_w=41.0, temp=54.0, **kw):
    base = dict(run_s=2.5, run_total_s=4.0, state=L.RUNNING, step_index=1, step_count=2, step_name="hold",
                step_s=0.5, step_total_s=2.0, next_step_name=None,
                domains=(L.DomainLive("cpu", "target", 0.5, 40.0, cpu_w, True, 2.5, L.PASSING),
                         L.DomainLive("gpu", "target", 0.25, 150.0, None, False, None, L.SETTLING, 12.5)),
                sensors={"coretemp_package_id_0_c": temp, "cpu_mean_mhz": 3412.4, "nct6798_fan1_rpm": None},
                sensor_units={"coretemp_package_id_0_c": "c", "cpu_mean_mhz": "mhz", "nct6798_fan1_rpm": "rpm"},
                helper_pid=4242)
    base.update(kw)
    return L.Snapshot(**base)


class Tty(io.StringIO):
    def isatty(self):
        return True


def rendered(view, snap, width=120) -> list[str]:
    console = Console(file=io.StringIO(), width=width, record=True, color_system=None)
    console.print(view.render(snap, width))
    return [line.rstrip() for line in console.export_text().splitlines()]


def test_the_live_view_shows_progress_domains_verdicts_sensors_and_problems():
    view = RichView(PROFILE)
    for w, t in ((38.0, 50.0), (40.0, 52.0)):
        view.render(snapshot(cpu_w=w, temp=t))
    lines = rendered(view, snapshot(problems=("sensor nct6798_fan1_rpm: gone; recorded as missing",),
                                    next_step_name="cool [down]"))
    text = "\n".join(lines)
    assert lines[0] == "step 2/2  hold   next: cool [down]"
    assert re.search(r"^step +█+·+ 0\.5 s / 2\.0 s, 1\.5 s left$", text, re.M)
    assert re.search(r"^run +█+·+ 2\.5 s / 4\.0 s, 1\.5 s left +helper pid 4242$", text, re.M)
    # mode, duty bar and value, measured (stale) and target, history of three readings, error, verdict
    assert re.search(r"^cpu +target +█{10}·{10} +0\.500 +41\.0 W stale +40\.0 W +▁▆█ +\+2\.5 % +passing$",
                     text, re.M), text
    assert re.search(r"^gpu +target +█{5}·{15} +0\.250 +- W +150\.0 W +settling$", text, re.M), text
    # Sensors side by side as the width allows: two across at 120 columns, down the first column first.
    assert re.search(r"^coretemp_package_id_0_c +54\.0 °C +▁▅█ +nct6798_fan1_rpm +- RPM$", text, re.M), text
    assert re.search(r"^cpu_mean_mhz +3412 MHz +▁▁▁$", text, re.M), text
    assert lines[-1] == "! sensor nct6798_fan1_rpm: gone; recorded as missing"
    narrow = "\n".join(rendered(view, snapshot(), width=70))
    assert re.search(r"^nct6798_fan1_rpm +- RPM$", narrow, re.M), narrow


@pytest.mark.parametrize("state, shown", [(L.HANDOVER, "[handing over to a new helper session]"),
                                          (L.STARTING, "[starting the helper]")])
def test_the_live_view_says_when_the_run_is_between_helpers(state, shown):
    assert rendered(RichView(), snapshot(state=state, next_step_name="cool"))[0] == \
        f"step 2/2  hold   next: cool   {shown}"


def test_the_live_view_fits_a_narrow_terminal_and_keeps_messages_above_it():
    out = Tty()
    console = Console(file=out, width=60, force_terminal=True, color_system=None)
    view = make_view(PROFILE, out)
    assert isinstance(view, RichView)
    view = RichView(PROFILE, out, console=console)
    view.update(snapshot())
    view.say("helper error: [timer]")
    view.update(snapshot(run_s=2.75))
    view.finish(["step 2 hold: PASS", "run: PASS"])
    plain = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", out.getvalue())
    assert all(len(line) <= 60 for line in plain.splitlines())
    assert "helper error: [timer]\n" in plain  # brackets kept: a message is never read as markup
    assert plain.endswith("step 2 hold: PASS\nrun: PASS\n")


@pytest.mark.parametrize("values, line", [
    ([1, 2, 3, 4, 5, 6, 7, 8], "▁▂▃▄▅▆▇█"),
    ([5, 5, 5], "▁▁▁"),
    ([None, 0, None, 10], " ▁ █"),
    ([None, None], "  "),
])
def test_a_sparkline_spans_its_own_range_with_gaps_for_missing(values, line):
    assert sparkline(values) == line


@pytest.mark.parametrize("seconds, text", [(0.04, "0.0 s"), (59.94, "59.9 s"), (61, "1:01"), (3725.5, "1:02:05"),
                                           (-3, "0.0 s")])
def test_durations_read_like_a_clock_past_a_minute(seconds, text):
    assert duration(seconds) == text


def test_a_pipe_gets_plain_lines_with_sensor_values_and_running_verdicts_at_the_end():
    out = io.StringIO()
    view = make_view(PROFILE, out)
    assert isinstance(view, PlainView)
    view.update(snapshot())
    assert out.getvalue() == ("t=   2.50s step=2/2 cpu=target duty=0.500 W=41.0 targetW=40.0 stale=yes "
                              "gpu=target duty=0.250 W=- targetW=150.0 dispatchMs=12.5 stale=no "
                              "coretemp_package_id_0_c=54.0 cpu_mean_mhz=3412 nct6798_fan1_rpm=- "
                              "cpuError=+2.5% cpuVerdict=passing gpuError=- gpuVerdict=settling\n")


def test_at_80_by_24_the_domain_rows_keep_every_word_and_the_view_fits():
    view = RichView(PROFILE)
    wide = (L.DomainLive("cpu", "target", 0.5, 40.0, 41.0, True, -12.5, L.SETTLING),
            L.DomainLive("gpu", "target", 0.25, 150.0, 1234.5, False, +1234.5, L.FAILING, 12.5))
    sensors = {f"nct6798_temp{i}_c": 40.0 + i for i in range(6)}
    problems = tuple(f"sensor nct6798_temp{i}_c: gone; recorded as missing" for i in range(5))
    snap = snapshot(domains=wide, sensors=sensors, sensor_units={c: "c" for c in sensors}, problems=problems,
                    next_step_name="cool down")
    lines = rendered(view, snap, width=80)
    assert all(len(line) <= 80 for line in lines) and not any("…" in line for line in lines), "\n".join(lines)
    assert len(lines) <= 24
    text = "\n".join(lines)
    # Fewer columns (a shorter duty bar, no history), never a cut word.
    assert re.search(r"^ +mode +duty +measured +target +error +verdict$", text, re.M), text
    assert re.search(r"^cpu +target +█{5}·{5} +0\.500 +41\.0 W stale +40\.0 W +-12\.5 % +settling$", text, re.M), text
    assert re.search(r"^gpu +target +█{2,3}·{7,8} +0\.250 +1234\.5 W +150\.0 W +\+1234\.5 % +failing$", text, re.M), text
    # The newest problems in force, and how many more.
    assert lines[-4:] == [f"! {p}" for p in problems[-3:]] + ["! and 2 more problems in force"]
    # A wide terminal keeps the long bar and the history.
    assert re.search(r"^cpu +target +█{10}·{10} +0\.500 .* ▁", "\n".join(rendered(view, snap, width=120)), re.M)
