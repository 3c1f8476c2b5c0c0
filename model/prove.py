# SPDX-License-Identifier: MIT
"""model/prove: the shop's own routines are correct for every number of
customers N and every number of chairs S.

  model/prove [--depth K] [SOURCE]

Reads _customer, _barber and init from SOURCE (default shop/barber.cpp) with
libclang, builds from them the shop as a counted transition system with N
and S symbolic (model/system.py), and proves with z3 and again with cvc5
that an invariant generated from the routines holds at the start and after
every step, that it rules out every error the shop must not reach, and that
every run ends. Each obligation is printed with each solver's verdict and
time.

When an obligation is not proved, a bounded search (K steps, default 40)
looks for a real run of the shop to an error and prints it as the program's
own lines.

Exit status: 0 when both solvers prove every obligation; 1 when one is not
proved and a run to an error is found; 3 when one is not proved and no run
to an error is found within K steps (not proved: an honest unknown); 2 for
a source the prover cannot read, a missing solver, a bad argument, or two
solvers that disagree.
"""

import argparse
import os
import signal
import sys
import time

from trace import source as reader
from trace.errors import ToolError

from . import obligations, search, smt, system
from .ranking import ranking

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROUTINES = ["_customer", "_barber", "init"]
NOT_PROVED = 3


def fail(message, status=2):
    print(f"model/prove: {message}", file=sys.stderr)
    sys.exit(status)


def arguments():
    parser = argparse.ArgumentParser(
        prog="model/prove",
        description=__doc__.split("\n", 2)[2],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.error = lambda message: fail(f"{message} (see model/prove --help)")
    parser.add_argument(
        "--depth",
        type=int,
        default=search.DEPTH,
        metavar="K",
        help=f"steps the search for a run goes to (default {search.DEPTH})",
    )
    parser.add_argument(
        "source",
        nargs="?",
        default=os.path.join(ROOT, "shop", "barber.cpp"),
        help="the barber's source (default shop/barber.cpp)",
    )
    args = parser.parse_args()
    if args.depth < 1:
        fail("--depth takes a whole number of at least 1")
    return args


def verdict(goal, found):
    """ "proved", "not proved" or "disagree" of both solvers' answers."""
    answers = {a for a, _ in found.values()}
    if answers == {goal.expect}:
        return "proved"
    if answers == {"sat", "unsat"}:
        return "disagree"
    return "not proved"


def prove(shop):
    """Proves every goal with both solvers; [(goal, verdict, answers)]."""
    rank, why_not = ranking(shop)
    goals = obligations.goals(shop, rank)
    decls = obligations.declarations(shop, ["", "_p"])
    runs = [
        smt.check_all(name, decls, [g.assertion for g in goals]) for name in smt.SOLVERS
    ]
    answers = smt.answers(runs)
    results = []
    for i, goal in enumerate(goals):
        found = {name: answers[name][i] for name in smt.SOLVERS}
        results.append((goal, verdict(goal, found), found))
    return results, why_not


def show(results, why_not):
    for goal, state, found in results:
        times = "  ".join(
            f"{name} {answer + ' ' if answer != goal.expect else ''}{took:5.2f} s"
            for name, (answer, took) in found.items()
        )
        mark = {
            "proved": "proved    ",
            "not proved": "NOT PROVED",
            "disagree": "DISAGREE  ",
        }[state]
        print(f"  {mark}  {times}  {goal.label}")
    if why_not:
        print(f"  NOT PROVED  every run ends: {why_not}")


def header(shop):
    customer = [p for p in shop.customers if not p.ended]
    print(
        f"model/prove: {shown_path(shop.path)}, for every number of customers "
        f"N >= 0 and chairs S >= 1"
    )
    starts = ", ".join(
        f"{q} {show_start(v)}"
        for q, v in shop.start.items()
        if q in shop.semaphores + ["free_seat"]
    )
    print(
        f"  read: _customer ({len(customer)} places), _barber ({len(shop.barbers)} places); "
        f"init sets {starts}"
    )
    print(f"  lemma, written by hand: {obligations.LEMMA}")


def shown_path(path):
    """A path from here when it is under here, else as it is."""
    near = os.path.relpath(path)
    return path if near.startswith("..") else near


def show_start(v):
    return "S" + (f" + {v.number}" if v.number else "") if v.chairs else str(v.number)


def tell(found):
    people = "customer" if found.customers == 1 else "customers"
    chairs = "chair" if found.chairs == 1 else "chairs"
    print(
        f"a run to the error, with N = {found.customers} {people} and S = {found.chairs} {chairs}:"
    )
    for line in found.lines or ["(no line written)"]:
        print(f"    {line}")
    print(f"  and there it breaks: {found.broken}")
    for where in found.standing:
        print(f"    {where}")


def main():
    # Into a pipe that closes early (... | head), end quietly.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    args = arguments()
    started = time.monotonic()
    try:
        shop = system.build(reader.read(args.source, ROUTINES, strict=True))
        header(shop)
        results, why_not = prove(shop)
        show(results, why_not)
        states = {state for _, state, _ in results}
        if "disagree" in states:
            fail("the two solvers disagree (see above): nothing is proved")
        if states == {"proved"} and why_not is None:
            print(
                f"model/prove: every obligation proved by both solvers "
                f"({len(results)} obligations, {time.monotonic() - started:.1f} s)"
            )
            return
        rank = ranking(shop)[0]
        found = search.search(shop, args.depth, rank.at_start if rank else None)
    except ToolError as e:
        fail(str(e))
    except KeyboardInterrupt:
        fail("interrupted", 130)
    if found is None:
        fail(
            f"not proved, and no run to an error in any shop of up to "
            f"{search.MOST_CUSTOMERS} customers and {search.MOST_CHAIRS} chairs within "
            f"{args.depth} steps",
            NOT_PROVED,
        )
    tell(found)
    print("model/prove: the shop is wrong")
    sys.exit(1)


if __name__ == "__main__":
    main()
