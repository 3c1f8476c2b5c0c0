# SPDX-License-Identifier: MIT
"""What the shop starts with, read from its source: what init gives each
semaphore (its sem_init) and shared integer, which integer is the chair
counter (the one init sets to SEAT_MAX), and how many barbers main starts
(its threads on _barber). main is read for that alone; it must call init()
before it starts a thread and touch the shop's state only through it."""

import dataclasses

from reader import SourceError
from reader import expr as E

from tracer.programs import barber

from . import logic as L
from .linear import CHAIRS, Terms

LOCK = "mutex"
BARBER, CUSTOMER, INIT = "_barber", "_customer", "init"


@dataclasses.dataclass
class Start:
    semaphores: list  # in the order init gives them their counts
    counters: list  # the shared integers the shop counts, the chairs first
    chairs: str  # the chair counter
    values: dict  # quantity -> its term at the start (in S)
    barbers: int


def read(source):
    """The Start of a shop read from `source` (with init among its
    routines)."""
    path = source.path
    integers = [n for n, k in source.shared.items() if k in ("integer", "atomic")]
    terms = Terms(path, integers)
    values, semaphores = (
        dict(
            (n, L.num(source.initial[n]))
            for n in integers
            if source.initial[n] is not None
        ),
        [],
    )
    for step in straight(source.routines[INIT], path):
        if step.kind == "call" and step.library and step.function == "sem_init":
            if step.sem in semaphores:
                raise SourceError(
                    f"{path}:{step.line}: {step.sem} is given a count twice"
                )
            semaphores.append(step.sem)
            values[step.sem] = terms.number(step.count, step.line, "a starting count")
        elif step.kind == "change" and step.op == "=":
            values[step.var] = terms.number(step.value, step.line, f"{step.var} set to")
        else:
            raise SourceError(
                f"{path}:{step.line}: init() may only call sem_init and set the "
                "shared integers; the prover does not follow this step"
            )
    missing = [
        n for n, k in source.shared.items() if k == "semaphore" and n not in semaphores
    ]
    if missing:
        raise SourceError(f"{path}: init() gives {missing[0]} no count (sem_init)")
    if LOCK not in semaphores:
        raise SourceError(
            f"{path}: no semaphore mutex: the prover takes mutex as the lock"
        )
    unknown = [n for n in integers if n not in values]
    if unknown:
        raise SourceError(f"{path}: the prover cannot tell what {unknown[0]} starts at")
    chairs = chair_counter(source)
    counters = [chairs] + [n for n in integers if n != chairs]
    return Start(semaphores, counters, chairs, values, barbers(source))


def straight(routine, path):
    """The steps of a routine that runs straight through, in order."""
    found, step = [], routine.steps[routine.entry]
    while step.kind != "end":
        if len(step.next) != 1:
            raise SourceError(
                f"{path}:{step.line}: {routine.name}() must run straight through"
            )
        found.append(step)
        step = routine.steps[step.next[0]]
    return found


def chair_counter(source):
    """The shared integer init sets to SEAT_MAX: the count of free chairs."""
    found = barber.chair_counter(source)
    if found is None:
        raise SourceError(
            f"{source.path}: init() sets no one shared integer to {CHAIRS}: the "
            "prover takes the one it sets as the count of free chairs"
        )
    return found


def barbers(source):
    """How many barbers main starts: its pthread_create calls on _barber,
    each on every way from main's start to its customers, none in a loop.
    main must call init() before its first thread, and touch the shop's
    state only through init()."""
    main, path = source.routines["main"], source.path
    steps = main.steps
    for s in steps.values():
        touches = s.sem is not None or s.kind == "change"
        if touches and s.routine != INIT:
            raise SourceError(
                f"{path}:{s.line}: main changes the shop's state outside init(): the "
                "prover reads main only for the barbers it starts"
            )
    starts = [s for s in steps.values() if s.starts is not None]
    inits = {s.id for s in steps.values() if s.routine == INIT}
    if not inits or any(reachable(main, main.entry, s.id, avoid=inits) for s in starts):
        raise SourceError(f"{path}: main must call init() before it starts any thread")
    customers = [s.id for s in starts if s.starts == CUSTOMER]
    count = 0
    for s in starts:
        if s.starts != BARBER:
            continue
        if reachable(main, s.next[0], s.id):
            raise SourceError(
                f"{path}:{s.line}: main starts barbers in a loop: the prover cannot "
                "tell how many"
            )
        if any(reachable(main, main.entry, c, avoid={s.id}) for c in customers):
            raise SourceError(
                f"{path}:{s.line}: main may start its customers without this barber: "
                "the prover cannot tell how many barbers there are"
            )
        count += 1
    return count


def reachable(routine, start, goal, avoid=()):
    """Whether `goal` can be reached from `start` without passing `avoid`."""
    todo, seen = [start], set()
    while todo:
        i = todo.pop()
        if i in seen or i in avoid:
            continue
        if i == goal:
            return True
        seen.add(i)
        todo += routine.steps[i].next
    return False


def is_id(e, routine):
    """Whether `e` is the customer's id: what his argument points to, read
    directly or through a variable set from it once."""
    e = E.uncast(e)
    if not (isinstance(e, E.Unary) and e.op == "*"):
        return False
    inner = E.uncast(e.operand)
    if isinstance(inner, E.Argument):
        return True
    return isinstance(inner, E.Local) and points_to_argument(inner.name, routine)


def points_to_argument(name, routine):
    sets = [s for s in routine.steps.values() if s.kind == "local" and s.var == name]
    return len(sets) == 1 and isinstance(E.uncast(sets[0].value), E.Argument)
