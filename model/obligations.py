# SPDX-License-Identifier: MIT
"""What must be proved of the shop's System, as SMT-LIB2: the invariant,
generated from the routines, holds at the start and every step keeps it;
it rules out every error the shop must not reach; and a ranking function
that every step lowers shows every run ends.

The invariant has one equation per counted quantity: its value is its
start plus what each customer's path so far has done to it (summed over the
customers at each place) plus what each of the barber's steps does, times
how often he has taken it. With the counts never below 0, arrivals at most
N, the barber at one place, and how often he took each step agreeing with
where he stands, one lemma more is written by hand (LEMMA)."""

import dataclasses

from .smt import all_of, any_of, app, num, plus, times
from .system import LOCK

LEMMA = (
    "a customer who has passed the test still has his chair until he takes "
    "it: free_seat is at least the number of customers between the test of "
    "free_seat and their free_seat--"
)


@dataclasses.dataclass
class Goal:
    label: str
    assertion: str  # proved when this cannot hold (unsat)
    kind: str  # "invariant", "property" or "ranking"
    move: object = None  # the move an inductive step is about
    # "sat" for the one goal proved by an example: that the invariant and
    # the start are no contradiction, which would make every goal hold.
    expect: str = "unsat"


class Frame:
    """The names of the state's variables in one frame: "" now, "_p" after
    a step, "_k" at step k of a search."""

    def __init__(self, system, suffix):
        self.system, self.suffix = system, suffix

    def c(self, place):
        return f"c{place.index}{self.suffix}"

    def n(self, move):
        return f"n{self.system.moves.index(move)}{self.suffix}"

    def q(self, quantity):
        return f"q_{quantity}{self.suffix}"

    @property
    def b(self):
        return f"b{self.suffix}"

    @property
    def arrived(self):
        return f"arrived{self.suffix}"

    def variables(self, ghosts=True):
        names = [self.c(p) for p in self.system.customers]
        names += [self.q(q) for q in self.system.quantities]
        names += [self.b, self.arrived]
        if ghosts:
            names += [self.n(m) for m in barber_moves(self.system)]
        return names


def barber_moves(system):
    return [m for m in system.moves if m.who == "barber"]


def value(v):
    """A Value: S times its chairs plus its number."""
    return plus(times(v.chairs, "S"), num(v.number))


def declarations(system, suffixes, ghosts=True):
    found = ["(declare-const N Int)", "(declare-const S Int)"]
    for suffix in suffixes:
        found += [
            f"(declare-const {v} Int)" for v in Frame(system, suffix).variables(ghosts)
        ]
    return found


def start(system, f, ghosts=True):
    """The state at the start: nobody here yet, the barber at his start."""
    parts = [app("=", f.c(p), "0") for p in system.customers]
    parts += [app("=", f.q(q), value(v)) for q, v in system.start.items()]
    parts += [app("=", f.b, "0"), app("=", f.arrived, "0")]
    if ghosts:
        parts += [app("=", f.n(m), "0") for m in barber_moves(system)]
    return all_of(app(">=", "N", "0"), app(">=", "S", "1"), *parts)


def invariant(system, f):
    """[(name, assertion)] of the invariant's parts."""
    s = system
    parts = [("N and S", all_of(app(">=", "N", "0"), app(">=", "S", "1")))]
    parts.append(
        (
            "no count below 0",
            all_of(
                *[app(">=", f.c(p), "0") for p in s.customers],
                *[app(">=", f.n(m), "0") for m in barber_moves(s)],
                *[app(">=", f.q(q), "0") for q in s.semaphores],
            ),
        )
    )
    parts.append(
        (
            "the customers who arrived",
            all_of(
                app("=", f.arrived, plus(*[f.c(p) for p in s.customers])),
                app("<=", f.arrived, "N"),
            ),
        )
    )
    parts.append(
        (
            "the barber's place",
            any_of(*[app("=", f.b, str(p.index)) for p in s.barbers]),
        )
    )
    parts += [flow(s, f, place) for place in s.barbers]
    parts += [equation(s, f, q) for q in s.quantities]
    window = [f.c(p) for p in s.lemma_window]
    parts.append(("the lemma", app(">=", f.q("free_seat"), plus(*window))))
    return parts


def flow(system, f, place):
    """How often the barber stepped into a place and out of it agrees with
    whether he stands there now (and started there)."""
    moves = barber_moves(system)
    into = plus(*[f.n(m) for m in moves if m.target is place])
    out = [f.n(m) for m in moves if m.source is place]
    here = app("ite", app("=", f.b, str(place.index)), "1", "0")
    return (
        f"the barber's steps into and out of line {place.step.line}",
        app(
            "=",
            app("-", into, plus(*out)) if out else into,
            app("-", here, "1") if place.index == 0 else here,
        ),
    )


def equation(system, f, q):
    """A quantity is its start, plus what every customer's path so far and
    every step the barber took did to it."""
    return (
        f"the equation of {q}",
        app(
            "=",
            f.q(q),
            plus(
                value(system.start[q]),
                *[times(p.effect.get(q, 0), f.c(p)) for p in system.customers],
                *[times(m.delta.get(q, 0), f.n(m)) for m in barber_moves(system)],
            ),
        ),
    )


def guard(move, f):
    parts = []
    if move.who == "customer":
        parts.append(app(">=", f.c(move.source), "1"))
    elif move.who == "barber":
        parts.append(app("=", f.b, str(move.source.index)))
    else:
        parts.append(app("<", f.arrived, "N"))
    ops = {"!=": "distinct"}
    for quantity, op, v in move.guard:
        parts.append(app(ops.get(op, op), f.q(quantity), value(v)))
    return all_of(*parts)


def step(system, move, f, g, ghosts=True):
    """The move taken from frame f to frame g; everything else stays."""
    parts = []
    for p in system.customers:
        change = (p is move.target) - (move.who == "customer" and p is move.source)
        parts.append(app("=", g.c(p), plus(f.c(p), num(change)) if change else f.c(p)))
    for q in system.quantities:
        d = move.delta.get(q, 0)
        parts.append(app("=", g.q(q), plus(f.q(q), num(d)) if d else f.q(q)))
    target = str(move.target.index) if move.who == "barber" else f.b
    parts.append(app("=", g.b, target))
    arrived = plus(f.arrived, "1") if move.who == "arrival" else f.arrived
    parts.append(app("=", g.arrived, arrived))
    if ghosts:
        for m in barber_moves(system):
            parts.append(app("=", g.n(m), plus(f.n(m), "1") if m is move else f.n(m)))
    return all_of(*parts)


def waits_on_other(step):
    return step.kind == "call" and step.name == "sem_wait" and step.arg != LOCK


def at(places, f, which):
    """Someone stands at one of the places `which` picks."""
    found = []
    for p in places:
        if which(p):
            found.append(
                app(">=", f.c(p), "1")
                if p.who == "customer"
                else app("=", f.b, str(p.index))
            )
    return any_of(*found)


def enabled(system, f):
    return any_of(*[guard(m, f) for m in system.moves])


def end_of_day(system, f):
    """Every customer has come and ended, and the barber sleeps on a
    semaphore at 0."""
    return all_of(
        app("=", f.arrived, "N"),
        *[app("=", f.c(p), "0") for p in system.customers if not p.ended],
        any_of(
            *[
                all_of(app("=", f.b, str(p.index)), app("=", f.q(p.step.arg), "0"))
                for p in system.barbers
                if waits_on_other(p.step)
            ]
        ),
    )


def sit_down_places(system):
    """The customer places where he writes his sit-down line, free_seat in it."""
    return [
        p
        for p in system.customers
        if p.step.kind == "call"
        and p.step.name == "printf"
        and "free_seat" in p.step.values
        and "sit down" in p.step.arg
    ]


def releases_unheld(p):
    return (
        p.step.kind == "call"
        and p.step.name == "sem_post"
        and p.step.arg == LOCK
        and not p.holding
    )


def end_counts_right(system, f):
    """Every chair free, every semaphore back at its start, every customer's
    line written, one barber line per sit-down."""
    return all_of(
        *[
            app("=", f.q(q), value(system.start[q]))
            for q in system.semaphores + ["free_seat"]
        ],
        app("=", plus(f.q("sat"), f.q("gone")), "N"),
        app("=", f.q("barber_lines"), f.q("sat")),
    )


def errors(system, f):
    """[(property, what breaking it looks like)]: the states the shop must
    never reach."""
    s, everyone = system, system.customers + system.barbers
    fs = f.q("free_seat")

    def outside(low, high):
        return any_of(app("<", fs, low), app(">", fs, high))

    return [
        (
            "nobody waits on cust_ready or barber_ready while holding mutex",
            at(everyone, f, lambda p: waits_on_other(p.step) and p.holding),
        ),
        ("only the holder releases mutex", at(everyone, f, releases_unheld)),
        ("mutex never counts above 1", app(">", f.q(LOCK), "1")),
        (
            "whenever mutex is free, 0 <= free_seat <= S",
            all_of(app(">=", f.q(LOCK), "1"), outside("0", "S")),
        ),
        (
            "a sit-down line shows 0 to S - 1",
            any_of(
                *[
                    all_of(app(">=", f.c(p), "1"), outside("0", app("-", "S", "1")))
                    for p in sit_down_places(s)
                ]
            ),
        ),
        (
            "each customer writes exactly one line",
            at(s.customers, f, lambda p: p.lines >= 2 or (p.ended and p.lines == 0)),
        ),
        (
            "nothing stops before the end of the day",
            all_of(app("not", enabled(s, f)), app("not", end_of_day(s, f))),
        ),
        (
            "at the end of the day every chair is free, every semaphore back at its "
            "start, every customer's line written and one barber line per sit-down",
            all_of(end_of_day(s, f), app("not", end_counts_right(s, f))),
        ),
    ]


def step_goal(system, move, now, after, inv_now, inv_after):
    """The move, taken from a state of the invariant, leads to one."""
    who = {"customer": "a customer", "barber": "the barber"}.get(move.who)
    label = (
        f"{who} at line {move.source.step.line}, {move.label}, keeps it"
        if who
        else "a customer's arrival keeps it"
    )
    taken = all_of(guard(move, now), step(system, move, now, after))
    return Goal(label, all_of(inv_now, taken, app("not", inv_after)), "invariant", move)


def ranking_goal(system, ranking, now, after, inv_now):
    """From a state of the invariant the ranking is never below 0, and every
    move lowers it."""
    r_now, r_after = ranking(now), ranking(after)
    raised = [
        all_of(guard(m, now), step(system, m, now, after), app(">=", r_after, r_now))
        for m in system.moves
    ]
    return Goal(
        "every step lowers the ranking function, which is never below 0: every run ends",
        all_of(inv_now, any_of(app("<", r_now, "0"), *raised)),
        "ranking",
    )


def goals(system, ranking):
    """Every Goal, in the order they are printed."""
    now, after = Frame(system, ""), Frame(system, "_p")
    inv_now = all_of(*[a for _, a in invariant(system, now)])
    inv_after = all_of(*[a for _, a in invariant(system, after)])
    found = [
        Goal(
            "the start meets the invariant, which is no contradiction",
            all_of(start(system, now), inv_now),
            "invariant",
            expect="sat",
        ),
        Goal(
            "the invariant holds at the start",
            all_of(start(system, now), app("not", inv_now)),
            "invariant",
        ),
    ]
    found += [
        step_goal(system, m, now, after, inv_now, inv_after) for m in system.moves
    ]
    found += [
        Goal(name, all_of(inv_now, bad), "property")
        for name, bad in errors(system, now)
    ]
    if ranking is not None:
        found.append(ranking_goal(system, ranking, now, after, inv_now))
    return found
