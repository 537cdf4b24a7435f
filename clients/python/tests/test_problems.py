"""The lifetime of a run's problems under a fake clock: in force until its cause ends, repeats
of one source counted (a line at once, then at most one a minute with the count), and the
summary's entries with start, end and count."""

from kestrune.run.problems import ProblemLog


def test_a_flood_of_one_source_is_one_line_then_one_a_minute_with_its_count():
    log = ProblemLog()
    lines = [log.occur("meter", "meter:cpu", "printed 'ERR', not a number", None, t * 0.25) for t in range(240)]
    # 60 s of garbage at four a second: the first line only, the rest counted.
    assert [x for x in lines if x] == ["printed 'ERR', not a number"]
    assert log.due_lines(59.9) == []
    assert log.due_lines(60.0) == ["printed 'ERR', not a number (repeated 239 times in the last 60 s)"]
    assert log.due_lines(61.0) == []  # told: nothing more is due
    # The next occurrence a minute after the last line is a line of its own, and a new entry.
    assert log.occur("meter", "meter:cpu", "printed 'ERR', not a number", None, 120.0) == \
        "printed 'ERR', not a number"
    assert [(e["at_s"], e["count"]) for e in log.entries] == [(0.0, 240), (120.0, 1)]
    # Another source is not held back by the first.
    assert log.occur("meter", "meter:gpu", "gpu meter exited", None, 120.5) == "gpu meter exited"


def test_untold_repeats_are_counted_in_the_next_line_when_no_count_line_came_between():
    log = ProblemLog()
    log.occur("sensor", "sensor:x", "x gone", None, 0.0)
    log.occur("sensor", "sensor:x", "x gone", None, 10.0)
    assert log.occur("sensor", "sensor:x", "x gone", None, 70.0) == "x gone (and 1 more times since the line at 0 s)"


def test_a_problem_is_in_force_until_its_cause_ends_and_the_entry_keeps_both_times():
    log = ProblemLog()
    log.occur("sensor", "sensor:gpu_c", "sensor gpu_c: gone; recorded as missing", None, 5.0)
    log.occur("helper", "helper error:gpuSlow", "helper error: gpuSlow", None, 6.0, lasting=False)
    assert log.in_force() == ("sensor gpu_c: gone; recorded as missing",)
    assert log.end("sensor:gpu_c", 9.5) is True
    assert log.end("sensor:gpu_c", 10.0) is False  # ended once
    assert log.in_force() == ()
    sensor, helper = log.entries
    assert (sensor["at_s"], sensor["ended_s"], sensor["count"]) == (5.0, 9.5, 1)
    assert (helper["at_s"], helper["ended_s"]) == (6.0, 6.0)  # an event: over where it began
    # It comes back within the minute: folded into its entry, in force again, the end open.
    assert log.occur("sensor", "sensor:gpu_c", "sensor gpu_c: gone; recorded as missing", None, 20.0) is None
    assert log.in_force() == ("sensor gpu_c: gone; recorded as missing",)
    assert (sensor["count"], sensor["ended_s"]) == (2, None)


def test_past_the_kept_entries_occurrences_are_counted_only():
    log = ProblemLog(max_entries=2)
    for i in range(5):
        log.occur("helper", f"h{i}", f"problem {i}", None, float(i))
    assert [e["message"] for e in log.entries] == ["problem 0", "problem 1"] and log.unkept == 3
