# SPDX-License-Identifier: MIT
"""The shop as a counted transition system, built from the routines read
from the source (_customer, _barber and init) at the grain of the C code:
every down, up, line, test and change of free_seat is a step of its own.

Customers differ only in their id, which no step reads, so the state says
how many customers stand at each place of _customer, not which. A place is
a point of the routine together with the path that led there (the routine
has no loop), and so with what that path did: whether the customer holds
mutex, how many lines he has written, and what he changed. The barber's
place is a point of _barber with whether he holds mutex. N customers in all
(N >= 0) and S chairs (S >= 1, SEAT_MAX) stay symbolic."""

import dataclasses

from trace.programs import BARBER_LINE, GONE_AWAY, SIT_DOWN
from trace.source import SourceError

LOCK = "mutex"
# What the lines written are counted in.
LINES = {SIT_DOWN: "sat", GONE_AWAY: "gone", BARBER_LINE: "barber_lines"}
CHAIRS = "SEAT_MAX"


@dataclasses.dataclass
class Place:
    index: int
    who: str  # "customer" or "barber"
    step: object  # the Step taken next from here; an end step: he is done
    holding: bool  # holds mutex
    lines: int = 0  # lines written on the way here (customers)
    effect: dict = dataclasses.field(default_factory=dict)  # quantity -> change
    window: bool = False  # passed the test of free_seat, not yet free_seat--

    @property
    def ended(self):
        return self.step.kind == "end"

    def where(self):
        s = self.step
        if s.kind == "end":
            return f"line {s.line}, the end"
        return f"line {s.line}, {describe(s)}"


@dataclasses.dataclass
class Move:
    """One step someone can take: from a place to the next, when `guard`
    holds ((quantity, operator, value) each), changing quantities by
    `delta`."""

    who: str  # "customer", "barber" or "arrival"
    source: object  # the Place (None for an arrival)
    target: object  # the Place
    guard: tuple
    delta: dict
    label: str


@dataclasses.dataclass
class System:
    path: str
    quantities: list  # the semaphores, free_seat and the line counts
    start: dict  # quantity -> its value at the start, a Value
    semaphores: list
    customers: list  # customer Places; customers[0] is at the door
    barbers: list  # barber Places; barbers[0] is where he starts
    moves: list
    lemma_window: list  # the customer places the hand-written lemma counts


@dataclasses.dataclass(frozen=True)
class Value:
    """A number, or S plus a number."""

    chairs: int  # how many times S
    number: int


def describe(step):
    if step.kind == "call" and step.name == "sem_wait":
        return f"down({step.arg})"
    if step.kind == "call" and step.name == "sem_post":
        return f"up({step.arg})"
    if step.kind == "call" and step.name in ("printf", "puts"):
        return f'writes "{kind_of_line(step)}"'
    if step.kind == "call":
        return f"{step.name}()"
    if step.kind == "test":
        op, value = step.arg
        return f"test {step.name} {op} {show_value(value)}"
    if step.kind == "change":
        op, amount = step.arg
        if op == "=":
            return f"{step.name} = {show_value(amount)}"
        return f"{step.name}{'++' if amount == 1 else '--' if amount == -1 else f' += {amount}'}"
    return step.kind


def show_value(value):
    name, number = value
    if name is None:
        return str(number)
    return name + (f" {'+' if number > 0 else '-'} {abs(number)}" if number else "")


def kind_of_line(step):
    line = LINES.get(step.arg)
    if line is None:
        raise SourceError(
            f"line {step.line}: writes a line the shop does not write: {step.arg!r}"
        )
    return {
        "sat": "has sit down!",
        "gone": "has gone away!",
        "barber_lines": "Barber has finished",
    }[line]


def value_of(value, constants):
    """A (name, number) of the source as a Value: SEAT_MAX is S."""
    name, number = value
    if name is None:
        return Value(0, number)
    if name == CHAIRS:
        return Value(1, number)
    return Value(0, constants[name] + number)


def start_of(routine, source):
    """What init() sets: semaphore -> count, and free_seat's Value."""
    start, step = {}, routine.steps[routine.entry]
    while step.kind != "end":
        if step.kind == "call" and step.name == "sem_init":
            if step.count is None:
                raise SourceError(
                    f"{source.path}:{step.line}: a starting count the prover does not know"
                )
            start[step.arg] = value_of(step.count, source.constants)
        elif step.kind == "change" and step.arg[0] == "=":
            start[step.name] = value_of(step.arg[1], source.constants)
        else:
            raise SourceError(
                f"{source.path}:{step.line}: init() must only set the semaphores and free_seat"
            )
        if len(step.next) != 1:
            raise SourceError(
                f"{source.path}:{step.line}: init() must run straight through"
            )
        step = routine.steps[step.next[0]]
    return start


def effect_of(step, source):
    """(the guard of each way on, the quantities' changes) of a step: a
    test has two ways on, every other step one."""
    path = source.path
    if step.kind == "test":
        op, value = step.arg
        value = value_of(value, source.constants)
        return [((step.name, op, value),), ((step.name, NEGATION[op], value),)], {}
    if step.kind == "change":
        op, amount = step.arg
        if op != "+":
            raise SourceError(f"{path}:{step.line}: only init() may set free_seat")
        return [()], {step.name: amount}
    if step.kind == "call" and step.name == "sem_wait":
        return [((step.arg, ">", Value(0, 0)),)], {step.arg: -1}
    if step.kind == "call" and step.name == "sem_post":
        return [()], {step.arg: +1}
    if step.kind == "call" and step.name in ("printf", "puts"):
        kind_of_line(step)
        return [()], {LINES[step.arg]: 1}
    if step.kind == "call" and step.name == "sleep":
        return [()], {}
    raise SourceError(
        f"{path}:{step.line}: a step the prover does not know: {describe(step)}"
    )


def way(step, guard):
    """A step as a move: a test, with the way it went."""
    if step.kind != "test":
        return describe(step)
    return describe(step) + (": yes" if guard[0][1] == step.arg[0] else ": no")


NEGATION = {"<": ">=", "<=": ">", ">": "<=", ">=": "<", "==": "!=", "!=": "=="}


def holds_after(step, holding):
    if step.kind == "call" and step.arg == LOCK:
        if step.name == "sem_wait":
            return True
        if step.name == "sem_post":
            return False
    return holding


def decrements(step):
    return step.kind == "change" and step.arg == ("+", -1) and step.name == "free_seat"


def reaches_decrement(routine, start):
    todo, seen = [start], set()
    while todo:
        i = todo.pop()
        if i in seen:
            continue
        seen.add(i)
        if decrements(routine.steps[i]):
            return True
        todo += routine.steps[i].next
    return False


def customer_places(routine, source, moves):
    """Unfolds _customer into its places, and their moves, depth first."""
    places, path = [], source.path

    def visit(step_id, holding, lines, effect, window, on_path):
        if step_id in on_path:
            raise SourceError(
                f"{path}:{routine.steps[step_id].line}: the customer's routine must not loop"
            )
        step = routine.steps[step_id]
        place = Place(
            len(places), "customer", step, holding, lines, dict(effect), window
        )
        places.append(place)
        if step.kind == "end":
            return place
        ways, delta = effect_of(step, source)
        for guard, nxt in zip(ways, step.next):
            after = {
                q: effect.get(q, 0) + delta.get(q, 0) for q in set(effect) | set(delta)
            }
            in_window = (
                window or (step.kind == "test" and reaches_decrement(routine, nxt))
            ) and not decrements(step)
            written = lines + (step.kind == "call" and step.name in ("printf", "puts"))
            target = visit(
                nxt,
                holds_after(step, holding),
                written,
                after,
                in_window,
                on_path | {step_id},
            )
            moves.append(
                Move("customer", place, target, guard, delta, way(step, guard))
            )
        return place

    visit(routine.entry, False, 0, {}, False, frozenset())
    return places


def barber_places(routine, source, moves):
    """The barber's places, a point of _barber and whether he holds mutex,
    and their moves."""
    index, places = {}, []

    def place_of(step_id, holding):
        if (step_id, holding) not in index:
            index[(step_id, holding)] = len(places)
            places.append(Place(len(places), "barber", routine.steps[step_id], holding))
            todo.append((step_id, holding))
        return places[index[(step_id, holding)]]

    todo = []
    place_of(routine.entry, False)
    while todo:
        step_id, holding = todo.pop(0)
        here = places[index[(step_id, holding)]]
        step = here.step
        if step.kind == "end":
            continue
        ways, delta = effect_of(step, source)
        for guard, nxt in zip(ways, step.next):
            target = place_of(nxt, holds_after(step, holding))
            moves.append(Move("barber", here, target, guard, delta, way(step, guard)))
    return places


def build(source):
    """The System of the shop whose routines `source` holds."""
    start = start_of(source.routines["init"], source)
    semaphores = [q for q in start if q != "free_seat"]
    if "free_seat" not in start or LOCK not in semaphores:
        raise SourceError(f"{source.path}: init() must set mutex and free_seat")
    quantities = semaphores + ["free_seat", "sat", "gone", "barber_lines"]
    moves = []
    customers = customer_places(source.routines["_customer"], source, moves)
    barbers = barber_places(source.routines["_barber"], source, moves)
    for m in moves:
        for q in list(m.delta) + [g[0] for g in m.guard]:
            if q not in quantities:
                raise SourceError(
                    f"{source.path}:{(m.source.step.line)}: {q} is not set by init()"
                )
    moves.append(Move("arrival", None, customers[0], (), {}, "a customer arrives"))
    # In the order of the routines: the customer's from the door on, the
    # barber's from his start, then the arrival.
    rank = {"customer": 0, "barber": 1, "arrival": 2}
    moves.sort(
        key=lambda m: (rank[m.who], m.source.index if m.source else 0, m.target.index)
    )
    start.update(sat=Value(0, 0), gone=Value(0, 0), barber_lines=Value(0, 0))
    window = [p for p in customers if p.window]
    return System(
        source.path, quantities, start, semaphores, customers, barbers, moves, window
    )
