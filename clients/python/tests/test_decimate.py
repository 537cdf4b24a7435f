"""run.png is drawn from a decimated series read in one pass: memory bounded however long the
record, and a one-sample spike or dip still in the picture."""

import tracemalloc

import pytest

from kestrune.run.decimate import BUCKETS, read_series
from kestrune.run.plot import write_plot
from kestrune.run.recordio import RecordError

HEAD = ("time_s,utc,t_ms,step,cpu_mode,cpu_duty,cpu_target_w,cpu_measured_w,cpu_dispatch_ms,cpu_stale,"
        "coretemp_package_id_0_c,cpu_mean_mhz\n")
SPIKE_AT, DIP_AT = 123_457, 171_003


def write_record(path, rows, interval=0.25):
    """A CPU run of `rows` statuses at 30 W and 54 °C, with one spike to 410 W and one dip to
    2 W in power, and one 97 °C sample."""
    with open(path, "w") as f:
        f.write(HEAD)
        for i in range(rows):
            w = 410.0 if i == SPIKE_AT else 2.0 if i == DIP_AT else 30.0 + (i % 7) * 0.1
            temp = 97.0 if i == SPIKE_AT + 5 else 54.0
            f.write(f"{i * interval:.3f},2026-12-11T00:00:00.000Z,{i * 250},{1 + i // 50_000},target,0.5,30,"
                    f"{w:.1f},,0,{temp},3100\n")


def peak_of(fn):
    tracemalloc.start()
    try:
        result = fn()
        return result, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.fixture(scope="module")
def long_record(tmp_path_factory):
    path = tmp_path_factory.mktemp("long") / "run.csv"
    write_record(path, 200_000)  # about 14 hours at four statuses a second
    return path


def test_a_long_record_is_read_in_bounded_memory_and_keeps_its_spikes(long_record, tmp_path):
    short = tmp_path / "short.csv"
    write_record(short, 20_000)
    _, short_peak = peak_of(lambda: read_series(short))
    cols, peak = peak_of(lambda: read_series(long_record))
    print(f"decimated read: peak {peak / 2**20:.2f} MiB for 200 000 rows "
          f"({long_record.stat().st_size / 2**20:.0f} MiB file), {short_peak / 2**20:.2f} MiB for 20 000")
    # Ten times the rows, no more memory: what is kept depends on the picture, not the run.
    assert peak < 4 * 2**20 and peak < short_peak * 1.5 + 2**20
    n = len(cols["time_s"])
    assert n <= 2 * BUCKETS and all(len(v) == n for v in cols.values())
    assert cols["time_s"] == sorted(cols["time_s"]) and cols["time_s"][-1] == pytest.approx(199_999 * 0.25)
    assert max(cols["cpu_measured_w"]) == 410.0 and min(cols["cpu_measured_w"]) == 2.0
    assert max(cols["coretemp_package_id_0_c"]) == 97.0 and min(cols["coretemp_package_id_0_c"]) == 54.0
    # The spike stands where it happened, to within one span.
    spike_t = cols["time_s"][cols["cpu_measured_w"].index(410.0)]
    assert abs(spike_t - SPIKE_AT * 0.25) <= 199_999 * 0.25 / BUCKETS * 2.1
    assert set(cols["cpu_mode"]) == {"target"} and set(cols["step"]) == {1.0, 2.0, 3.0, 4.0}


def test_the_plot_of_a_long_record_is_drawn_in_bounded_memory(long_record, tmp_path):
    summary = {"profile": {"name": "long"}, "outcome": "pass",
               "steps": [{"index": k + 1, "name": f"s{k + 1}", "start_s": k * 12_500.0, "end_s": (k + 1) * 12_500.0,
                          "verdict": "pass"} for k in range(4)]}
    _, peak = peak_of(lambda: write_plot(tmp_path / "run.png", long_record, summary))
    print(f"run.png of 200 000 rows: peak {peak / 2**20:.1f} MiB traced")
    assert (tmp_path / "run.png").read_bytes()[:4] == b"\x89PNG"
    assert peak < 64 * 2**20


@pytest.mark.parametrize("text, message", [
    ("", "is empty"), ("a,b\n1,2\n", "has no time_s column"),
])
def test_a_record_that_is_not_one_is_one_line(tmp_path, text, message):
    path = tmp_path / "run.csv"
    path.write_text(text)
    with pytest.raises(RecordError, match=message):
        read_series(path)


def test_rows_that_cannot_be_placed_are_left_out_and_short_rows_read_as_missing(tmp_path):
    path = tmp_path / "run.csv"
    path.write_text("time_s,cpu_mode,cpu_measured_w\n0,free,30\nx,free,999\n0.25,free\n0.5,free,31\n")
    cols = read_series(path)
    assert 999.0 not in cols["cpu_measured_w"] and 31.0 in cols["cpu_measured_w"]
