"""The live view redraws in place within the terminal; a pipe gets one plain line per status."""

import io
import re

from kestrune import parse_event
from kestrune.run.profile import parse
from kestrune.run.view import LiveView, PlainView, make_view

PROFILE = parse({"load": {"cpu": True, "gpu": True},
                 "steps": [{"name": "warm", "seconds": 2, "cpu": "free"},
                           {"name": "hold", "seconds": 2, "cpu": {"mode": "target", "watts": 40},
                            "gpu": {"mode": "target", "watts": 150}}]})
STATUS = parse_event({"ev": "status", "tMs": 2500,
                      "cpu": {"mode": "target", "duty": 0.5, "targetW": 40.0, "powerStale": True},
                      "gpu": {"mode": "target", "duty": 0.25, "targetW": 150.0, "dispatchMs": 12.5,
                              "powerStale": False}})


class Tty(io.StringIO):
    def isatty(self):
        return True


def test_the_live_view_goes_back_over_exactly_what_it_drew(monkeypatch):
    monkeypatch.setenv("COLUMNS", "40")
    out = Tty()
    view = make_view(PROFILE, out)
    assert isinstance(view, LiveView)
    view.status(STATUS, 2.5, 2, {"cpu": 41.0, "gpu": 149.0})
    first = out.getvalue()
    drawn = first.splitlines()
    assert len(drawn) == 4 and all(len(line) <= 39 for line in drawn)
    assert drawn[0].startswith("step 2/2  hold")
    view.say("helper error: timer")
    view.status(STATUS, 2.75, 2, {"cpu": 41.0, "gpu": 149.0})
    rest = out.getvalue()[len(first):]
    assert re.findall(r"\x1b\[(\d+)F", rest) == ["4", "4"]  # up over the 4 lines, twice
    view.finish()
    view.say("bye")
    assert out.getvalue().endswith("\nbye\n") and "\x1b" not in out.getvalue().rsplit("\n", 3)[-2]


def test_the_live_view_shows_each_domain_in_full(monkeypatch):
    monkeypatch.setenv("COLUMNS", "200")
    out = Tty()
    LiveView(PROFILE, out).status(STATUS, 2.5, 2, {"cpu": 41.0, "gpu": None})
    _, progress, cpu, gpu = out.getvalue().splitlines()
    assert "2.5 / 4.0 s" in progress
    assert re.search(r"\] 0\.500 +41\.0 W +target +40\.0 W +STALE$", cpu), cpu
    assert re.search(r"\] 0\.250 +- W +target +150\.0 W +dispatch 12\.5 ms$", gpu), gpu


def test_a_pipe_gets_plain_lines():
    out = io.StringIO()
    view = make_view(PROFILE, out)
    assert isinstance(view, PlainView)
    view.status(STATUS, 2.5, 2, {"cpu": 41.0, "gpu": None})
    assert out.getvalue() == ("t=   2.50s step=2/2 cpu=target duty=0.500 W=41.0 targetW=40.0 stale=yes "
                              "gpu=target duty=0.250 W=- targetW=150.0 dispatchMs=12.5 stale=no\n")
