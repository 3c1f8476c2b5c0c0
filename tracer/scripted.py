# SPDX-License-Identifier: MIT
"""Runs written by hand, for the tests of the rules: a script of the calls
each thread made, read into the same Run a recording gives, with the
output lined up as it would be.

A script is one call a line:

    START END THREAD CALL ARGUMENT...

END is "-" for a call still blocked at the stop; THREAD is a name the
script's threads give a tid, routine and process; the arguments are what
uftrace shows: a semaphore by its name, a number, or (for printf and puts)
the rest of the line, each of a format's values after a "|"; " => N" at the
end is what the call returned."""

import dataclasses

from .calls import Call, Run
from .output import line_up


@dataclasses.dataclass
class Thread:
    tid: int
    routine: str
    pid: int = 0


@dataclasses.dataclass
class Executable:
    path: str
    defined: dict = dataclasses.field(default_factory=dict)


def calls_of(script, threads):
    found = []
    for line in script.strip().splitlines():
        line = line.split("#", 1)[0].rstrip()
        if not line:
            continue
        start, end, who, name, *rest = line.split(" ", 4)
        rest = rest[0] if rest else ""
        thread = threads[who]
        rest, _, ret = rest.partition(" => ")
        args, sem = arguments(name, rest)
        found.append(
            Call(
                thread.pid or threads["main"].tid,
                thread.tid,
                name,
                args,
                int(ret) if ret else None,
                float(start),
                None if end == "-" else float(end),
                sem,
            )
        )
    return sorted(found, key=lambda c: (c.start, c.tid))


def arguments(name, rest):
    """(args, semaphore) of a call as uftrace shows it."""
    if name in ("sem_init", "sem_wait", "sem_post"):
        sem, *count = rest.split()
        return [0] + [int(c) for c in count], sem
    if name == "printf":
        fmt, *values = rest.split("|")
        shown = [v if not v.lstrip("-").isdigit() else int(v) for v in values]
        return [fmt] + shown, None
    if name in ("puts", "execv"):
        return [rest], None
    return [int(a) if a.lstrip("-").isdigit() else a for a in rest.split()], None


def run(program, script, threads, stdout=None, stop=None, alive=None, constants=None):
    """The Run of a script; stdout is what its prints wrote, unless given."""
    calls = calls_of(script, threads)
    if stdout is None:
        stdout = "".join(
            printed_text(c)
            for c in calls
            if c.name in ("printf", "puts") and c.end is not None
        )
    main = threads["main"].tid
    pid_of = {t.tid: (t.pid or main) for t in threads.values()}
    result = Run(
        program,
        1,
        calls,
        stop if stop is not None else max(c.end or c.start for c in calls) + 1.0,
        stdout,
        "",
        main,
        {p: "/build/" + program.name for p in set(pid_of.values())},
        pid_of,
        constants or {},
        {t.tid: t.routine for t in threads.values()},
        alive if alive is not None else set(pid_of),
        None,
        Executable("/build/" + program.name),
    )
    result.lined_up = line_up(calls, stdout, program.words)
    return result


def views_of(run, source=None):
    """The Views of a scripted run, its source (a reader's Source) given."""
    from .views import Views

    views = Views(run)
    views.__dict__["source"] = (source, None) if source else (None, "no source")
    return views


def printed_text(call):
    from .calls import printed

    return printed(call) or ""
