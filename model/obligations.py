# SPDX-License-Identifier: MIT
"""What must be proved of the shop's System, as SMT-LIB2: the invariant
holds at the start and every step keeps it; it rules out every state that
breaks a property; and a ranking function that every step lowers shows
every run ends. The properties and the ranking rest on the invariant."""

import dataclasses

from . import logic as L
from .invariant import start, step, variables


@dataclasses.dataclass
class Goal:
    label: str
    assertion: str  # proved when this cannot hold (unsat)
    kind: str  # "invariant", "property" or "ranking"
    key: object = None  # a property's key
    # "sat" for the one goal proved by an example: that the invariant and
    # the start are no contradiction, which would make every goal hold.
    expect: str = "unsat"

    @property
    def rests(self):
        """Whether it follows only once the invariant is proved."""
        return self.kind != "invariant"


def head(system):
    """The declarations every goal is checked after."""
    names = variables(system)
    found = ["(declare-const N Int)", "(declare-const S Int)"]
    for v in names:
        found.append(f"(declare-const {L.smt(L.var(v))} Int)")
        found.append(f"(declare-const {L.smt(L.primed(L.var(v)))} Int)")
    return found


def mover(move):
    if move.who == "arrival":
        return "a customer's arrival keeps it"
    who = "a customer" if move.who == "customer" else "a barber"
    return f"{who} at line {move.source.step.line}, {move.label}, keeps it"


def goals(system, invariant, properties, rank):
    """Every Goal, in the order they are printed."""
    now = L.all_of(*[t for _, t in invariant])
    after = L.primed(now)
    at_start = start(system)
    found = [
        Goal(
            "the start meets the invariant, which is no contradiction",
            L.smt(L.all_of(at_start, now)),
            "invariant",
            expect="sat",
        ),
        Goal(
            "the invariant holds at the start",
            L.smt(L.all_of(at_start, L.negate(now))),
            "invariant",
        ),
    ]
    found += [
        Goal(
            mover(m),
            L.smt(L.all_of(now, step(system, m), L.negate(after))),
            "invariant",
        )
        for m in system.moves
    ]
    found += [
        Goal(p.name, L.smt(L.all_of(now, p.bad)), "property", p.key) for p in properties
    ]
    if rank is not None:
        raised = [
            L.all_of(step(system, m), L.compare(">=", L.primed(rank), rank))
            for m in system.moves
        ]
        found.append(
            Goal(
                "every step lowers the ranking function, which is never below 0: every run ends",
                L.smt(L.all_of(now, L.any_of(L.compare("<", rank, L.num(0)), *raised))),
                "ranking",
                "ends",
            )
        )
    return found
