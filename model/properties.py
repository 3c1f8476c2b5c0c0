# SPDX-License-Identifier: MIT
"""What the shop must never do, each property written once as the term of
a state that breaks it: the solvers prove no state of the invariant is one,
the search looks for a run to one, the play page judges every step by them.
"Every run ends" is the ranking function's (ranking.py)."""

import dataclasses

from reader.expr import Shared, names

from . import logic as L
from .start import LOCK

# The semaphores the design's rule names, in the design's words.
DESIGN_WAITS = ("cust_ready", "barber_ready")


@dataclasses.dataclass
class Property:
    name: str  # the sentence the tools print
    key: str  # a short name, for the wrong shops and the pages
    bad: tuple  # the term of a state that breaks it


def at(places, which):
    """The term: someone stands at one of the places `which` picks."""
    return L.any_of(
        *[L.compare(">=", L.var(p.var), L.num(1)) for p in places if which(p)]
    )


def waits_on_other(step):
    return step.kind == "call" and step.function == "sem_wait" and step.sem != LOCK


def touches(step, counters):
    """Whether a step reads or writes one of the shop's shared integers."""
    if step.kind == "change":
        return True
    exprs = []
    if step.kind == "test":
        exprs = [step.cond]
    elif step.kind == "call":
        exprs = list(step.args)
    return any(
        isinstance(n, Shared) and n.name in counters for e in exprs for n in names(e)
    )


def enabled(system):
    return L.any_of(*[m.enabled() for m in system.moves])


def end_of_day(system):
    """Every customer has come and gone, and every barber has ended or
    sleeps on a semaphore (not the lock) at 0."""
    parts = [L.compare("=", L.var("arrived"), L.var("N"))]
    parts += [
        L.compare("=", L.var(p.var), L.num(0)) for p in system.customers if not p.ended
    ]
    for p in system.barbers:
        if p.ended:
            continue
        here = L.compare("=", L.var(p.var), L.num(0))
        if waits_on_other(p.step):
            here = L.any_of(here, L.compare("=", L.var(f"q:{p.step.sem}"), L.num(0)))
        parts.append(here)
    return L.all_of(*parts)


def end_counts_right(system):
    q = lambda name: L.var(f"q:{name}")  # noqa: E731
    return L.all_of(
        L.compare("=", q(system.chairs), L.var("S")),
        *[L.compare("=", q(s), system.start[s]) for s in system.semaphores],
        L.compare("=", L.plus(q("lines:sit-down"), q("lines:gone-away")), L.var("N")),
        L.compare("=", q("lines:barber"), q("lines:sit-down")),
    )


def lock_rule_name(system):
    others = [s for s in DESIGN_WAITS if s in system.semaphores]
    others += [s for s in system.semaphores if s not in others and s != LOCK]
    listed = (
        " or ".join(others)
        if len(others) < 3
        else ", ".join(others[:-1]) + " or " + others[-1]
    )
    return f"nobody waits on {listed} while holding mutex"


def properties(system):
    """Every Property of the shop, in the order they are printed."""
    s, everyone = system, system.customers + system.barbers
    chairs = L.var(f"q:{s.chairs}")
    S = L.var("S")

    def outside(term, low, high):
        return L.any_of(L.compare("<", term, low), L.compare(">", term, high))

    shows = [
        L.all_of(
            L.compare(">=", L.var(p.var), L.num(1)),
            L.any_of(
                L.compare("!=", p.shows, chairs),
                outside(p.shows, L.num(0), L.minus(S, L.num(1))),
            ),
        )
        for p in s.customers
        if p.shows is not None
    ]
    return [
        Property(
            lock_rule_name(s),
            "lock",
            at(everyone, lambda p: waits_on_other(p.step) and p.holding),
        ),
        Property(
            "only the holder releases mutex",
            "holder",
            at(
                everyone,
                lambda p: p.step.kind == "call"
                and p.step.function == "sem_post"
                and p.step.sem == LOCK
                and not p.holding,
            ),
        ),
        Property(
            "mutex never counts above 1",
            "mutex",
            L.compare(">", L.var(f"q:{LOCK}"), L.num(1)),
        ),
        Property(
            "every shared variable is read and written only while holding mutex",
            "guarded",
            at(everyone, lambda p: not p.holding and touches(p.step, s.counters)),
        ),
        Property(
            f"whenever mutex is free, 0 <= {s.chairs} <= S",
            "chairs",
            L.all_of(
                L.compare(">=", L.var(f"q:{LOCK}"), L.num(1)),
                outside(chairs, L.num(0), S),
            ),
        ),
        Property(
            f"a sit-down line shows {s.chairs} as it is, 0 to S - 1",
            "shown",
            L.any_of(*shows),
        ),
        Property(
            "each customer writes exactly one line",
            "one line",
            at(s.customers, lambda p: p.lines >= 2 or (p.ended and p.lines == 0)),
        ),
        Property(
            "nothing stops before the end of the day",
            "stops",
            L.all_of(L.negate(enabled(s)), L.negate(end_of_day(s))),
        ),
        Property(
            "at the end of the day every chair is free, every semaphore back at its "
            "start, every customer's line written and one barber line per sit-down",
            "end counts",
            L.all_of(end_of_day(s), L.negate(end_counts_right(s))),
        ),
    ]
