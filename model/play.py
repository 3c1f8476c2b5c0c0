# SPDX-License-Identifier: MIT
"""model/play: be the scheduler of the shop's own routines.

  model/play [--out FILE] [SOURCE]

Writes FILE (default play-NAME.html, NAME the source's, beside nothing but
itself), one page that works opened from disk in any current browser, on
which you choose which thread of the shop read from SOURCE (default
shop/barber.cpp) takes the next step: the shop as model/prove reads it,
with the same steps (every down, up, line, test and change of a shared
integer), for 1 to {most_customers} customers and 1 to {most_chairs} chairs. After every step
the page judges the prover's properties, and says the first one broken,
or that nobody can move, or that the day is over.

A link to a position is the page's address with
#customers=N&chairs=S&moves=M1,M2,..., each move the name of the thread
that moved (customer-3, barber, or arrival for the next customer coming
in): model/prove prints its runs to an error so.

Exit status: 0 when the page is written; 2, with one line, for a source
the reader or the prover cannot follow, or a file that cannot be written;
128 + the signal's number when stopped by one.
"""

import os

from tools import cli, files
from tools.errors import ToolError
from tracer.page import asset_path, html

from . import logic as L
from .day import barber_names, template
from .properties import end_of_day, properties
from .prove import SOURCE, shop_of, shown_path

TOOL = "model/play"
HERE = os.path.dirname(os.path.abspath(__file__))
MOST_CUSTOMERS, MOST_CHAIRS = 6, 4
DEFAULTS = {"customers": 3, "chairs": 2}
HELP = __doc__.format(most_customers=MOST_CUSTOMERS, most_chairs=MOST_CHAIRS)


def place_data(p):
    return {
        "index": p.index,
        "who": p.who,
        "var": p.var,
        "line": None if p.ended else p.step.line,
        "holding": p.holding,
        "ended": p.ended,
        "wait": p.step.sem
        if p.step.kind == "call" and p.step.function == "sem_wait"
        else None,
        "prints": p.step.prints if p.step.kind == "call" else None,
        "values": [v if v == "id" else L.as_json(v) for v in p.values or []],
    }


def move_data(system, m):
    from .day import quantity_of

    return {
        "index": m.index,
        "who": m.who,
        "source": m.source.index if m.source is not None else None,
        "target": m.target.index,
        "enabled": L.as_json(m.enabled()),
        "delta": m.delta,
        "says": template(system, m),
        "about": quantity_of(m),
        "sleeps": m.source is not None
        and m.source.step.kind == "call"
        and m.source.step.function == "sleep",
    }


def data_of(system, path):
    """What the page carries: the shop's System, its source and its rules."""
    return {
        "program": "barber",
        "path": shown_path(path),
        "lines": system.lines,
        "barbers": barber_names(system.barber_count),
        "semaphores": system.semaphores,
        "counters": system.counters,
        "chairs": system.chairs,
        "quantities": system.quantities,
        "start": {q: L.as_json(t) for q, t in system.start.items()},
        "customers": [place_data(p) for p in system.customers],
        "barberPlaces": [place_data(p) for p in system.barbers],
        "moves": [move_data(system, m) for m in system.moves],
        "properties": [
            {"name": p.name, "key": p.key, "bad": L.as_json(p.bad)}
            for p in properties(system)
        ],
        "over": L.as_json(end_of_day(system)),
        "limits": {"customers": [0, MOST_CUSTOMERS], "chairs": [1, MOST_CHAIRS]},
        "defaults": DEFAULTS,
    }


def write(system, path, out):
    """Writes the play page of a System read from `path` to `out`."""
    page = html(
        data_of(system, path),
        template=asset_path(HERE, "play.html"),
        scripts=(asset_path(None, "view.js"), asset_path(HERE, "play.js")),
    )
    try:
        files.write(out, page)
    except OSError as e:
        raise ToolError(f"cannot write {out}: {e.strerror}") from None
    return out


def default_out(source):
    return f"play-{os.path.splitext(os.path.basename(source))[0]}.html"


def arguments():
    parser = cli.parser(TOOL, HELP)
    parser.add_argument(
        "--out", metavar="FILE", help="the page to write (default play-NAME.html)"
    )
    parser.add_argument(
        "source",
        nargs="?",
        default=SOURCE,
        help="the barber's source (default shop/barber.cpp)",
    )
    args = parser.parse_args()
    if args.out is not None and not args.out.strip():
        raise ToolError(f"--out takes the name of a file (see {TOOL} --help)")
    return args


def work():
    args = arguments()
    system = shop_of(args.source)
    out = args.out or default_out(args.source)
    print(f"{TOOL}: {write(system, args.source, out)}")
    return 0


def main():
    cli.main(TOOL, work)


if __name__ == "__main__":
    main()
