# SPDX-License-Identifier: MIT
"""The invariant of a shop's System, generated from its routines.

Its base holds by construction: the counts are never below 0; at most N
customers arrive; how often each move was taken (n) agrees with how many
stand at each place (the flow of every place); and each quantity is its
start plus what every move taken did to it (its equation).

On the base stand lemmas, found: candidates are written from the routines
(nobody stands at a place; a thread that holds mutex still sees what a test
showed it, less its own changes since; a quantity stays within its start,
0 or S; at most one thread holds mutex), every one false in a state that a
search of small shops reaches is dropped, and of the rest the largest set
that every move keeps is kept (each move asked of z3 in turn, and every
candidate its answer breaks dropped, until none is)."""

import dataclasses

from . import logic as L
from .smt import Solver, declarations
from .states import States, explore

# The small shops whose states sift the candidates: (N, S).
SIFTED = [(3, 1), (3, 2), (2, 3)]


@dataclasses.dataclass
class Lemma:
    sentence: str
    term: tuple
    rank: int = 0  # the lower, the sooner it is dropped when the rest imply it


def variables(system):
    """Every state variable: places, quantities, arrivals, moves taken."""
    return (
        [p.var for p in system.places()]
        + [f"q:{q}" for q in system.quantities]
        + ["arrived"]
        + [m.var for m in system.moves]
    )


def count(p):
    return L.var(p.var)


def base(system):
    """[(name, term)] of the parts that hold by construction."""
    s = system
    ge0 = lambda v: L.compare(">=", L.var(v), L.num(0))  # noqa: E731
    arrivals = next(m for m in s.moves if m.who == "arrival")
    parts = [
        (
            "N and S",
            L.all_of(
                L.compare(">=", L.var("N"), L.num(0)),
                L.compare(">=", L.var("S"), L.num(1)),
            ),
        ),
        (
            "no count below 0",
            L.all_of(
                *[ge0(p.var) for p in s.places()],
                *[ge0(m.var) for m in s.moves],
                *[ge0(f"q:{q}") for q in s.semaphores],
            ),
        ),
        (
            "at most N arrive",
            L.all_of(
                L.compare("=", L.var("arrived"), L.var(arrivals.var)),
                L.compare("<=", L.var("arrived"), L.var("N")),
            ),
        ),
    ]
    parts += [flow(s, p) for p in s.places()]
    parts += [equation(s, q) for q in s.quantities]
    return parts


def flow(system, place):
    into = [L.var(m.var) for m in system.moves if m.target is place]
    out = [L.var(m.var) for m in system.moves if m.source is place]
    start = system.barber_count if place is system.barbers[0] else 0
    return (
        f"the flow through line {place.step.line}",
        L.compare(
            "=",
            count(place),
            L.minus(L.plus(L.num(start), *into), L.plus(*out)),
        ),
    )


def equation(system, q):
    changes = [L.times(m.delta.get(q, 0), L.var(m.var)) for m in system.moves]
    return (
        f"the equation of {q}",
        L.compare("=", L.var(f"q:{q}"), L.plus(system.start[q], *changes)),
    )


def start(system):
    """The term of the state at the start of a day."""
    s = system
    parts = [
        L.compare(">=", L.var("N"), L.num(0)),
        L.compare(">=", L.var("S"), L.num(1)),
    ]
    for p in s.places():
        at_start = s.barber_count if p is s.barbers[0] else 0
        parts.append(L.compare("=", count(p), L.num(at_start)))
    parts += [L.compare("=", L.var(f"q:{q}"), s.start[q]) for q in s.quantities]
    parts += [L.compare("=", L.var(m.var), L.num(0)) for m in s.moves]
    parts.append(L.compare("=", L.var("arrived"), L.num(0)))
    return L.all_of(*parts)


def step(system, move):
    """The term of the move taken from now to the state after it (primed)."""
    s = system
    parts = [move.enabled()]
    for p in s.places():
        change = (p is move.target) - (p is move.source)
        parts.append(
            L.compare("=", L.primed(count(p)), L.plus(count(p), L.num(change)))
        )
    for q in s.quantities:
        d = move.delta.get(q, 0)
        v = L.var(f"q:{q}")
        parts.append(L.compare("=", L.primed(v), L.plus(v, L.num(d))))
    arrived = L.var("arrived")
    parts.append(
        L.compare(
            "=", L.primed(arrived), L.plus(arrived, L.num(int(move.who == "arrival")))
        )
    )
    for m in s.moves:
        v = L.var(m.var)
        parts.append(L.compare("=", L.primed(v), L.plus(v, L.num(int(m is move)))))
    return L.all_of(*parts)


# The candidates.


def candidates(system):
    s = system
    found = []
    for p in s.places():
        found.append(
            Lemma(f"nobody stands at {where(p)}", L.compare("=", count(p), L.num(0)))
        )
    for p in s.places():
        here = L.compare(">=", count(p), L.num(1))
        for sentence, fact in still_sees(s, p):
            found.append(Lemma(sentence, L.implies(here, fact), 1))
        for fact in bounds_while_holding(s, p):
            sentence = f"a {p.who} at {where(p)}, finds {L.show(fact)}"
            found.append(Lemma(sentence, L.implies(here, fact), 0))
    for q in s.semaphores + s.counters:
        v = L.var(f"q:{q}")
        bounds = [L.num(0), s.start[q]] + ([L.var("S")] if q == s.chairs else [])
        for b in bounds:
            for op in (">=", "<="):
                term = L.compare(op, v, b)
                found.append(Lemma(L.show(term), term, 3))
    holders = [count(p) for p in s.places() if p.holding]
    term = L.compare("<=", L.plus(*holders), L.num(1))
    found.append(Lemma("at most one thread holds mutex", term, 4))
    unique = {}
    for lemma in found:
        unique.setdefault(lemma.term, lemma)
    return list(unique.values())


def where(p):
    holding = ", holding mutex" if p.holding else ""
    lines = f", {p.lines} line{'s' if p.lines != 1 else ''} written" if p.lines else ""
    return f"line {p.step.line} ({p.where().split(', ', 1)[1]}){holding}{lines}"


def still_sees(system, place):
    """[(sentence, term)]: what each test the thread passed since it took
    mutex showed it, as it stands now after its own changes since."""
    if not place.holding:
        return []
    found, gained = [], {}
    tests = []
    for step_id, way in reversed(place.since):
        move = next(
            m
            for m in system.moves
            if m.source is not None
            and m.source.step.id == step_id
            and m.way == way
            and m.who == place.who
        )
        if move.source.step.kind == "test":
            cond = move.guard
            mapping = {
                f"q:{q}": L.minus(L.var(f"q:{q}"), L.num(d)) for q, d in gained.items()
            }
            tests.append(L.substitute(cond, mapping))
        for q, d in move.delta.items():
            gained[q] = gained.get(q, 0) + d
    for fact in tests:
        who = "a customer" if place.who == "customer" else "a barber"
        found.append((f"{who} at {where(place)}, still finds {L.show(fact)}", fact))
    return found


def bounds_while_holding(system, place):
    """What a thread that holds mutex may find of a shared integer: at
    least or at most 0, 1, S - 1 or S."""
    if not place.holding:
        return []
    S = L.var("S")
    bounds = [L.num(0), L.num(1), L.minus(S, L.num(1)), S]
    return [
        L.compare(op, L.var(f"q:{q}"), b)
        for q in system.counters
        for b in bounds
        for op in (">=", "<=")
    ]


# Finding the invariant.


def sifted(system, lemmas):
    """The lemmas true in every state a search of the SIFTED shops reaches."""
    for n, s in SIFTED:
        states = States(system, n, s)
        seen = explore(states, most=50000)
        if seen is None:
            continue
        checks = [(lemma, L.compiled(lemma.term, states.slot)) for lemma in lemmas]
        lemmas = [lemma for lemma, holds in checks if all(holds(x) for x in seen)]
    return lemmas


def kept(system, lemmas):
    """The largest subset of `lemmas` that holds at the start and that every
    move keeps, on the base: asked of z3."""
    solver = Solver("z3")
    try:
        names = variables(system)
        solver.say(
            "(declare-const N Int)",
            "(declare-const S Int)",
            *declarations(L.smt(L.var(v)) for v in names),
            *declarations(L.smt(L.primed(L.var(v))) for v in names),
        )
        for i, lemma in enumerate(lemmas):
            solver.say(
                f"(define-fun k{i} () Bool {L.smt(lemma.term)})",
                f"(define-fun k{i}_p () Bool {L.smt(L.primed(lemma.term))})",
            )
        alive = set(range(len(lemmas)))
        first = L.all_of(start(system), *[b for _, b in base(system)])
        alive = kept_by(solver, alive, L.smt(first), "")
        now = L.all_of(*[b for _, b in base(system)])
        after = L.primed(now)
        changed = True
        while changed:
            changed = False
            for move in system.moves:
                premise = L.smt(L.all_of(now, step(system, move), after))
                before = len(alive)
                alive = kept_by(solver, alive, premise, "_p")
                changed |= len(alive) < before
        return [lemmas[i] for i in sorted(alive)]
    finally:
        solver.close()


def kept_by(solver, alive, premise, suffix):
    """The lemmas of `alive` that hold after `premise` (each lemma assumed
    before it when it speaks of a step), dropping every one a model breaks."""
    while alive:
        solver.say("(push 1)", f"(assert {premise})")
        if suffix:
            solver.say(*[f"(assert k{i})" for i in sorted(alive)])
        solver.say(
            f"(assert (not (and {' '.join(f'k{i}{suffix}' for i in sorted(alive))} true)))"
        )
        answer = solver.check()
        if answer == "unsat":
            solver.say("(pop 1)")
            return alive
        if answer != "sat":
            solver.say("(pop 1)")
            return set()
        values = solver.values([f"k{i}{suffix}" for i in sorted(alive)])
        solver.say("(pop 1)")
        broken = {i for i in alive if values.get(f"k{i}{suffix}") is False}
        if not broken:
            return set()
        alive -= broken
    return alive


def lemmas(system):
    """The lemmas found for the System: those every move keeps, less each
    that the base and the others already imply (which leaves the invariant
    the same, and its print short)."""
    return needed(system, kept(system, sifted(system, candidates(system))))


def needed(system, found):
    """`found` without every lemma the base and the rest imply, the most
    particular dropped first."""
    solver = Solver("z3")
    try:
        names = variables(system)
        solver.say(
            "(declare-const N Int)",
            "(declare-const S Int)",
            *declarations(L.smt(L.var(v)) for v in names),
            f"(assert {L.smt(L.all_of(*[b for _, b in base(system)]))})",
        )
        keep = list(found)
        for lemma in sorted(found, key=lambda k: k.rank):
            others = [k.term for k in keep if k is not lemma]
            solver.say("(push 1)", f"(assert {L.smt(L.all_of(*others))})")
            solver.say(f"(assert (not {L.smt(lemma.term)}))")
            if solver.check() == "unsat":
                keep.remove(lemma)
            solver.say("(pop 1)")
        return [k for k in found if k in keep]
    finally:
        solver.close()


def invariant(system, found):
    """[(name, term)] of the whole invariant: the base and the lemmas."""
    return base(system) + [(f"lemma: {k.sentence}", k.term) for k in found]
