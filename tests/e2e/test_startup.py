"""Start-up refusals: an elevated run and a second instance."""

import time

from kestrune import Bye
from kestrune.testing import start_native
from conftest import only

ELEVATED_BYE = b'{"ev":"bye","why":"elevated","code":5,"cpuS":0.0,"gpuS":0.0}\n'
ALREADY_BYE = Bye("already", 7, 0.0, 0.0)


@only("native")
def test_elevated_run_writes_one_bye_and_exits_5_native(native_runner):
    with start_native(native_runner, unprivileged=False, stdin_devnull=True) as h:
        assert h.wait() == 5
        assert h.read_raw_line(10) == ELEVATED_BYE
        assert h.read_raw_line(10) is None


@only("wine")
def test_elevated_run_writes_one_bye_and_exits_5_wine(wine_runner):
    # Wine's default token is elevated: the shipped program straight from the shell.
    done = wine_runner.run_direct("kestrune-load.exe", stdin=b"")
    assert done.returncode == 5
    assert done.stdout == ELEVATED_BYE


def test_second_instance_says_already_while_the_first_runs_on(runner):
    with runner.start_helper() as first:
        time.sleep(0.3)  # the first takes the lock during its start-up
        with runner.start_helper() as second:
            assert second.read(timeout=30) == ALREADY_BYE
            assert second.read(timeout=10) is None
            assert second.wait() == 7
        assert first.proc.poll() is None
        first.send({"cmd": "stop"})
        bye = first.read_until(lambda e: e.ev == "bye", timeout=30)
        assert bye.why == "stop"
        assert first.wait() == 0
