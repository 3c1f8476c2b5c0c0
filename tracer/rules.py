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
    """Breaches of a thread that should print every `period` seconds."""
    times = [t for t, _ in views.lines.get(tid, [])]
    return [
        Breach(b, views.name(tid), f"{what} {b - a:.2f} s after the last")
        for a, b in zip(times, times[1:])
        if abs(b - a - period) > SLACK
    ]
