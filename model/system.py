# SPDX-License-Identifier: MIT
"""The shop as a counted transition system, built from the routines read
from the source (_customer, _barber, init and main) at the grain of the C
code: every down, up, line, test and change of a shared integer is a step
of its own.

Customers differ only in their id, which no step reads, so a state says
how many customers stand at each place of _customer, not which; so with
barbers and _barber. A place is a step of the routine, with what the
thread did since it took mutex (None while it does not hold it), and, for a
customer, how many lines he has written (2: two or more). N customers in
all (N >= 0) and S chairs (S >= 1, SEAT_MAX) stay symbolic; B barbers are
as many as main starts."""

import dataclasses
import re

from reader import SourceError
from tracer.programs.barber import BARBER_LINE, GONE_AWAY, SIT_DOWN

from . import logic as L
from .linear import Terms
from .start import BARBER, CUSTOMER, LOCK, is_id, points_to_argument
from .start import read as read_start

# The lines the design gives the shop, and the quantity each is counted in.
LINES = {
    SIT_DOWN: "lines:sit-down",
    GONE_AWAY: "lines:gone-away",
    BARBER_LINE + "\n": "lines:barber",
}
SAID = {
    "lines:sit-down": "has sit down!",
    "lines:gone-away": "has gone away!",
    "lines:barber": "Barber has finished",
}
CONVERSION = re.compile(r"%(%|d|i|[^%]*?[a-zA-Z])")


@dataclasses.dataclass(eq=False)
class Place:
    index: int
    who: str  # "customer" or "barber"
    step: object  # the reader's Step he takes next from here
    since: object  # ((step id, way), ...) since he took mutex; None: not holding
    lines: object  # a customer's lines written so far (2: two or more)
    values: object = None  # the numbers the line he writes here shows: terms, "id"

    @property
    def shows(self):
        """The free-seat number of the sit-down line he writes here, a term."""
        if self.values and LINES.get(self.step.prints) == "lines:sit-down":
            return self.values[1]
        return None

    @property
    def holding(self):
        return self.since is not None

    @property
    def ended(self):
        return self.step.kind == "end"

    @property
    def var(self):
        return f"{'c' if self.who == 'customer' else 'd'}:{self.index}"

    def where(self):
        return f"line {self.step.line}, " + (
            "the end" if self.ended else describe(self.step)
        )


@dataclasses.dataclass(eq=False)
class Move:
    """One step someone can take: from a place to the next, when `guard`
    holds, changing quantities by `delta`."""

    index: int
    who: str  # "customer", "barber" or "arrival"
    source: object  # the Place (None for an arrival)
    target: object
    guard: tuple  # a term, without "someone stands at the source"
    delta: dict  # quantity -> change
    label: str
    way: object = None  # a test's: True or False

    @property
    def var(self):
        return f"n:{self.index}"

    def enabled(self):
        """The term for: someone can take it."""
        if self.who == "arrival":
            here = L.compare("<", L.var("arrived"), L.var("N"))
        else:
            here = L.compare(">=", L.var(self.source.var), L.num(1))
        return L.all_of(here, self.guard)


@dataclasses.dataclass
class System:
    path: str
    quantities: list  # semaphores, shared integers, then the lines
    semaphores: list
    counters: list  # the shared integers, the chair counter first
    chairs: str
    start: dict  # quantity -> its term at the start
    customers: list  # customer Places; customers[0] is at the door
    barbers: list  # barber Places; barbers[0] is where each starts
    moves: list
    barber_count: int
    lines: list  # the source's lines, for the pages

    def places(self):
        return self.customers + self.barbers


def describe(step):
    if step.kind == "call" and step.function == "sem_wait":
        return f"down({step.sem})"
    if step.kind == "call" and step.function == "sem_post":
        return f"up({step.sem})"
    if step.kind == "call" and step.prints is not None:
        kind = LINES.get(step.prints)
        return f'writes "{SAID[kind]}"' if kind else f"writes {step.prints!r}"
    if step.kind == "call":
        return f"{step.function}()"
    if step.kind == "test":
        return f"test {step.cond.c}"
    if step.kind == "change":
        return change_text(step)
    return step.kind


def change_text(step):
    amount = step.value.c
    if step.form in ("x++", "++x", "x--", "--x"):
        return step.form.replace("x", step.var)
    if step.op == "=":
        return f"{step.var} = {amount}"
    return f"{step.var} {step.op}= {amount}"


class Builder:
    def __init__(self, source):
        self.source, self.path = source, source.path
        for name in (CUSTOMER, BARBER):
            if name not in source.routines:
                raise SourceError(
                    f"{self.path}: no routine {name}, or main starts no thread in it"
                )
        self.start = read_start(source)
        self.terms = Terms(self.path, self.start.counters)
        self.quantities = (
            self.start.semaphores + self.start.counters + list(LINES.values())
        )
        self.moves = []

    def refuse(self, step, what):
        raise SourceError(f"{self.path}:{step.line}: {what}")

    def ways(self, step, who):
        """[(way, guard, delta)] of a step: a test has two ways on."""
        if step.kind == "test":
            cond = self.terms.condition(step.cond, step.line)
            return [(True, cond, {}), (False, L.negate(cond), {})]
        if step.kind == "change":
            if step.op == "=":
                self.refuse(
                    step,
                    f"only init() may set {step.var}: elsewhere the prover follows changes by a number",
                )
            k = self.terms.amount(step.value, step.line, f"{step.var} changed by")
            return [(None, L.TRUE, {step.var: k if step.op == "+" else -k})]
        if step.kind != "call":
            self.refuse(step, f"a step the prover does not follow ({step.kind})")
        if not step.library:
            self.refuse(
                step,
                f"{step.function} is not the C library's: the prover follows only its calls",
            )
        if step.function == "sem_wait":
            return [
                (None, L.compare(">", L.var(f"q:{step.sem}"), L.num(0)), {step.sem: -1})
            ]
        if step.function == "sem_post":
            return [(None, L.TRUE, {step.sem: 1})]
        if step.function in ("printf", "puts"):
            kind = LINES.get(step.prints)
            return [(None, L.TRUE, {kind: 1} if kind else {})]
        if step.function in ("sleep", "usleep"):
            return [(None, L.TRUE, {})]
        self.refuse(step, f"a call the prover does not know ({step.function})")

    def shown(self, step, who, routine):
        """The terms of a line's numbers (the customer's id as "id"), read
        from the source; None for a step that writes none."""
        if step.kind != "call" or step.prints is None:
            return None
        wanted = [m for m in CONVERSION.findall(step.prints) if m != "%"]
        if any(m not in ("d", "i") for m in wanted):
            self.refuse(
                step,
                "a line with a value other than %d, which the prover does not compute",
            )
        if len(wanted) != len(step.values):
            self.refuse(
                step, f"a format for {len(wanted)} values given {len(step.values)}"
            )
        found = []
        counted = LINES.get(step.prints) == "lines:sit-down"
        for k, v in enumerate(step.values):
            if who == "customer" and is_id(v, routine) and not (counted and k == 1):
                found.append("id")
            else:
                found.append(self.terms.number(v, step.line, "a line showing"))
        return found

    def passed(self, routine, i):
        """The step a thread takes next from step i: its own variables are
        no step of the shop's, and only the customer's id is one the prover
        follows."""
        step = routine.steps[i]
        while step.kind == "local":
            if not (routine.name == CUSTOMER and points_to_argument(step.var, routine)):
                self.refuse(
                    step,
                    f"a variable of the thread's own ({step.var}), which the prover does not model: it follows the shop's shared state",
                )
            step = routine.steps[step.next[0]]
        return step

    def places(self, who, routine):
        """The places of a routine, and their moves, from its entry."""
        index, places, todo = {}, [], []

        def place(step, since, lines):
            key = (step.id, since, lines)
            if key not in index:
                if since is not None and len(since) > len(routine.steps):
                    self.refuse(step, f"the {who} goes round a loop holding mutex")
                index[key] = len(places)
                places.append(Place(len(places), who, step, since, lines))
                todo.append(places[-1])
            return places[index[key]]

        place(
            self.passed(routine, routine.entry), None, 0 if who == "customer" else None
        )
        while todo:
            here = todo.pop(0)
            step = here.step
            if step.kind == "end":
                continue
            here.values = self.shown(step, who, routine)
            for (way, guard, delta), nxt in zip(self.ways(step, who), step.next):
                target = place(
                    self.passed(routine, nxt),
                    self.since_after(here, way),
                    self.lines_after(here),
                )
                label = describe(step) + (
                    "" if way is None else (": yes" if way else ": no")
                )
                self.moves.append(Move(0, who, here, target, guard, delta, label, way))
        return places

    def since_after(self, here, way):
        s = here.step
        if (
            s.kind == "call"
            and s.sem == LOCK
            and s.function == "sem_wait"
            and not here.holding
        ):
            return ()
        if s.kind == "call" and s.sem == LOCK and s.function == "sem_post":
            return None
        return None if here.since is None else here.since + ((s.id, way),)

    def lines_after(self, here):
        if here.lines is None:
            return None
        return min(
            2, here.lines + (here.step.kind == "call" and here.step.prints is not None)
        )

    def build(self):
        customers = self.places("customer", self.source.routines[CUSTOMER])
        barbers = self.places("barber", self.source.routines[BARBER])
        for m in self.moves:
            for q in m.delta:
                if q not in self.quantities:
                    self.refuse(
                        m.source.step,
                        f"{q} is not one of the shop's shared integers or semaphores",
                    )
        self.moves.append(
            Move(0, "arrival", None, customers[0], L.TRUE, {}, "a customer arrives")
        )
        rank = {"customer": 0, "barber": 1, "arrival": 2}
        self.moves.sort(
            key=lambda m: (
                rank[m.who],
                m.source.index if m.source else 0,
                m.target.index,
            )
        )
        for i, m in enumerate(self.moves):
            m.index = i
        start = dict(self.start.values)
        start.update({q: L.num(0) for q in LINES.values()})
        return System(
            self.path,
            self.quantities,
            self.start.semaphores,
            self.start.counters,
            self.start.chairs,
            start,
            customers,
            barbers,
            self.moves,
            self.start.barbers,
            self.source.lines,
        )


def build(source):
    """The System of the shop whose routines `source` holds."""
    return Builder(source).build()
