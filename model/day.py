# SPDX-License-Identifier: MIT
"""One day of the shop at N customers and S chairs, its threads by name:
the barber (or barbers 1, 2, ...) and the customers, numbered in the order
they arrive. A move is the name of the thread that takes its next step, or
"arrival" for the next customer coming in; each thread's step from where
it stands is the System's move whose guard holds there. This is the
transition system the play page runs (play.js runs the same moves, guards
and sentences from the data model/play.py writes), and the one a run of
the search is told in.

After every move the day is judged: a property broken; the day back at a
position it was in before (so that it can go round for ever, and "every
run ends" is broken); nobody able to move before the end of the day
(stuck); the day over; or going on."""

import re

from . import logic as L
from .properties import end_of_day
from .states import States
from .start import LOCK

ARRIVAL = "arrival"
EVERY_RUN_ENDS = "every run ends"


def barber_names(count):
    return ["barber"] if count == 1 else [f"barber {k}" for k in range(1, count + 1)]


def who(name):
    return "the barber" if name == "barber" else name


class Day:
    def __init__(self, system, customers, chairs):
        self.system = system
        self.states = States(system, customers, chairs)
        self.state = self.states.start
        self.at = {
            name: system.barbers[0] for name in barber_names(system.barber_count)
        }
        self.lines = []  # what the threads printed, in order
        self.said = "Nobody has moved yet."
        self.seen = {self.state}
        self.again = False  # back at a position it was in before
        self.over = L.compiled(end_of_day(system), self.states.slot)

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
        names = sorted(self.at, key=order) + [ARRIVAL]
        return [n for n in names if self.move_of(n) is not None]

    def take(self, name):
        """`name` takes one step: the Move it took, or None if it cannot."""
        move = self.move_of(name)
        if move is None:
            return None
        before = self.state
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
        self.said = sentence(
            self.system, move, name, self.states, before, self.state, self.lines
        )
        self.again = self.state in self.seen
        self.seen.add(self.state)
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
        """("broken", the first property broken), ("stuck", why), ("done",
        why) or ("going", "")."""
        broken = [p for p in self.states.broken(self.state) if p.key != "stops"]
        if broken:
            return "broken", f"broken: {broken[0].name}"
        if self.again:
            return (
                "broken",
                f"broken: {EVERY_RUN_ENDS}: the shop is back where it was {BACK}",
            )
        if not self.movers():
            if self.over(self.state):
                return (
                    "done",
                    "the day is over: every customer has come and gone, and the barber sleeps",
                )
            return "stuck", "nobody can move, and the day is not over: " + "; ".join(
                self.standing()
            )
        return "going", ""

    def standing(self):
        """Where those stand who are not done: "customer 2 at line 80"."""
        return [
            f"{who(n)} at line {p.step.line}"
            for n, p in sorted(self.at.items(), key=lambda i: order(i[0]))
            if not p.ended
        ]

    def shown(self):
        """What the play page must show of the day, to compare with it."""
        return {
            "at": {n: [p.who, p.index] for n, p in self.at.items()},
            "q": {
                q: self.states.of(self.state, f"q:{q}") for q in self.system.quantities
            },
            "arrived": self.arrived(),
            "lines": list(self.lines),
            "verdict": self.verdict()[0],
            "says": self.said,
        }


BACK = "before: it can go round this way for ever"


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


def template(system, move):
    """A move's sentence, with {who}, {text}, {before} and {after} (its
    quantity's value before and after) to fill in: the same words the play
    page's script fills in."""
    if move.who == "arrival":
        return "{who} arrives"
    step, line = move.source.step, f" at line {move.source.step.line}"
    if step.kind == "call" and step.function == "sem_wait":
        if step.sem == LOCK:
            return "{who} takes mutex" + line + ": it was free"
        return "{who} passes down(" + step.sem + ")" + line + ": it counted {before}"
    if step.kind == "call" and step.function == "sem_post":
        if step.sem == LOCK:
            return "{who} lets go of mutex" + line
        return "{who} posts " + step.sem + line + ": it counts {after} now"
    if step.kind == "call" and step.prints is not None:
        return "{who} writes \u201c{text}\u201d" + line
    if step.kind == "call":
        if step.function == "sleep" and move.who == "barber":
            return (
                "{who} cuts a customer's hair"
                + line
                + " (the pause goes by in one step)"
            )
        return "{who} calls " + step.function + line
    if step.kind == "test":
        reads = [n for n in L.names(move.guard) if n.startswith("q:")]
        if reads == [f"q:{system.chairs}"]:
            holds_with_none = L.compiled(move.guard, {f"q:{system.chairs}": 0, "S": 1})(
                (0, 1)
            )
            found = "no free chair" if holds_with_none else "a free chair"
            return "{who} finds " + found + line + ": " + system.chairs + " is {before}"
        return "{who} tests " + step.cond.c + line + (": yes" if move.way else ": no")
    if step.kind == "change":
        if step.var == system.chairs:
            did = (
                "takes a chair" if move.delta.get(step.var, 0) < 0 else "frees a chair"
            )
            return "{who} " + did + line + ": " + step.var + " {before} \u2192 {after}"
        return "{who} changes " + step.var + line + ": {before} \u2192 {after}"
    return "{who} moves" + line


def quantity_of(move):
    """The quantity a move's sentence speaks of."""
    if move.who == "arrival":
        return None
    step = move.source.step
    if step.kind == "call" and step.sem:
        return step.sem
    if step.kind == "change":
        return step.var
    if step.kind == "test":
        reads = [n[2:] for n in L.names(move.guard) if n.startswith("q:")]
        return reads[0] if reads else None
    return None


def sentence(system, move, name, states, before, after, lines):
    q = quantity_of(move)
    value = (lambda s: states.of(s, f"q:{q}")) if q else (lambda s: "")
    return template(system, move).format(
        who=who(name),
        text=lines[-1]
        if lines and move.source is not None and move.source.step.prints
        else "",
        before=value(before),
        after=value(after),
    )
