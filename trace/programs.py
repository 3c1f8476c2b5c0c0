# SPDX-License-Identifier: MIT
"""What the tools know of the programs: how each is told from its
executable, what it prints, what its semaphores start at, and how long a run
must go on to tell its story."""

import dataclasses
import re

# The barber's three lines, as shop/barber.cpp writes them.
BARBER_LINE = "Barber has finished work from one customer!"
SIT_DOWN = "Customer whose id = %d has sit down! Free seat = %d\n"
GONE_AWAY = "Customer whose id = %d has gone away!\n"
# The parent's and the child's lines.
PARENT_TALKS = "The parent is talking at %s.\n"
CHILD_TALKS = "The child is talking at %s.\n"
CANNOT_RUN_CHILD = "parent: cannot run ./child.out:"

SEMAPHORES = ("barber_ready", "cust_ready", "mutex")
START_COUNTS = {"barber_ready": 1, "cust_ready": 0, "mutex": 1}
# The barber's constants, read from an executable's debug information.
CHAIRS = "SEAT_MAX"
CUSTOMERS = "CUSTOMER_MAX"


def matcher(fmt):
    """A pattern that reads a printf format's %d numbers back out of a line."""
    return re.compile(re.escape(fmt).replace("%d", r"(-?\d+)"))


SAT = matcher(SIT_DOWN)
GONE = matcher(GONE_AWAY)


def customer_line(text):
    """(id, free seat or None) of a customer's line; None for any other."""
    m = SAT.fullmatch(text)
    if m:
        return int(m.group(1)), int(m.group(2))
    m = GONE.fullmatch(text)
    return (int(m.group(1)), None) if m else None


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
    told: object  # told(stdout, stderr): whether a run has told its story
    quiet: float = 0.0  # program seconds a told story must then stay quiet


def barber_day_over(out, err):
    """Someone came, and every customer who sat down has been served. Once
    this has held for QUIET seconds with no new line, the day is over."""
    lines = out.splitlines(keepends=True)
    sat = sum(bool(SAT.fullmatch(line)) for line in lines)
    gone = sum(bool(GONE.fullmatch(line)) for line in lines)
    served = lines.count(BARBER_LINE + "\n")
    return sat + gone > 0 and served == sat


def six_each(out, err):
    """Two threads have written six lines each."""
    ids = [line.split(" ", 1)[0] for line in out.splitlines()]
    return len(set(ids)) == 2 and all(ids.count(i) >= 6 for i in set(ids))


def fifteen_numbers(out, err):
    """Fifteen values written: five raises and ten lowerings, ten seconds."""
    return len(out.split()) >= 15


def both_talked(out, err):
    """The parent has talked six times, and so has the child, unless the new
    process said it cannot run child.out."""
    lines = out.splitlines()
    parent = sum(line.startswith("The parent is talking") for line in lines)
    child = sum(line.startswith("The child is talking") for line in lines)
    return parent >= 6 and (child >= 6 or CANNOT_RUN_CHILD in err)


# A day that looks over must stay quiet this long (program seconds): longer
# than the longest pause between two arrivals (4.5 s).
QUIET = 6.0

PROGRAMS = (
    Program(
        "barber",
        ("_barber", "_customer", "barber_ready", "cust_ready", "mutex", "free_seat"),
        (),
        ("sem_wait", "sem_post"),
        "printf@arg1/s,arg2/d32,arg3/d32",
        "shop/barber.cpp",
        110.0,
        barber_day_over,
        QUIET,
    ),
    Program(
        "pairtick",
        ("child_thread", "thread1", "get_time"),
        ("shared_var",),
        ("pthread_create",),
        "printf@arg1/s,arg2/u,arg3/s",
        "threads/pairtick.cpp",
        20.0,
        six_each,
    ),
    Program(
        "tallyduel",
        ("child_thread", "thread1", "shared_var"),
        (),
        ("pthread_create",),
        "printf@arg1/s,arg2/d32",
        "threads/tallyduel.cpp",
        20.0,
        fifteen_numbers,
    ),
    Program(
        "parent",
        ("get_time",),
        ("thread1",),
        ("fork", "execv"),
        "printf@arg1/s,arg2/s",
        "processes/parent.cpp",
        20.0,
        both_talked,
    ),
)


def looked_for():
    """What telling the programs apart looks for, in one line."""
    return "; ".join(
        f"{p.name}: defines {', '.join(p.defines)}, calls {', '.join(p.calls)}"
        for p in PROGRAMS
    )
