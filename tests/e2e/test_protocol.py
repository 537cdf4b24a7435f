"""Input framing and the bad-line rule, seen from the controller's side."""


from kestrune import Bye, Error


def test_bad_lines_are_reported_and_the_third_within_5s_ends_the_run(runner):
    with runner.start_helper() as h:
        h.send_raw(b"\xff not utf-8")
        assert h.read(30) == Error("badLine", "line is not UTF-8")
        h.send_raw(b'{"cmd":"Start"}')
        ev = h.read(10)
        assert ev.code == "badLine"
        assert ev.detail.startswith("unknown variant `Start`, expected one of `start`, `set`, `power`, `hb`, `stop`")
        h.send({"cmd": "set", "seq": 1})
        assert h.read(10) == Error("badLine", "set before start")
        assert h.read(10) == Bye("protocol", 9, 0.0, 0.0)
        assert h.read(10) is None
        assert h.wait() == 9


def test_closing_stdin_ends_the_run_with_stdin_closed(runner):
    with runner.start_helper() as h:
        h.send({"cmd": "hb"})
        h.close_stdin()
        assert h.read(30) == Bye("stdinClosed", 2, 0.0, 0.0)
        assert h.wait() == 2


def test_an_overlong_line_is_one_bad_line_and_the_next_line_still_counts(runner):
    with runner.start_helper() as h:
        h.send_raw(b"x" * (1 << 20))
        assert h.read(30) == Error("badLine", "line longer than 16 KiB")
        h.send_raw(b'{"cmd":"hb"}\r\n\n\r\n')
        h.send({"cmd": "stop"})
        assert h.read(10).why == "stop"
        assert h.wait() == 0
