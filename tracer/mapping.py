# SPDX-License-Identifier: MIT
"""Where in the source each recorded call was made.

uftrace records the library calls, not where they were called from. Each
thread runs one routine, read from the source as a graph of steps (the
reader). Its recorded calls are matched in order to the call steps of the
same function and argument (the semaphore, the text printed or run), each
found going forward from the thread's last match and round the routine's
loops, past the steps no call shows: the tests of shared variables (and which
way they went) and their changes, which are kept with the call that comes
after them, the tests of a thread's own variables, and the calls that are
not recorded. Where a thread's
next call matches no step, or two ways there that differ, the mapping does
not fit the run, and nothing is lit."""

import dataclasses

from reader.expr import Shared, names, value

from .calls import same_text

# The calls matched to the source; all others are passed over.
MATCHED = (
    "sem_init",
    "sem_wait",
    "sem_post",
    "printf",
    "puts",
    "sleep",
    "usleep",
    "pthread_create",
    "pthread_join",
    "fork",
    "execv",
    "putchar",
)
TEXTS = ("printf", "puts", "execv")


@dataclasses.dataclass(frozen=True)
class Place:
    """Where a call was made, and the steps between it and its thread's
    last call that no call shows: [(Step, way)] of the tests, with the way
    each went, and of the changes of shared variables (way None)."""

    line: int
    step: object
    passed: tuple

    @property
    def changes(self):
        return tuple(s for s, _ in self.passed if s.kind == "change")


@dataclasses.dataclass
class Mapping:
    places: dict  # id(call) -> Place
    why_not: object = None  # why the mapping does not fit the run, if not

    def place(self, call):
        return self.places.get(id(call)) if self.why_not is None else None


def fits(call, step):
    """Whether a recorded call is the call a step makes."""
    if not matched(step):
        return False
    # A pause the kernel showed at the stop may be a sleep or a usleep.
    if call.name == "sleep" and not call.args:
        return step.function in ("sleep", "usleep")
    if step.function == "printf" and call.name in ("puts", "putchar"):
        return compiled_as(call, step.said)
    if call.name != step.function:
        return False
    if call.name.startswith("sem_"):
        return call.sem == step.sem
    if call.name in TEXTS:
        return bool(call.args) and same_text(call.args[0], step.said)
    return True


def compiled_as(call, fmt):
    """Whether the compiler made the printf of `fmt` into this call: it
    writes printf("text\n") as puts("text"), printf("%s\n", s) as puts(s),
    and a printf of one character as putchar."""
    plain = fmt.replace("%%", "%") if fmt.count("%") == 2 * fmt.count("%%") else None
    if call.name == "putchar":
        return fmt == "%c" or (plain is not None and len(plain) == 1)
    if fmt == "%s\n":
        return True
    return (
        plain is not None
        and plain.endswith("\n")
        and bool(call.args)
        and same_text(call.args[0], plain[:-1])
    )


def reads_shared(step):
    """Whether a test reads a shared variable: one of the steps the page
    shows (a test of a thread's own variable is not)."""
    return any(isinstance(n, Shared) for n in names(step.cond))


def matched(step):
    return step.kind == "call" and step.library and step.function in MATCHED


def ahead(routine, start):
    """The matched call steps reachable from `start` (a step id, or None for
    the routine's entry) without passing another: [(step id, passed)], the
    steps passed as (step id, way)."""
    found, seen = [], set()
    todo = (
        [(routine.entry, ())]
        if start is None
        else [(n, ()) for n in routine.steps[start].next]
    )
    while todo:
        i, passed = todo.pop()
        if (i, passed) in seen or len(passed) > 4 * len(routine.steps):
            continue
        seen.add((i, passed))
        step = routine.steps[i]
        if matched(step):
            found.append((i, passed))
        elif step.kind == "test" and reads_shared(step):
            todo += [
                (n, passed + ((i, way),)) for n, way in zip(step.next, (True, False))
            ]
        else:
            if step.kind == "change":
                passed = passed + ((i, None),)
            todo += [(n, passed) for n in step.next]
    return found


def consistent(routine, passed, shared):
    """The shared variables after the steps passed, or None when a test on
    the way cannot have gone the way it did, given what they held."""
    shared = dict(shared)
    for i, way in passed:
        step = routine.steps[i]
        if step.kind == "test":
            holds = value(step.cond, shared)
            if holds is not None and bool(holds) != way:
                return None
        else:
            amount = value(step.value, shared)
            if amount is None or shared.get(step.var) is None:
                shared[step.var] = None
            elif step.op == "=":
                shared[step.var] = amount
            else:
                shared[step.var] += amount if step.op == "+" else -amount
    return shared


class Threads:
    """Each thread's routine and the step it last made a call at."""

    def __init__(self, run, source):
        main = source.routines.get("main")
        forks = (
            [s.id for s in main.steps.values() if matched(s) and s.function == "fork"]
            if main
            else []
        )
        self.routine, self.at = {}, {}
        for tid in run.threads():
            pid = run.pid_of[tid]
            name = run.routine_of.get(tid)
            start = None
            if pid != run.main_pid and tid == pid:
                name, start = "main", (forks[0] if forks else None)
            if name not in source.routines:
                raise MappingError(
                    f"thread {tid} runs {name}, which the source does not start a thread in"
                )
            self.routine[tid], self.at[tid] = source.routines[name], start
        self.done = set()  # the processes that ran another program

    def place(self, call, shared):
        """The Place of a thread's next call, and the shared variables after
        what it passed on the way; raises MappingError when none fits."""
        routine = self.routine[call.tid]
        ways = []
        for i, passed in ahead(routine, self.at[call.tid]):
            after = (
                consistent(routine, passed, shared)
                if fits(call, routine.steps[i])
                else None
            )
            if after is not None:
                ways.append((i, passed, after))
        if len({(routine.steps[i].line, passed) for i, passed, _ in ways}) != 1:
            what = "no" if not ways else "more than one"
            raise MappingError(
                f"{call.name}{' on ' + call.sem if call.sem else ''} at "
                f"{call.start:.3f} s matches {what} step of {routine.name}"
            )
        step_id, passed, after = min(ways, key=lambda w: w[:2])
        step = routine.steps[step_id]
        self.at[call.tid] = step_id
        return (
            Place(step.line, step, tuple((routine.steps[i], w) for i, w in passed)),
            after,
        )


class MappingError(Exception):
    pass


def map_run(run, source):
    """The Mapping of a run's calls to the lines of its source: every
    thread's calls in the order they were made, the shared variables
    replayed on the way, so that a test of one is known to have gone the
    only way it could."""
    places = {}
    shared = dict(source.initial)
    try:
        threads = Threads(run, source)
        for call in run.calls:
            if call.name not in MATCHED or call.pid in threads.done:
                continue
            places[id(call)], shared = threads.place(call, shared)
            if call.name == "execv" and call.end is None:
                threads.done.add(call.pid)  # it runs another program from here on
    except MappingError as e:
        return Mapping({}, str(e))
    return Mapping(places)
