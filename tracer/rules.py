# SPDX-License-Identifier: MIT
"""What the rules of every program share."""

from .verdicts import SLACK, Breach


def output_rule(run, views):
    """the lines the threads printed are the program's output"""
    unshown, unprinted = run.lined_up
    breaches = [
        Breach(
            c.start,
            views.name(c.tid),
            f"the recording saw {c.args[0]!r}, the output does not show it",
        )
        for c in unshown
    ]
    # A print the stop cut short may have reached the output unrecorded: one
    # per thread at most.
    if len(unprinted) > len(run.threads()):
        breaches.append(
            Breach(run.stop, "-", f"{len(unprinted)} lines of output no print made")
        )
    return breaches


def periodic(views, tid, period, what):
    """Breaches of a thread that should print every `period` seconds. A
    line is not late by the time the thread's line before it took to be
    written: a print waits for its output to be read, and the tracer reads
    it, at a pace --speed makes look N times slower."""
    prints = sorted(views.prints(tid), key=lambda c: c.start)
    return [
        Breach(
            b.start, views.name(tid), f"{what} {b.start - a.start:.2f} s after the last"
        )
        for a, b in zip(prints, prints[1:])
        if not -SLACK <= b.start - a.start - period <= SLACK + (a.end - a.start)
    ]
