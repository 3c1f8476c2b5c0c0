# SPDX-License-Identifier: MIT
"""A ranking function for the shop's System, built from its routines, that
every step lowers by at least one and that is never below 0, so that every
run of the shop ends, with no fairness assumed.

Each customer still to arrive, and each customer at a place, counts the
most steps he can still take, plus, for every post of cust_ready still ahead
of him, the most steps the barber can take on the customer that post lets
him take (a round). Each post already counted in cust_ready counts a round;
the barber counts the most steps he can take before he must wait on
cust_ready again. Taking a post, the barber gives up a round and starts on
one; a customer who posts gives one to the semaphore."""

from .obligations import barber_moves
from .smt import app, num, plus, times
from .system import LOCK


def tokens_of(system):
    """The semaphores the barber waits on: each post of one lets him go
    round once."""
    return {
        p.step.arg
        for p in system.barbers
        if p.step.kind == "call" and p.step.name == "sem_wait" and p.step.arg != LOCK
    }


def longest(places, moves, stop):
    """place -> the most moves from it before a place where `stop` holds;
    None when some loop never reaches one."""
    found, busy = {}, set()

    def visit(p):
        if p.index in found:
            return found[p.index]
        if stop(p) or p.ended:
            found[p.index] = 0
            return 0
        if p.index in busy:
            raise LookupError(p)
        busy.add(p.index)
        found[p.index] = max(
            [1 + visit(m.target) for m in moves if m.source is p], default=0
        )
        busy.discard(p.index)
        return found[p.index]

    try:
        for p in places:
            visit(p)
    except LookupError:
        return None
    return found


def ranking(system):
    """(the Ranking, None), or (None, why there is none)."""
    tokens = tokens_of(system)
    moves = barber_moves(system)
    waits = (
        lambda p: p.step.kind == "call"
        and p.step.arg in tokens
        and p.step.name == "sem_wait"
    )  # noqa: E731
    ahead = longest(system.barbers, moves, waits)
    if ahead is None or not tokens:
        return None, "the barber can go round his loop without waiting for a customer"
    round_length = max(
        [1 + ahead[m.target.index] for m in moves if waits(m.source)], default=0
    )
    customer_moves = [m for m in system.moves if m.who == "customer"]
    worth = {}
    for p in reversed(system.customers):  # depth first: every place before its next
        worth[p.index] = max(
            [
                1
                + worth[m.target.index]
                + round_length * sum(m.delta.get(t, 0) > 0 for t in tokens)
                for m in customer_moves
                if m.source is p
            ],
            default=0,
        )

    return Ranking(system, tokens, round_length, ahead, worth), None


class Ranking:
    """The ranking function: as SMT-LIB of a frame, or as a number at the
    start of a day of n customers, the most steps such a day can take."""

    def __init__(self, system, tokens, round_length, ahead, worth):
        self.system, self.tokens, self.round = system, sorted(tokens), round_length
        self.ahead, self.worth = ahead, worth

    def __call__(self, f):
        barber = "0"
        for p in self.system.barbers:
            barber = app(
                "ite", app("=", f.b, str(p.index)), num(self.ahead[p.index]), barber
            )
        return plus(
            times(self.worth[0] + 1, app("-", "N", f.arrived)),
            *[times(self.worth[p.index], f.c(p)) for p in self.system.customers],
            *[times(self.round, f.q(t)) for t in self.tokens],
            barber,
        )

    def at_start(self, n):
        start = self.system.start
        return (
            (self.worth[0] + 1) * n
            + sum(
                self.round * start[t].number for t in self.tokens if not start[t].chairs
            )
            + self.ahead[0]
        )
