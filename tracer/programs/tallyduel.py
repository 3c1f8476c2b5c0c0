# SPDX-License-Identifier: MIT
"""tallyduel: the main thread raises a shared counter every two seconds,
thread1 lowers it every second, and each writes what it left; as the tools
know it."""

import re

from . import Program
from ..calls import printed
from ..rules import output_rule, periodic
from ..verdicts import Breach, rule


class Story:
    """Fifteen values written: five raises and ten lowerings, ten seconds."""

    def __init__(self):
        self.numbers, self.last = 0, " "

    def feed(self, text):
        # A number ends at its blank, which may come in the next piece.
        self.numbers += len(re.findall(r"[^ ] ", self.last + text))
        self.last = text[-1:] or self.last

    def complain(self, text):
        pass

    @property
    def told(self):
        return self.numbers >= 15


def names(run, views):
    return {
        t: ("main thread (+1)" if t == run.main_pid else "thread1 (-1)")
        for t in run.threads(run.main_pid)
    }


def threads(run):
    """The main thread and thread1."""
    others = [t for t in run.threads(run.main_pid) if t != run.main_pid]
    return run.main_pid, (others[0] if others else None)


def values(views, tid):
    """(time, value) of what a thread wrote; None for a piece no number."""
    found = []
    for t, text in views.lines.get(tid, []):
        try:
            found.append((t, int(text)))
        except (TypeError, ValueError):
            found.append((t, None))
    return found


RULES = []
rule(RULES)(output_rule)


@rule(RULES, paced=True)
def pace(run, views):
    """the main thread raises the counter every 2 s, thread1 lowers it every
    second"""
    up, down = threads(run)
    return periodic(views, up, 2.0, "raises") + periodic(views, down, 1.0, "lowers")


@rule(RULES)
def steps_explain_values(run, views):
    """every value is explained by the two threads' steps in some order, none
    lost or counted twice"""
    up, down = threads(run)
    ups, downs = values(views, up), values(views, down)
    bad = [
        (t, views.name(tid))
        for tid, vs in ((up, ups), (down, downs))
        for t, v in vs
        if v is None
    ]
    if bad:
        return [Breach(bad[0][0], bad[0][1], "writes what is no number")]
    return [
        Breach(at, views.name(tid), what)
        for at, tid, what in explain_steps(ups, downs, up, down)
    ]


def explain_steps(ups, downs, up_tid, down_tid):
    """After the main thread's k-th step (+1) and the j steps of thread1 (-1)
    taken before it, the counter is k - j; so its k-th value tells j, and the
    j-th value of thread1 tells how many raises came first. The values are
    explained when both counts only grow and say the same order. `ups` and
    `downs` are each thread's (time, value) in order; the breaches are
    (time, tid, what)."""
    before_up = [k + 1 - v for k, (_, v) in enumerate(ups)]  # lowerings before
    before_down = [v + j + 1 for j, (_, v) in enumerate(downs)]  # raises before
    breaches = []

    def only_grow(tid, values, before, others):
        # One step more than was printed may have been taken as the run
        # stopped.
        for i, b in enumerate(before):
            if not 0 <= b <= others + 1 or (i and b < before[i - 1]):
                what = f"writes {values[i][1]}: no order of the steps gives it"
                breaches.append((values[i][0], tid, what))

    only_grow(up_tid, ups, before_up, len(downs))
    only_grow(down_tid, downs, before_down, len(ups))
    for k, j_before in enumerate(before_up):
        for j, i_before in enumerate(before_down):
            # Raise k came before lowering j exactly when lowering j had
            # more than k raises before it.
            if (j_before <= j) != (i_before > k):
                what = (
                    f"raise {k + 1} (wrote {ups[k][1]}) and lowering {j + 1} "
                    f"(wrote {downs[j][1]}) disagree on their order"
                )
                breaches.append((max(ups[k][0], downs[j][0]), down_tid, what))
    return breaches


def tracks(run, views):
    """Under the lanes: the counter, as each thread left it."""
    steps = [(0.0, 0)]
    for c in sorted(run.done("printf"), key=lambda c: c.start):
        try:
            steps.append((c.start, int(printed(c))))
        except (TypeError, ValueError):
            continue
    return [("shared_var", "#7b4fa0", steps)]


PROGRAM = Program(
    "tallyduel",
    ("child_thread", "thread1", "shared_var"),
    (),
    ("pthread_create",),
    "printf@arg1/s,arg2/d32",
    "threads/tallyduel.cpp",
    20.0,
    Story,
    tuple(RULES),
    names,
    counters=("shared_var",),
    tracks=tracks,
    words=True,
)
