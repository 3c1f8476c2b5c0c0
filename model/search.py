# SPDX-License-Identifier: MIT
"""A bounded search for a real run of the shop to an error, in one
incremental z3 session: for each small shop in turn (N customers and S
chairs, the fewest first), from the start state, one step deeper at a time;
each question is pushed and popped, the steps so far stay asserted. A run
found is the shortest for its shop, and is told as the program's own output
lines, customers numbered in the order they arrived.

It searches the runs in which whoever moved last moves again while he can
(the barber, a customer, or the one who just came in): runs a scheduler may
well choose, and few enough to search deep. A fault that shows only when a
thread is stopped where it could go on is not found this way; that is a
"not proved" (exit 3), never a wrong run."""

import dataclasses
import re

from trace.programs import BARBER_LINE, GONE_AWAY, SIT_DOWN

from .obligations import Frame, declarations, errors, guard, start, step
from .smt import Session, all_of, any_of, app
from .system import LINES

# The shops searched, and how deep, unless the ranking function says a run
# of one ends sooner.
MOST_CUSTOMERS = 4
MOST_CHAIRS = 3
DEPTH = 40


@dataclasses.dataclass
class Found:
    customers: int  # N
    chairs: int  # S
    lines: list  # what the program writes on the way
    broken: str  # the property the run breaks
    standing: list  # where everyone stands at the end: "who: where"


def parse(text):
    """The (name value) pairs of a get-value answer."""
    found = {}
    for name, value in re.findall(r"\((\w+) (\(- \d+\)|-?\d+)\)", text):
        found[name] = -int(value[3:-1]) if value.startswith("(") else int(value)
    return found


def shops():
    """(N, S) of the shops searched, the smallest first."""
    sizes = [
        (n, s) for n in range(MOST_CUSTOMERS + 1) for s in range(1, MOST_CHAIRS + 1)
    ]
    return sorted(sizes, key=lambda size: (sum(size), size))


def search(system, depth=DEPTH, longest=None):
    """The first run to an error found, as Found, or None. `longest(n)`, if
    given, bounds how many steps any run of a shop of n customers takes."""
    session = Session("z3")
    try:
        session.say("(declare-const N Int)", "(declare-const S Int)")
        for n, s in shops():
            bound = min(depth, longest(n)) if longest else depth
            session.say("(push 1)", f"(assert (and (= N {n}) (= S {s})))")
            found = deepen(session, system, bound)
            session.say("(pop 1)")
            if found:
                return found
        return None
    finally:
        session.close()


def deepen(session, system, depth):
    session.say(*declarations(system, ["_0"], ghosts=False)[2:])
    session.say(f"(assert {start(system, Frame(system, '_0'), ghosts=False)})")
    for k in range(depth + 1):
        f = Frame(system, f"_{k}")
        named = []
        for i, (name, bad) in enumerate(errors(system, f)):
            session.say(f"(define-fun bad{i}_{k} () Bool {bad})")
            named.append((name, f"bad{i}_{k}"))
        session.say("(push 1)", f"(assert {any_of(*[n for _, n in named])})")
        if session.ask("(check-sat)") == "sat":
            asked = ["N", "S"] + [f"act_{i}" for i in range(k)]
            asked += [Frame(system, f"_{i}").q("free_seat") for i in range(k + 1)]
            asked += Frame(system, f"_{k}").variables(ghosts=False)
            values = parse(session.ask(f"(get-value ({' '.join(asked)}))"))
            broken = [
                name
                for name, n in named
                if session.ask(f"(get-value ({n}))").endswith("true))")
            ]
            session.say("(pop 1)")
            return told(system, values, k, broken[0])
        session.say("(pop 1)")
        g = Frame(system, f"_{k + 1}")
        session.say(*declarations(system, [f"_{k + 1}"], ghosts=False)[2:])
        session.say(f"(declare-const act_{k} Int)", f"(declare-const mover_{k} Int)")
        taken = [
            all_of(
                app("=", f"act_{k}", str(i)),
                app("=", f"mover_{k}", str(after(m))),
                guard(m, f),
                step(system, m, f, g, ghosts=False),
            )
            for i, m in enumerate(system.moves)
        ]
        session.say(f"(assert {any_of(*taken)})")
        if k:
            session.say(f"(assert {goes_on(system, f, k)})")
    return None


BARBER, ARRIVAL = -1, -2


def before(move):
    """Who takes a move: the customers at its place, the barber, or the
    door."""
    if move.who == "customer":
        return move.source.index
    return BARBER if move.who == "barber" else ARRIVAL


def after(move):
    """Who stands ready to move again after it: the customer where he now
    stands (the one who came in, after an arrival), or the barber."""
    return BARBER if move.who == "barber" else move.target.index


def goes_on(system, f, k):
    """Whoever moved last moves again, if he can."""
    last = f"mover_{k - 1}"
    can = []
    for p in system.customers:
        mine = [
            guard(m, f) for m in system.moves if m.who == "customer" and m.source is p
        ]
        if mine:
            can.append(all_of(app("=", last, str(p.index)), any_of(*mine)))
    barber = [guard(m, f) for m in system.moves if m.who == "barber"]
    can.append(all_of(app("=", last, str(BARBER)), any_of(*barber)))
    same = [
        all_of(app("=", f"act_{k}", str(i)), app("=", last, str(before(m))))
        for i, m in enumerate(system.moves)
    ]
    return app("=>", any_of(*can), any_of(*same))


def line_of(step, who, free):
    kind = LINES[step.arg]
    if kind == "barber_lines":
        return BARBER_LINE
    return (SIT_DOWN % (who, free) if kind == "sat" else GONE_AWAY % who).rstrip("\n")


def told(system, values, k, broken):
    """The run the solver found, as the program would show it."""
    at = {p.index: [] for p in system.customers}
    lines, arrived = [], 0
    for i in range(k):
        move = system.moves[values[f"act_{i}"]]
        who = None
        if move.who == "arrival":
            at[0].append(arrived)
            arrived += 1
            continue
        if move.who == "customer":
            who = min(at[move.source.index])  # the one who came first
            at[move.source.index].remove(who)
            at[move.target.index].append(who)
        s = move.source.step
        if s.kind == "call" and s.name in ("printf", "puts"):
            lines.append(line_of(s, who, values[Frame(system, f"_{i}").q("free_seat")]))
    last = Frame(system, f"_{k}")
    free = values[last.q("free_seat")]
    standing = [f"the barber: {system.barbers[values[last.b]].where()}"]
    for p in system.customers:
        for who in sorted(at[p.index]):
            where = p.where()
            if p.step.kind == "call" and p.step.name in ("printf", "puts"):
                where += f', about to write "{line_of(p.step, who, free)}"'
            standing.append(f"customer {who}: {where}")
    return Found(values["N"], values["S"], lines, broken, standing)
