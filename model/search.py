# SPDX-License-Identifier: MIT
"""The search for a real run of the shop to an error: for each small shop
in turn (N customers and S chairs, the fewest first), every state every
schedule reaches, breadth first, so that a run found is a shortest one for
its shop and a shop that breaks at a size searched always gets its run.
Where no state breaks a property but the states go round a loop, the run
to the loop and once round it breaks "every run ends".

A run is told as the program's own lines, customers numbered in the order
they came and the first to have come moving first of those who stand at one
place, with where everyone stands when it breaks, and as the moves the play
page takes (#customers=N&chairs=S&moves=...)."""

import dataclasses

from .day import Day
from .states import States

MOST_CUSTOMERS = 4
MOST_CHAIRS = 3
# A shop whose states are more than this is not searched to its end.
MOST_STATES = 200000
EVERY_RUN_ENDS = "every run ends"


@dataclasses.dataclass
class Found:
    customers: int  # N
    chairs: int  # S
    moves: list  # the names of who moved, in order
    lines: list  # what the program writes on the way
    broken: list  # the properties the last state breaks
    standing: list  # where everyone stands at the end: "who: where"
    loop: object = None  # where the loop starts in `moves`, if it is one

    @property
    def fragment(self):
        names = ",".join(m.replace(" ", "-") for m in self.moves)
        return f"#customers={self.customers}&chairs={self.chairs}&moves={names}"


@dataclasses.dataclass
class Searched:
    found: object  # a Found, or None
    sizes: list  # (N, S) of every shop searched to its end
    cut: list  # (N, S) of the shops that had more states than MOST_STATES


def shops():
    """(N, S) of the shops searched, the smallest first."""
    sizes = [
        (n, s) for n in range(MOST_CUSTOMERS + 1) for s in range(1, MOST_CHAIRS + 1)
    ]
    return sorted(sizes, key=lambda size: (sum(size), size))


def search(system, depth):
    """The first run to an error, in a Searched."""
    done, cut = [], []
    for n, s in shops():
        states = States(system, n, s)
        found, complete = shop(states, depth)
        if found is not None:
            return Searched(told(system, n, s, found), done, cut)
        (done if complete else cut).append((n, s))
    return Searched(None, done, cut)


def shop(states, depth):
    """(the moves of a run to a broken state, or None; whether every state
    was reached)."""
    parent = {states.start: None}
    if states.broken(states.start):
        return ([], None), True
    frontier, complete = [states.start], True
    for _ in range(depth):
        following = []
        for state in frontier:
            for move, after in states.successors(state):
                if after in parent:
                    continue
                parent[after] = (state, move)
                if states.broken(after):
                    return (path(parent, after), None), True
                following.append(after)
        if len(parent) > MOST_STATES:
            return None, False
        frontier = following
        if not frontier:
            break
    else:
        complete = not frontier
    if not complete:
        return None, False
    loop = cycle(states, parent)
    if loop is not None:
        start, moves = loop
        prefix = path(parent, start)
        return (prefix + moves, len(prefix)), True
    return None, True


def path(parent, state):
    moves = []
    while parent[state] is not None:
        state, move = parent[state]
        moves.append(move)
    return moves[::-1]


def cycle(states, reached):
    """(a state on a loop, the moves once round it), or None: a depth-first
    walk of the states reached, looking for one it is still inside of."""
    colour = {}
    for root in reached:
        if root in colour:
            continue
        stack = [(root, iter(states.successors(root)))]
        colour[root] = "open"
        trail = []
        while stack:
            state, ahead = stack[-1]
            step = next(ahead, None)
            if step is None:
                colour[state] = "done"
                stack.pop()
                if trail:
                    trail.pop()
                continue
            move, after = step
            if colour.get(after) == "open":
                at = [s for s, _ in stack].index(after)
                return after, trail[at:] + [move]
            if after not in colour:
                colour[after] = "open"
                trail.append(move)
                stack.append((after, iter(states.successors(after))))
    return None


def told(system, customers, chairs, run):
    """The run as a Found: who moved, what was written, where everyone stands."""
    moves, loop = run
    day = Day(system, customers, chairs)
    names = []
    for index in moves:
        move = system.moves[index]
        name = day.who_takes(move)
        names.append(name)
        day.take(name)
    broken = [p.name for p in day.states.broken(day.state)] or [EVERY_RUN_ENDS]
    standing = []
    for name, place in sorted(day.at.items(), key=lambda item: order_key(item[0])):
        where = place.where()
        about = day.printed(name, place)
        if about:
            where += f', about to write "{about[0]}"'
        standing.append(f"{name}: {where}")
    return Found(customers, chairs, names, day.lines, broken, standing, loop)


def order_key(name):
    from .day import order

    return order(name)
