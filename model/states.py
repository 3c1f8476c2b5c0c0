# SPDX-License-Identifier: MIT
"""The states of the shop at one size, N customers, S chairs and the
source's B barbers, explored one by one in Python: a state is a vector of
the counts at every place, the quantities and the arrivals, and its moves
are the System's, their guards and the properties compiled from the same
terms the solvers read (logic.py)."""

from . import logic as L
from .properties import properties


class States:
    def __init__(self, system, customers, chairs):
        self.system = system
        names = ["N", "S", "B", "arrived"]
        names += [p.var for p in system.places()]
        names += [f"q:{q}" for q in system.quantities]
        self.slot = {name: i for i, name in enumerate(names)}
        self.names = names
        values = {"N": customers, "S": chairs, "B": system.barber_count}
        start = [0] * len(names)
        for name, v in values.items():
            start[self.slot[name]] = v
        start[self.slot[system.barbers[0].var]] = system.barber_count
        for q, term in system.start.items():
            start[self.slot[f"q:{q}"]] = self.value(term, start)
        self.start = tuple(start)
        self.moves = [
            (L.compiled(m.enabled(), self.slot), self.changes(m)) for m in system.moves
        ]
        self.properties = [
            (p, L.compiled(p.bad, self.slot)) for p in properties(system)
        ]

    def value(self, term, state):
        return L.compiled(term, self.slot)(state)

    def changes(self, move):
        """(slot, change) of every count a move changes."""
        found = {}
        if move.source is not None:
            found[self.slot[move.source.var]] = -1
        else:
            found[self.slot["arrived"]] = 1
        target = self.slot[move.target.var]
        found[target] = found.get(target, 0) + 1
        for q, d in move.delta.items():
            found[self.slot[f"q:{q}"]] = found.get(self.slot[f"q:{q}"], 0) + d
        return [(k, v) for k, v in found.items() if v]

    def successors(self, state):
        """[(move index, the state after it)] of every move someone can take."""
        found = []
        for i, (enabled, changes) in enumerate(self.moves):
            if enabled(state):
                after = list(state)
                for k, d in changes:
                    after[k] += d
                found.append((i, tuple(after)))
        return found

    def broken(self, state):
        """The Properties a state breaks."""
        return [p for p, bad in self.properties if bad(state)]

    def of(self, state, name):
        return state[self.slot[name]]


def explore(states, most=200000):
    """Every state reachable at one size, breadth first: {state: (parent,
    move)}; None when there are more than `most`."""
    seen = {states.start: None}
    frontier = [states.start]
    while frontier:
        following = []
        for state in frontier:
            for move, after in states.successors(state):
                if after not in seen:
                    seen[after] = (state, move)
                    following.append(after)
                    if len(seen) > most:
                        return None
        frontier = following
    return seen
