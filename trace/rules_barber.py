# SPDX-License-Identifier: MIT
"""The rules of the barber's shop, checked on what its threads really did."""

import collections

from .calls import printed
from .programs import BARBER_LINE, START_COUNTS, customer_line
from .rules_common import output_rule
from .verdicts import SLACK, Breach, rule

RULES = []
rule(RULES)(output_rule)


def customers(run, views):
    """The customers' threads, with the sit-down print of those who sat and
    the set of those who went away."""
    tids = [t for t, n in views.names.items() if n.startswith("customer ")]
    sat, gone = {}, set()
    for tid in tids:
        for c in views.prints(tid):
            line = customer_line(printed(c))
            if line is not None and line[1] is not None:
                sat[tid] = c
            elif line is not None:
                gone.add(tid)
    return tids, sat, gone


@rule(RULES)
def lock_rule(run, views):
    """nobody waits on cust_ready or barber_ready while holding mutex"""
    return [
        Breach(c.start, views.name(c.tid), f"waits on {c.sem} holding mutex")
        for c in run.calls
        if c.name == "sem_wait"
        and c.sem in ("cust_ready", "barber_ready")
        and views.holding(c.tid, c.start)
    ]


@rule(RULES)
def one_holder(run, views):
    """mutex is held by one thread at a time, and given back by its holder"""
    spans, misuse = views.sections
    breaches = [Breach(at, views.name(tid), what) for at, tid, what in misuse]
    for first, second in zip(spans, spans[1:]):
        if second.acquired < first.released:
            breaches.append(
                Breach(
                    second.acquired,
                    views.name(second.tid),
                    f"takes mutex while {views.name(first.tid)} holds it",
                )
            )
    return breaches


@rule(RULES)
def start_counts(run, views):
    """the semaphores start at barber_ready 1, cust_ready 0, mutex 1"""
    return [
        Breach(
            0.0,
            "driver",
            f"{sem} starts at {views.start_counts.get(sem, 'no sem_init')}",
        )
        for sem, value in START_COUNTS.items()
        if views.start_counts.get(sem) != value
    ]


@rule(RULES)
def counts_stay_natural(run, views):
    """replayed from those counts, no semaphore's count goes below 0"""
    return [
        Breach(c.at, views.name(c.tid), f"takes {c.sem} at count {c.value + 1}")
        for c in views.counts
        if c.value < 0
    ]


@rule(RULES)
def posts_per_customer(run, views):
    """each seated customer posts cust_ready once; one who goes away posts
    nothing"""
    tids, sat, _ = customers(run, views)
    breaches = []
    for tid in tids:
        posts = collections.Counter(c.sem for c in run.calls_of(tid, "sem_post"))
        kind = "a seated customer" if tid in sat else "a customer who goes away"
        at = max((c.start for c in run.calls_of(tid)), default=run.stop)
        for sem, n in {"cust_ready": int(tid in sat), "barber_ready": 0}.items():
            if posts[sem] != n:
                breaches.append(
                    Breach(
                        at, views.name(tid), f"{kind} posts {sem} {posts[sem]} times"
                    )
                )
    return breaches


def takes(run, views):
    """The barber's completed waits on cust_ready: each takes a customer."""
    barber = views.tid_of("barber")
    return [
        c
        for c in run.calls_of(barber, "sem_wait")
        if c.sem == "cust_ready" and c.end is not None
    ]


@rule(RULES)
def takes_only_the_seated(run, views):
    """the barber never takes more customers than have sat down"""
    sits = sorted(c.start for c in customers(run, views)[1].values())
    breaches = []
    for k, c in enumerate(takes(run, views)):
        seated = sum(s <= c.end for s in sits)
        if seated < k + 1:
            breaches.append(
                Breach(c.end, "barber", f"takes customer {k + 1} with {seated} seated")
            )
    return breaches


@rule(RULES, needs=("chairs",))
def chairs_in_range(run, views):
    """free chairs stay within 0 to {chairs}"""
    return [
        Breach(step.at, views.name(step.section.tid), f"leaves {step.free} chairs free")
        for step in views.chairs
        if not 0 <= step.free <= views.facts["chairs"]
    ]


@rule(RULES, whole_story=True)
def one_line_each(run, views):
    """every customer thread writes exactly one line, and each of the
    {customers} ids shows once"""
    tids = customers(run, views)[0]
    breaches, ids = [], collections.Counter()
    for tid in tids:
        mine = views.lines.get(tid, [])
        if len(mine) != 1:
            at = mine[1][0] if len(mine) > 1 else run.stop
            breaches.append(Breach(at, views.name(tid), f"writes {len(mine)} lines"))
        for _, text in mine:
            line = customer_line(text)
            if line is not None:
                ids[line[0]] += 1
    for i in range(views.facts["customers"]):
        if ids[i] != 1:
            breaches.append(
                Breach(run.stop, f"customer {i}", f"{ids[i]} lines carry id {i}")
            )
    return breaches


@rule(RULES, needs=("chairs",))
def sit_down_numbers(run, views):
    """each sit-down line shows the free chairs the operations give; a
    customer goes away only when none is free"""
    _, sat, gone = customers(run, views)
    breaches = []
    for step in views.chairs:
        tid = step.section.tid
        if tid in sat and step.at == sat[tid].start:
            shown = customer_line(printed(sat[tid]))[1]
            if shown != step.free:
                breaches.append(
                    Breach(
                        step.at,
                        views.name(tid),
                        f"shows free seat {shown}, the operations give {step.free}",
                    )
                )
        elif tid in gone and step.free != 0:
            breaches.append(
                Breach(
                    step.at, views.name(tid), f"goes away with {step.free} chairs free"
                )
            )
    for tid, c in sat.items():
        if not views.holding(tid, c.start):
            breaches.append(
                Breach(
                    c.start,
                    views.name(tid),
                    "writes his sit-down line without holding mutex",
                )
            )
    return breaches


def cuts(run, views):
    return [c for c in views.prints(views.tid_of("barber")) if c.name == "puts"]


@rule(RULES, whole_story=True)
def one_line_per_take(run, views):
    """the barber writes one line per customer he took, and no customer's
    line"""
    took, done = takes(run, views), cuts(run, views)
    breaches = [
        Breach(extra.start, "barber", "writes a line for a customer he never took")
        for extra in done[len(took) :]
    ]
    breaches += [
        Breach(c.start, "barber", "writes a customer's line")
        for c in views.prints(views.tid_of("barber"))
        if c.name == "printf" or printed(c) != BARBER_LINE + "\n"
    ]
    haircut = views.facts.get("haircut", 0)
    for k, take in enumerate(took[len(done) :], start=len(done)):
        if take.end + haircut + SLACK < run.stop:
            breaches.append(
                Breach(
                    take.end + haircut,
                    "barber",
                    f"writes no line for customer {k + 1} he took",
                )
            )
    return breaches


@rule(RULES, paced=True, needs=("haircut",))
def haircut_length(run, views):
    """the barber writes his line {haircut} s after he took the customer"""
    haircut = views.facts["haircut"]
    breaches = []
    for take, cut in zip(takes(run, views), cuts(run, views)):
        took = cut.start - take.end
        if abs(took - haircut) > SLACK:
            breaches.append(
                Breach(
                    cut.start,
                    "barber",
                    f"writes his line {took:.2f} s after he took a customer",
                )
            )
    return breaches


@rule(RULES, whole_story=True)
def all_let_through(run, views):
    """every seated customer is let through barber_ready, and his thread
    ends"""
    breaches = []
    for tid in customers(run, views)[1]:
        waits = [c for c in run.calls_of(tid, "sem_wait") if c.sem == "barber_ready"]
        if not any(c.end is not None for c in waits):
            breaches.append(
                Breach(run.stop, views.name(tid), "still waits on barber_ready")
            )
    return breaches


@rule(RULES, whole_story=True)
def quiet_at_the_end(run, views):
    """after the last haircut the barber sleeps on cust_ready and nothing
    else happens"""
    barber = views.tid_of("barber")
    posts = [c for c in run.calls_of(barber, "sem_post") if c.sem == "barber_ready"]
    last = posts[-1].start if posts else 0.0
    mine = run.calls_of(barber)
    final = mine[-1] if mine else None
    breaches = []
    if final is None or not (
        final.name == "sem_wait" and final.sem == "cust_ready" and final.end is None
    ):
        what = "does not sleep on cust_ready at the end"
        if final is not None:
            what += f": his last call is {final.name}" + (
                f" on {final.sem}" if final.sem else ""
            )
        breaches.append(Breach(run.stop, "barber", what))
    for c in run.calls:
        if c.start <= last or c is final:
            continue
        if c.end is not None:
            breaches.append(
                Breach(c.start, views.name(c.tid), f"{c.name} after the last haircut")
            )
        elif c.tid != barber and c.name != "pthread_join":
            still = f"still in {c.name}" + (f" on {c.sem}" if c.sem else "")
            breaches.append(Breach(c.start, views.name(c.tid), still))
    return breaches
