"""Power meters against fake files and fake meter programs."""

import os
import pwd
import sys

import pytest

from kestrune.run.power import (CommandMeter, EnergyMeter, ModelMeter, PowerFileMeter, SourceError, make_meter,
                                open_meters)


# --- model ---------------------------------------------------------------------------------------

def test_the_model_follows_the_duty_with_its_lag_and_seeded_noise():
    m = ModelMeter(idle_w=10, span_w=40, lag_s=0.5, noise_w=0.0)
    assert m.read(0.0) == 10.0
    m.observe_duty(0.5)
    # One time constant later the model has covered 1 - 1/e of the way to 30 W.
    assert m.read(0.5) == pytest.approx(10 + 20 * (1 - 1 / 2.718281828), abs=1e-3)
    assert m.read(10.0) == pytest.approx(30.0, abs=1e-6)
    m.observe_duty(7.0)  # clamped to full duty
    assert m.read(20.0) == pytest.approx(50.0, abs=1e-6)

    noisy = [ModelMeter(noise_w=1.0, seed=3) for _ in range(2)]
    a = [noisy[0].read(t) for t in range(5)]
    assert a == [noisy[1].read(t) for t in range(5)] and len(set(a)) == 5


# --- command -------------------------------------------------------------------------------------

def fake_meter(tmp_path, body):
    script = tmp_path / "meter.py"
    script.write_text("import sys, time\n" + body)
    return [sys.executable, str(script)]


def test_a_meter_program_gives_its_newest_reading_once(open_path):
    gate = open_path / "more"
    argv = fake_meter(open_path, f"""
print("# a header is skipped", flush=True)
print("12.5", flush=True)
while not __import__("os").path.exists({str(gate)!r}):
    time.sleep(0.01)
print("13.0 W", flush=True)
print("14,1", flush=True)
print("14.5", flush=True)
time.sleep(30)
""")
    m = CommandMeter(argv)
    m.open()
    try:
        assert m.read(0.0) == 12.5
        assert m.read(0.1) is None  # nothing new: leave the domain out of the power command
        gate.touch()
        for _ in range(200):
            got = m.read(0.2)
            if got is not None:
                break
            __import__("time").sleep(0.01)
        # Neither "13.0 W" nor "14,1" is read in part: only a whole number is a reading.
        assert got == 14.5
        assert m.last_rejected == "'14,1', not a number: decimal commas are not read"
        assert m.problem() is None  # the header came before the first reading; a sensor skips the rest
    finally:
        m.close()
    assert m.proc.poll() is not None  # closing ends the program


@pytest.mark.parametrize("body, message", [
    ("print('oops', file=sys.stderr); sys.exit(3)", "ended without a reading: oops"),
    ("print('not a number', flush=True); time.sleep(30)", "printed no reading within 0.5 s"),
])
def test_a_meter_program_without_readings_is_an_error_up_front(open_path, body, message):
    m = CommandMeter(fake_meter(open_path, body), first_reading_s=0.5)
    with pytest.raises(SourceError) as e:
        m.open()
    assert message in str(e.value)
    assert m.proc.poll() is not None


def test_a_meter_program_that_prints_garbage_then_exits_says_so_with_its_error_output(open_path):
    m = CommandMeter(fake_meter(open_path, """
print("20", flush=True)
time.sleep(0.3)
print("ERR sensor", flush=True)
print("the sensor went away", file=sys.stderr, flush=True)
sys.exit(3)
"""), strict=True)
    m.open()
    try:
        problems = []
        for _ in range(300):
            p = m.problem()
            if p:
                problems.append(p)
            if len(problems) == 2:
                break
            __import__("time").sleep(0.01)
        assert problems == ["printed 'ERR sensor', not a number", "exited with code 3"]
        assert m.stderr_tail() == "the sensor went away"
        assert m.read(1.0) is None  # the last good reading is not given again
    finally:
        m.close()


def test_a_missing_meter_program_is_named():
    with pytest.raises(SourceError, match="power command not found: no-such-meter-kl"):
        make_meter("command", "cpu", {"command": "no-such-meter-kl --watts"}).open()


# --- sysfs ---------------------------------------------------------------------------------------

def test_an_energy_counter_becomes_watts_and_survives_its_wrap(tmp_path):
    rapl = tmp_path / "intel-rapl:0"
    rapl.mkdir()
    counter = rapl / "energy_uj"
    (rapl / "max_energy_range_uj").write_text("262143328850\n")
    counter.write_text("262100000000\n")
    m = make_meter("sysfs", "cpu", {"path": str(counter)})
    assert isinstance(m, EnergyMeter)
    m.open()
    assert m.read(10.0) is None  # one sample is not a rate yet
    counter.write_text("262130000000\n")  # 30 J in 0.5 s
    assert m.read(10.5) == pytest.approx(60.0)
    counter.write_text("6671150\n")  # wrapped: 13.32885 J to the top, 6.67115 J after it
    assert m.read(11.0) == pytest.approx(40.0)
    counter.write_text("26671150\n")
    assert m.read(11.0) is None  # no time passed: no rate


def test_an_energy_counter_without_a_range_skips_a_wrap(tmp_path):
    counter = tmp_path / "energy1_input"
    counter.write_text("5000000\n")
    m = make_meter("sysfs", "cpu", {"path": str(counter)})
    m.open()
    m.read(0.0)
    counter.write_text("1000000\n")
    assert m.read(1.0) is None
    counter.write_text("3000000\n")
    assert m.read(2.0) == pytest.approx(2.0)


def test_a_hwmon_power_file_is_read_in_microwatts(tmp_path):
    f = tmp_path / "power1_average"
    f.write_text("87500000\n")
    m = make_meter("sysfs", "gpu", {"path": str(f)})
    assert isinstance(m, PowerFileMeter)
    m.open()
    assert m.read(0.0) == 87.5
    f.unlink()
    assert m.read(1.0) is None  # a reading lost mid-run is skipped, not fatal


@pytest.mark.parametrize("name, content, message", [
    ("energy_uj", None, "cannot read"),
    ("energy_uj", "lots\n", "does not hold a whole number of microjoules"),
    ("power1_input", "", "does not hold a whole number of microwatts"),
    ("temp1_input", "40000\n", "not a power file this runner knows"),
])
def test_bad_power_files_are_named_before_the_run(tmp_path, name, content, message):
    f = tmp_path / name
    if content is not None:
        f.write_text(content)
    with pytest.raises(SourceError) as e:
        open_meters("sysfs", {"cpu": {"path": str(f)}})
    assert message in str(e.value)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to become another user")
def test_an_unreadable_energy_counter_says_who_may_read_it(tmp_path):
    f = tmp_path / "energy_uj"
    f.write_text("1\n")
    os.chmod(f, 0o400)
    os.chmod(tmp_path, 0o755)
    nobody = pwd.getpwnam("nobody").pw_uid
    pid = os.fork()
    if pid == 0:  # as nobody, the way a non-root user meets a RAPL counter
        try:
            os.setresuid(nobody, nobody, nobody)
            make_meter("sysfs", "cpu", {"path": str(f)}).open()
            os._exit(1)
        except SourceError as e:
            os._exit(0 if "only root read the RAPL" in str(e) else 2)
        except BaseException:
            os._exit(3)
    assert os.waitpid(pid, 0)[1] == 0


@pytest.mark.parametrize("source, settings, message", [
    ("model", {"idle": 5}, "unknown key 'idle'"),
    ("model", {"lag_s": -1}, "power.cpu.lag_s must be a number of at least 0"),
    ("model", {"seed": 1.5}, "seed must be a whole number"),
    ("command", {}, "power.cpu.command must be a program"),
    ("command", {"command": []}, "power.cpu.command must be a program"),
    ("sysfs", {}, "power.cpu.path must name a power file"),
    ("command", {"command": "my-meter --name 'cpu"}, "power.cpu.command cannot be split: No closing quotation"),
])
def test_bad_meter_settings_are_named(source, settings, message):
    with pytest.raises(SourceError) as e:
        make_meter(source, "cpu", settings)
    assert message in str(e.value)


@pytest.mark.parametrize("line, value, why", [
    ("25.7\n", 25.7, None),
    ("  -3.5e2 ", -350.0, None),
    (".5", 0.5, None),
    ("inf", float("inf"), None),        # a number: the range check names it
    ("25,7", None, "'25,7', not a number: decimal commas are not read"),
    ("25.7 W", None, "'25.7 W', not a number"),
    ("1_000", None, "'1_000', not a number"),
    ("\uff12\uff15", None, "'\uff12\uff15', not a number"),  # full-width digits: not the C locale's
    ("0x1f", None, "'0x1f', not a number"),
    ("12 13", None, "'12 13', not a number"),
])
def test_a_reading_is_a_whole_c_locale_number(line, value, why):
    from kestrune.run.readings import parse_reading
    assert parse_reading(line) == (value, why)
