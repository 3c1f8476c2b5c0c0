# SPDX-License-Identifier: MIT
"""A ranking function for the shop's System, built from its routines, that
every step lowers by at least one and that is never below 0, so that every
run of the shop ends, with no fairness assumed.

Each customer still to arrive, and each customer at a place, counts the
most steps he can still take, plus, for every post of a token (a semaphore
the barbers wait on, but the lock) still ahead of him, the most steps a
barber can take on what that post lets him take (a round). Each post
already counted in a token counts a round; each barber counts the most
steps he can take before he must wait on a token again."""

from . import logic as L
from .start import LOCK


def tokens_of(system):
    return {
        p.step.sem
        for p in system.barbers
        if p.step.kind == "call"
        and p.step.function == "sem_wait"
        and p.step.sem != LOCK
    }


def longest(places, moves, stop):
    """place index -> the most moves from it before a place where `stop`
    holds; None when some loop never reaches one."""
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
    """(the ranking's term, None), or (None, why there is none)."""
    tokens = tokens_of(system)
    barber_moves = [m for m in system.moves if m.who == "barber"]
    waits = lambda p: (  # noqa: E731
        p.step.kind == "call" and p.step.function == "sem_wait" and p.step.sem in tokens
    )
    ahead = longest(system.barbers, barber_moves, waits)
    if ahead is None or not tokens:
        return None, "a barber can go round his loop without waiting for a customer"
    round_ = max(
        [1 + ahead[m.target.index] for m in barber_moves if waits(m.source)], default=0
    )
    customer_moves = [m for m in system.moves if m.who == "customer"]
    worth = longest_worth(system.customers, customer_moves, tokens, round_)
    if worth is None:
        return None, "a customer can go round a loop"
    term = L.plus(
        L.times(worth[0] + 1, L.minus(L.var("N"), L.var("arrived"))),
        *[L.times(worth[p.index], L.var(p.var)) for p in system.customers],
        *[L.times(round_, L.var(f"q:{t}")) for t in sorted(tokens)],
        *[L.times(ahead[p.index], L.var(p.var)) for p in system.barbers],
    )
    return term, None


def longest_worth(places, moves, tokens, round_):
    """place index -> what a customer there may still cost: his steps and a
    round for each token he will post."""
    worth, busy = {}, set()

    def visit(p):
        if p.index in worth:
            return worth[p.index]
        if p.index in busy:
            raise LookupError(p)
        busy.add(p.index)
        worth[p.index] = max(
            [
                1
                + visit(m.target)
                + round_ * sum(m.delta.get(t, 0) > 0 for t in tokens)
                for m in moves
                if m.source is p
            ],
            default=0,
        )
        busy.discard(p.index)
        return worth[p.index]

    try:
        for p in places:
            visit(p)
    except LookupError:
        return None
    return worth
