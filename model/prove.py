# SPDX-License-Identifier: MIT
"""model/prove: the shop's own routines are correct for every number of
customers N and every number of chairs S, with as many barbers as main
starts.

  model/prove [--depth K] [SOURCE]

Reads _customer, _barber, init and main from SOURCE (default
shop/barber.cpp) with the project's C++ reader, builds from them the shop
as a counted transition system with N and S symbolic, finds an invariant
(model/invariant.py), and proves with z3 and again with cvc5 that it holds
at the start and after every step, that it rules out every state that
breaks one of the shop's properties, and that every run ends. main is read
for one thing only: how many barbers it starts. Each obligation is printed
with each solver's verdict and time; the properties and the ranking rest on
the invariant, and are "not judged" while it is not proved.

When an obligation is not proved, every schedule of every small shop (up
to {customers} customers and {chairs} chairs, runs of up to K steps, default
{depth}) is searched for a real run to an error, which is printed as the
program's own lines and as a position for model/play.

Exit status: 0 when both solvers prove every obligation; 1 when one is not
proved and a run to an error is found; 3 when one is not proved and no run
to an error is found (an honest unknown); 2 for a source the prover cannot
read, a missing solver, a solver's error, a bad argument, or two solvers
that disagree; 128 + the signal's number when stopped by one.
"""

import os
import time

import reader
from tools import cli
from tools.errors import ToolError

from . import obligations, search, smt, system
from .invariant import invariant, lemmas
from .properties import properties
from .ranking import ranking

TOOL = "model/prove"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "shop", "barber.cpp")
ROUTINES = ("_customer", "_barber", "init")
NOT_PROVED = 3
DEPTH = 200
HELP = __doc__.format(
    customers=search.MOST_CUSTOMERS, chairs=search.MOST_CHAIRS, depth=DEPTH
)


def arguments():
    parser = cli.parser(TOOL, HELP)
    parser.add_argument(
        "--depth",
        type=int,
        default=DEPTH,
        metavar="K",
        help=f"steps the search for a run goes to (default {DEPTH})",
    )
    parser.add_argument(
        "source",
        nargs="?",
        default=SOURCE,
        help="the barber's source (default shop/barber.cpp)",
    )
    args = parser.parse_args()
    if args.depth < 1:
        raise ToolError(
            f"--depth takes a whole number of at least 1 (see {TOOL} --help)"
        )
    return args


def shop_of(path):
    """The System of the shop read from `path`."""
    return system.build(reader.read(path, also=ROUTINES))


def verdict(goal, found):
    """ "proved", "not proved" or "disagree" of both solvers' answers."""
    answers = {a for a, _ in found.values()}
    if answers == {goal.expect}:
        return "proved"
    if answers == {"sat", "unsat"}:
        return "disagree"
    return "not proved"


def prove(shop, found):
    """Every goal, with both solvers: [(goal, verdict, answers)], and why
    there is no ranking function, if there is none."""
    rank, why_not = ranking(shop)
    goals = obligations.goals(shop, invariant(shop, found), properties(shop), rank)
    head = obligations.head(shop)
    runs = [
        smt.check_all(name, head, [g.assertion for g in goals]) for name in smt.SOLVERS
    ]
    answers = smt.answers(runs)
    results = []
    for i, goal in enumerate(goals):
        said = {name: answers[name][i] for name in smt.SOLVERS}
        results.append((goal, verdict(goal, said), said))
    return results, why_not


def judged(results):
    """The results, with every goal that rests on an invariant not proved
    marked "not judged"."""
    failed = [
        g for g, state, _ in results if g.kind == "invariant" and state != "proved"
    ]
    if not failed:
        return results, None
    why = f"it rests on the invariant, which is not proved ({failed[0].label})"
    return [(g, "not judged" if g.rests else s, f) for g, s, f in results], why


MARKS = {"proved": "proved    ", "not proved": "NOT PROVED", "disagree": "DISAGREE  "}


def show(results, why_unjudged, why_no_ranking):
    for goal, state, found in results:
        if state == "not judged":
            print(f"  not judged  {goal.label}: {why_unjudged}")
            continue
        times = "  ".join(
            f"{name} {answer + ' ' if answer != goal.expect else ''}{took:5.2f} s"
            for name, (answer, took) in found.items()
        )
        print(f"  {MARKS[state]}  {times}  {goal.label}")
    if why_no_ranking:
        print(f"  NOT PROVED  every run ends: no ranking function, as {why_no_ranking}")
    failed = [
        g for g, state, _ in results if g.kind != "invariant" and state == "not proved"
    ]
    if failed or why_no_ranking:
        for line in LEGEND:
            print(f"  {line}")


# What a failed proof's lines mean, said under them.
LEGEND = (
    "(each property, and every run ends, rests on the invariant: NOT PROVED says",
    " that some state the invariant allows breaks it, which the search below",
    " looks for a real run to; every run ends says no run goes on for ever, and",
    " holds of a shop that gets stuck: nothing stops before the end of the day",
    " is the property that catches that)",
)


def header(shop, found, path):
    barbers = f"{shop.barber_count} barber{'s' if shop.barber_count != 1 else ''}"
    print(
        f"{TOOL}: {shown_path(path)}, for every number of customers N >= 0 and "
        f"chairs S >= 1, with {barbers}"
    )
    starts = ", ".join(
        f"{q} {show_term(shop.start[q])}" for q in shop.semaphores + shop.counters
    )
    customers = sum(not p.ended for p in shop.customers)
    print(
        f"  read: _customer ({customers} places), _barber ({len(shop.barbers)} places); "
        f"init sets {starts}; main starts {barbers} (main is read for nothing else)"
    )
    print(f"  lemmas found ({len(found)}), each kept by every step:")
    for lemma in found:
        print(f"    {lemma.sentence}")


def show_term(term):
    from .logic import words, linear

    return words(linear(term), lambda v: v) or "0"


def shown_path(path):
    """A path from here when it is under here, else as it is."""
    near = os.path.relpath(path)
    return path if near.startswith("..") else near


def tell(found, path):
    people = "customer" if found.customers == 1 else "customers"
    chairs = "chair" if found.chairs == 1 else "chairs"
    print(
        f"a run to the error, with N = {found.customers} {people} and S = {found.chairs} {chairs}:"
    )
    for line in found.lines or ["(no line written)"]:
        print(f"    {cli.visible(line)}")
    if found.loop is not None:
        print(
            f"  and from step {found.loop + 1} on it goes round for ever: it breaks {found.broken[0]}"
        )
    else:
        print(f"  and there it breaks: {'; '.join(found.broken)}")
    for where in found.standing:
        print(f"    {where}")
    from .play import default_out  # the play page reads the prover's shop

    print(
        f"  step through it: model/play {shown_path(path)}, then open "
        f"{default_out(path)}{found.fragment}"
    )


def work():
    args = arguments()
    began = time.monotonic()
    shop = shop_of(args.source)
    found = lemmas(shop)
    header(shop, found, args.source)
    results, why_no_ranking = prove(shop, found)
    results, why_unjudged = judged(results)
    show(results, why_unjudged, why_no_ranking)
    states = {state for _, state, _ in results}
    if "disagree" in states:
        raise ToolError("the two solvers disagree (see above): nothing is proved")
    if states == {"proved"} and why_no_ranking is None:
        print(
            f"{TOOL}: every obligation proved by both solvers "
            f"({len(results)} obligations, {time.monotonic() - began:.1f} s)"
        )
        return 0
    searched = search.search(shop, args.depth)
    if searched.found is None:
        sizes = (
            f"up to {search.MOST_CUSTOMERS} customers and {search.MOST_CHAIRS} chairs"
        )
        cut = (
            f" ({len(searched.cut)} of them too big to search to the end)"
            if searched.cut
            else ""
        )
        cli.say(
            TOOL,
            f"not proved, and no run to an error in any shop of {sizes}{cut}, every schedule tried",
        )
        return NOT_PROVED
    tell(searched.found, args.source)
    print(f"{TOOL}: the shop is wrong")
    return 1


def main():
    cli.main(TOOL, work)


if __name__ == "__main__":
    main()
