"""The harness's answer to a crash of Wine's own during a start: one more try, shown as a
warning; any other failure to start is not retried. No Wine needed: the start is scripted."""

import warnings

import pytest

import conftest
import kestrune

CRASH = ("the launcher did not start the helper: b'wine: Unhandled page fault on read access "
         "to 0000000000000008 at address 000000031CAA2391 (thread 008c), starting debugger...'")
NO_PID_LINE = "the launcher did not start the helper: None"


@pytest.mark.parametrize("script, calls, crashes, raises", [
    (["ok"], 1, 0, False),
    ([CRASH, "ok"], 2, 1, False),
    ([CRASH, CRASH], 2, 2, True),   # the second crash ends the start
    ([NO_PID_LINE, "ok"], 1, 0, True),  # not Wine's crash: no second try
])
def test_a_wine_crash_gets_one_more_start(monkeypatch, script, calls, crashes, raises):
    answers = list(script)
    seen = []

    def scripted_start(self, *args, **kw):
        seen.append(args)
        answer = answers.pop(0)
        if answer != "ok":
            raise RuntimeError(answer)
        return "helper"

    monkeypatch.setattr(kestrune.WineRunner, "start", scripted_start)
    runner = object.__new__(conftest.RetryingWineRunner)  # no prefix, no server
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        if raises:
            with pytest.raises(RuntimeError):
                runner.start("kestrune-load-wine.exe")
        else:
            assert runner.start("kestrune-load-wine.exe") == "helper"
    assert len(seen) == calls
    assert conftest.WINE_CRASHES == [CRASH] * crashes
    shown = [str(w.message) for w in warned if issubclass(w.category, conftest.WineCrashWarning)]
    assert len(shown) == min(crashes, 1)  # a crash that ends the start shows as the error
    assert all("Unhandled page fault" in text for text in shown)
    conftest.WINE_CRASHES.clear()  # this test's crashes are scripted, not Wine's
