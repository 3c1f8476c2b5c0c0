# SPDX-License-Identifier: MIT
"""The rules of pairtick: two threads, each telling the time once a second."""

from .rules_common import output_rule, periodic
from .verdicts import Breach, rule

RULES = []
rule(RULES)(output_rule)


def talkers(run, views):
    return [t for t in run.threads(run.main_pid) if views.lines.get(t)]


@rule(RULES)
def two_ids(run, views):
    """two threads talk, each writing an id of its own"""
    tids = talkers(run, views)
    breaches = []
    if len(tids) != 2:
        breaches.append(Breach(run.stop, "-", f"{len(tids)} threads talk"))
    ids = {}
    for tid in tids:
        ids[tid] = {text.split(" ", 1)[0] for _, text in views.lines[tid]}
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
