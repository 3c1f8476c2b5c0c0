# SPDX-License-Identifier: MIT
"""What the tools know of each program, one module each, each holding the
one Program record that carries all its facts: how its executable is told
apart, how uftrace reads its printf, when a run has told its story, what
its threads are called, its rules, what the page and the trace viewer
count and what the timeline draws under its lanes. Adding a program is
adding its module here."""

import dataclasses
import re


@dataclasses.dataclass(frozen=True)
class Program:
    """A program the tracer knows, told by what its executable contains."""

    name: str
    defines: tuple  # routines and shared variables it defines
    lacks: tuple  # what it does not define, to tell it from a sibling
    calls: tuple  # library functions it calls
    printf: str  # how uftrace is to read its printf arguments
    source: str  # its source file, from the project's root
    longest: float  # program seconds after which a run is stopped anyway
    told: object  # Story(): fed what the program writes, says when it is told
    rules: tuple  # its Rules (verdicts.py), in the order the report prints them
    names: object  # names(run, views): tid -> what its thread is called
    counters: tuple = ()  # the counts the page shows and the trace viewer plots
    tracks: object = None  # tracks(run, views): [(label, colour, [(t, v)])]
    summary: object = None  # summary(run, views): the report's lines about it
    facts: object = None  # facts(run, views): (what its rules speak of, why unknown)
    constants: tuple = ()  # the constants read from its debug information
    words: bool = False  # its output is numbers and blanks, not lines
    over: str = "its story is told: the run was stopped there"  # said at its end
    quiet: float = 0.0  # program seconds a told story must then stay quiet


class Lines:
    """A Story's reading of what a program writes: each whole line handed
    to line() once, however the text comes in pieces, in time that grows
    with the text; what it writes on stderr to complain()."""

    def __init__(self):
        self.parts = []

    def feed(self, text):
        while "\n" in text:
            head, text = text.split("\n", 1)
            self.parts.append(head)
            self.line("".join(self.parts))
            self.parts = []
        if text:
            self.parts.append(text)

    def line(self, line):
        pass

    def complain(self, text):
        pass


def matcher(fmt):
    """A pattern that reads a printf format's %d numbers back out of a line."""
    return re.compile(re.escape(fmt).replace("%d", r"(-?\d+)"))


def all_programs():
    from . import barber, pairtick, parent, tallyduel

    return (barber.PROGRAM, pairtick.PROGRAM, tallyduel.PROGRAM, parent.PROGRAM)


def looked_for():
    """What telling the programs apart looks for, in one line."""
    return "; ".join(
        f"{p.name}: defines {', '.join(p.defines)}, calls {', '.join(p.calls)}"
        for p in all_programs()
    )
