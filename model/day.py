# SPDX-License-Identifier: MIT
"""One day of the shop at N customers and S chairs, its threads by name:
the barber (or barbers 1, 2, ...) and the customers, numbered in the order
they arrive. A move is the name of the thread that takes its next step, or
"arrival" for the next customer coming in; each thread's step from where
it stands is the System's move whose guard holds there. This is the
transition system the play page runs, and the one a run of the search is
told in."""

import re

from . import logic as L
from .properties import end_of_day
from .states import States

ARRIVAL = "arrival"


def barber_names(count):
    return ["barber"] if count == 1 else [f"barber {k}" for k in range(1, count + 1)]


class Day:
    def __init__(self, system, customers, chairs):
        self.system = system
        self.states = States(system, customers, chairs)
        self.state = self.states.start
        self.at = {
            name: system.barbers[0] for name in barber_names(system.barber_count)
        }
        self.lines = []  # what the threads printed, in order
        self.over = L.compiled(end_of_day(system), self.states.slot)

    @property
    def customers(self):
        return self.states.of(self.state, "N")

    def arrived(self):
        return self.states.of(self.state, "arrived")

    def move_of(self, name):
        """The System's move the thread `name` would take now, or None."""
        if name == ARRIVAL:
            candidates = [m for m in self.system.moves if m.who == "arrival"]
        elif name in self.at:
            here = self.at[name]
            candidates = [m for m in self.system.moves if m.source is here]
        else:
            return None
        for m in candidates:
            enabled, _ = self.states.moves[m.index]
            if enabled(self.state):
                return m
        return None

    def movers(self):
        """The names of everyone who can take a step now."""
        names = list(self.at) + [ARRIVAL]
        return [n for n in names if self.move_of(n) is not None]

    def take(self, name):
        """`name` takes one step: the Move it took, or None if it cannot."""
        move = self.move_of(name)
        if move is None:
            return None
        if move.source is not None:
            self.lines += self.printed(name, move.source)
        _, changes = self.states.moves[move.index]
        after = list(self.state)
        for k, d in changes:
            after[k] += d
        self.state = tuple(after)
        if move.who == "arrival":
            name = f"customer {self.arrived() - 1}"
        self.at[name] = move.target
        return move

    def who_takes(self, move):
        """The name that takes a move of the counted System: the first to
        have come of those who stand where it starts."""
        if move.who == "arrival":
            return ARRIVAL
        here = [n for n, p in self.at.items() if p is move.source]
        return min(here, key=order)

    def printed(self, name, place):
        """The line a thread writes taking the step at `place`, if any."""
        step = place.step
        if step.kind != "call" or step.prints is None:
            return []
        shown = values_of(self, name, place)
        return [format_line(step.prints, shown).rstrip("\n")]

    def verdict(self):
        """("broken", the first property broken), ("stuck", ""), ("done", "")
        or ("going", "")."""
        broken = self.states.broken(self.state)
        if broken:
            return "broken", broken[0].name
        if not self.movers():
            return ("done", "") if self.over(self.state) else ("stuck", "")
        return "going", ""


def order(name):
    """Barbers first, then customers in the order they came."""
    number = re.search(r"(\d+)$", name)
    return (name.startswith("customer"), int(number.group(1)) if number else 0)


def values_of(day, name, place):
    """The numbers a thread's line shows: its id, or what a term is now."""
    return [
        int(name.split()[-1]) if v == "id" else day.states.value(v, day.state)
        for v in place.values or []
    ]


def format_line(text, values):
    """A printf format's %d (and %i) filled in, %% as %."""
    values = list(values)

    def fill(m):
        return "%" if m.group(1) == "%" else str(values.pop(0))

    return re.sub(r"%(%|d|i)", fill, text)
