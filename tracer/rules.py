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
    """Breaches of a thread that should print every `period` seconds, two
    lines' spacing taken as the program makes it at its own pace: --speed N
    makes the pauses N times shorter but not the work between them (nor a
    print's wait for its output to be read), which the program's time would
    show N times too long."""
    speed = views.run.speed
    pauses = [c for c in views.run.done("sleep", "usleep") if c.tid == tid]
    prints = sorted(views.prints(tid), key=lambda c: c.start)
    breaches = []
    for a, b in zip(prints, prints[1:]):
        paused = sum(
            max(0.0, min(c.end, b.start) - max(c.start, a.start)) for c in pauses
        )
        apart = paused + (b.start - a.start - paused) / speed
        if abs(apart - period) > SLACK:
            breaches.append(
                Breach(b.start, views.name(tid), f"{what} {apart:.2f} s after the last")
            )
    return breaches
