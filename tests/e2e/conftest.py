import os
import shutil
import sys
import tempfile
import warnings
from pathlib import Path

import pytest

# The client package from this checkout, whether or not it is installed.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "clients" / "python"))
import kestrune  # noqa: E402
from kestrune.testing.contract import LineCheck  # noqa: E402

# Every line any helper writes in any scenario, read or not, is held to the protocol's
# schema, its key order and its exact layout.
LINE_CHECK = LineCheck()


def pytest_addoption(parser):
    parser.addoption("--targets", default=os.environ.get("KL_E2E_TARGETS", "native,wine"),
                     help="comma-separated: native, wine")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes tens of seconds (kept in the default run)")
    kestrune.Helper.line_check = LINE_CHECK


@pytest.fixture(autouse=True)
def every_output_line_keeps_the_contract():
    LINE_CHECK.take_failures()  # a line of an earlier test that arrived late is not this one's
    yield
    failures = LINE_CHECK.take_failures()
    if failures:
        pytest.fail("output lines that break the protocol's contract:\n" + "\n".join(failures))


def pytest_generate_tests(metafunc):
    if "runner" in metafunc.fixturenames:
        targets = [t for t in metafunc.config.getoption("--targets").split(",") if t]
        only = getattr(metafunc.function, "kl_only", None)
        if only:
            targets = [t for t in targets if t in only]
        metafunc.parametrize("runner", targets, indirect=True)


def pytest_collection_modifyitems(config, items):
    targets = set(config.getoption("--targets").split(","))
    for item in items:
        wanted = getattr(getattr(item, "function", None), "kl_only", None)
        if wanted and not targets.intersection(wanted):
            item.add_marker(pytest.mark.skip(reason="target not selected"))


def only(*targets):
    """Restricts a scenario to some targets."""
    def mark(fn):
        fn.kl_only = targets
        return fn
    return mark


# Wine's own processes (the prefix's services, the driver host winedevice.exe) inherit the
# standard error of the process whose start woke them, so a crash of theirs can be the first
# line on the launcher's standard error. Seen about once in a hundred starts on a fresh
# wineserver: a null read in Wine's IoCreateDevice (ntoskrnl.exe, which only the driver host
# loads), while the launcher and the helper went on normally. Such a start is tried once
# more and the crash shown among the run's warnings; a second one in one test fails it.
WINE_CRASH_MARKS = ("Unhandled page fault", "Unhandled exception", "Unhandled stack overflow",
                    "starting debugger")
WINE_CRASHES: list[str] = []  # of the running test


class WineCrashWarning(UserWarning):
    """A Wine process crashed while a helper was started; the start was tried again."""


class RetryingWineRunner(kestrune.WineRunner):
    """The Wine runner, with a start that a crash of Wine's own gets one more try."""

    def start(self, *args, **kw):
        try:
            return super().start(*args, **kw)
        except RuntimeError as e:
            self._count_wine_crash(e)
            warnings.warn(WineCrashWarning(f"Wine crashed during a start, started again: {e}"))
        try:
            return super().start(*args, **kw)
        except RuntimeError as e:
            self._count_wine_crash(e)
            raise

    @staticmethod
    def _count_wine_crash(e: RuntimeError) -> None:
        """Counts the crash for the running test; re-raises any other failure at once."""
        if not any(mark in str(e) for mark in WINE_CRASH_MARKS):
            raise e
        WINE_CRASHES.append(str(e))


@pytest.fixture(autouse=True)
def at_most_one_wine_crash():
    WINE_CRASHES.clear()
    yield
    if len(WINE_CRASHES) > 1:
        pytest.fail(f"{len(WINE_CRASHES)} Wine crashes while starting helpers in one test:\n"
                    + "\n".join(WINE_CRASHES))


@pytest.fixture(scope="session")
def native_runner():
    r = kestrune.NativeRunner()
    yield r
    r.close()


@pytest.fixture(scope="session")
def wine_runner():
    prefix = Path(os.environ.get("KL_WINEPREFIX") or tempfile.mkdtemp(prefix="kl-wine-"))
    r = RetryingWineRunner(prefix)
    yield r
    r.close()
    if not os.environ.get("KL_WINEPREFIX"):
        shutil.rmtree(prefix, ignore_errors=True)


@pytest.fixture
def runner(request):
    if request.param == "native":
        return request.getfixturevalue("native_runner")
    return request.getfixturevalue("wine_runner")
