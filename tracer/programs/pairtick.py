# SPDX-License-Identifier: MIT
"""pairtick: two threads of one process, each telling the time once a
second, as the tools know it."""

from . import Lines, Program
from ..rules import output_rule, periodic
from ..verdicts import Breach, rule


class Story(Lines):
    """Two threads have written six lines each."""

    def __init__(self):
        super().__init__()
        self.lines = {}

    def line(self, line):
        who = line.split(" ", 1)[0]
        self.lines[who] = self.lines.get(who, 0) + 1

    @property
    def told(self):
        return len(self.lines) == 2 and all(n >= 6 for n in self.lines.values())


def names(run, views):
    return {
        t: ("main thread" if t == run.main_pid else "thread1")
        for t in run.threads(run.main_pid)
    }


def talkers(run, views):
    return [t for t in run.threads(run.main_pid) if views.lines.get(t)]


RULES = []
rule(RULES)(output_rule)


@rule(RULES)
def two_ids(run, views):
    """two threads talk, each writing an id of its own"""
    tids = talkers(run, views)
    breaches = []
    if len(tids) != 2:
        breaches.append(Breach(run.stop, "-", f"{len(tids)} threads talk"))
    ids = {}
    for tid in tids:
        ids[tid] = {(text or "").split(" ", 1)[0] for _, text in views.lines[tid]}
        if len(ids[tid]) != 1:
            first = views.lines[tid][0][0]
            breaches.append(
                Breach(first, views.name(tid), f"writes {len(ids[tid])} ids")
            )
    if len(tids) == 2 and ids[tids[0]] == ids[tids[1]]:
        breaches.append(Breach(run.stop, "-", "both threads write the same id"))
    return breaches


@rule(RULES, paced=True)
def once_a_second(run, views):
    """each thread writes one line a second"""
    return [
        b for tid in talkers(run, views) for b in periodic(views, tid, 1.0, "writes")
    ]


PROGRAM = Program(
    "pairtick",
    ("child_thread", "thread1", "get_time"),
    ("shared_var",),
    ("pthread_create",),
    "printf@arg1/s,arg2/u,arg3/s",
    "threads/pairtick.cpp",
    20.0,
    Story,
    tuple(RULES),
    names,
)
