# SPDX-License-Identifier: MIT
"""The program's output lined up with the prints uftrace saw: each print is
given the line it wrote, even where uftrace cut its format and the threads'
lines came out in another order than their prints began."""

from tracer.calls import Call, as_recorded, printed
from tracer.output import line_up

LONG = "%lu %s " + "x" * 120 + "\n"
THREAD1, THREAD2 = 11, 12


def printf(tid, start, *args):
    return Call(1, tid, "printf", list(args), 0, start, start + 0.001)


def test_each_print_is_given_its_own_line_whichever_came_out_first():
    # uftrace keeps the format's head: the values tell the lines apart.
    fmt = as_recorded(LONG)
    calls = [
        printf(THREAD1, 1.0, fmt, 111, "12:00:01"),
        printf(THREAD2, 1.0001, fmt, 222, "12:00:01"),
    ]
    stdout = LONG.replace("%lu %s", "222 12:00:01") + LONG.replace(
        "%lu %s", "111 12:00:01"
    )
    assert line_up(calls, stdout, False) == ([], [])
    assert [c.wrote.split()[0] for c in calls] == ["111", "222"]


def test_a_line_no_print_can_have_written_is_left_over():
    fmt = as_recorded(LONG)
    calls = [printf(THREAD1, 1.0, fmt, 111, "12:00:01")]
    stdout = LONG.replace("%lu %s", "333 12:00:01")
    unshown, unprinted = line_up(calls, stdout, False)
    assert unshown == calls and unprinted == [stdout]


def test_a_print_of_a_format_it_cannot_fill_matches_by_what_comes_before():
    calls = [
        printf(THREAD1, 1.0, "at %5d\\n", 7),
        printf(THREAD2, 1.1, "to %s\\n", as_recorded("x" * 120)),
    ]
    stdout = "to " + "x" * 120 + "\nat     7\n"
    assert line_up(calls, stdout, False) == ([], [])
    assert calls[0].wrote == "at     7\n"


def test_a_print_given_no_line_is_told_from_its_record_with_its_line_feeds():
    call = printf(THREAD1, 1.0, "said %s\\n", "a\\nb")
    assert printed(call) == "said a\nb\n"
