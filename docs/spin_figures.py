# SPDX-License-Identifier: MIT
"""docs/spin_figures LOG: holds the table of SPIN's searches in
docs/proving.md to what model/check printed (LOG, its output): each row's
largest search must be the largest number of states model/check found for
that model, shop and days. Exit status 0 when every row is, 1 when one is
not (each said on a line), 2 for a log that cannot be read or holds none of
the searches."""

import os
import re

from tools import cli
from tools.errors import ToolError

from docs.blocks import ROOT

TOOL = "docs/spin_figures"
ROW = re.compile(
    r"^\| (both, same verdict|counted|counted, liveness|both, liveness) \| (\d) chairs \| "
    r"(?:(\d+) to )?\**(\d+)\** customers \| ([\d,]+) states \|$",
    re.M,
)
SEARCH = re.compile(r"(\d) chairs, (\d+) customer")
STATES = re.compile(r"(\d+) states")


def table():
    """[(model, chairs, fewest, most, states)] of the page's table."""
    with open(os.path.join(ROOT, "docs", "proving.md")) as f:
        text = f.read()
    rows = [
        (model, int(chairs), int(low or high), int(high), int(states.replace(",", "")))
        for model, chairs, low, high, states in ROW.findall(text)
    ]
    if len(rows) != len(re.findall(r"^\| (?:both|counted)", text, re.M)):
        raise ToolError("a row of the table in docs/proving.md is not one this reads")
    return rows


def searches(log):
    """[(liveness?, chairs, customers, [states])] of each line of the log."""
    found, liveness = [], False
    for line in log.splitlines():
        if line.startswith("Liveness"):
            liveness = True
        elif not line.startswith(" "):
            liveness = False
        size = SEARCH.search(line)
        if size and STATES.search(line):
            counts = [int(x) for x in STATES.findall(line)]
            found.append((liveness, int(size.group(1)), int(size.group(2)), counts))
    return found


def largest(found, model, chairs, low, high):
    """The largest search model/check printed for a row; None if none."""
    counts = [
        max(states)
        for liveness, c, n, states in found
        if liveness == ("liveness" in model) and c == chairs and low <= n <= high
    ]
    return max(counts) if counts else None


def work():
    parser = cli.parser(TOOL, __doc__)
    parser.add_argument("log", help="what model/check printed")
    args = parser.parse_args()
    try:
        with open(args.log) as f:
            found = searches(f.read())
    except OSError as e:
        raise ToolError(f"cannot read {args.log}: {e.strerror}") from None
    if not found:
        raise ToolError(f"{args.log} holds no search of model/check's")
    wrong = 0
    for model, chairs, low, high, states in table():
        got = largest(found, model, chairs, low, high)
        if got != states:
            wrong += 1
            print(
                f"{model}, {chairs} chairs, {low} to {high}: the page says {states}, model/check found {got}"
            )
    if not wrong:
        print(f"{TOOL}: every row of the table is what model/check found")
    return 1 if wrong else 0


if __name__ == "__main__":
    cli.main(TOOL, work)
