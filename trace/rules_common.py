# SPDX-License-Identifier: MIT
"""What the rules of every program share."""

import collections

from .verdicts import SLACK, Breach


def output_rule(run, views):
    """the lines the threads printed are the program's output"""
    seen = collections.Counter(
        text for texts in views.lines.values() for _, text in texts
    )
    if run.name == "tallyduel":
        shown = collections.Counter(w + " " for w in run.stdout.split())
    else:
        shown = collections.Counter(run.stdout.splitlines(keepends=True))
    breaches = [
        Breach(
            run.stop, "-", f"the recording saw {text!r}, the output does not show it"
        )
        for text in seen - shown
    ]
    # A print the stop cut short may have reached the output unrecorded: one
    # per thread at most.
    extra = sum((shown - seen).values())
    if extra > len(run.threads()):
        breaches.append(Breach(run.stop, "-", f"{extra} lines of output no print made"))
    return breaches


def periodic(views, tid, period, what):
    """Breaches of a thread that should print every `period` seconds."""
    times = [t for t, _ in views.lines.get(tid, [])]
    return [
        Breach(b, views.name(tid), f"{what} {b - a:.2f} s after the last")
        for a, b in zip(times, times[1:])
        if abs(b - a - period) > SLACK
    ]
