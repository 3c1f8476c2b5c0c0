# SPDX-License-Identifier: MIT
"""What the reader makes of a source: each routine a thread runs as the
graph of the steps it takes, in the order of the source and round its loops.

A step is a call, a test, a change of a shared variable, a change of a
thread's own variable, or the end. Nothing of the source is left out: a
statement the reader cannot follow is refused (SourceError) with its file
and line, never passed over."""

import dataclasses

from tools.errors import ToolError

from .expr import Function, Text, Unary, Shared, uncast

# The C library's calls the tools give a meaning to.
SEMAPHORE_CALLS = ("sem_init", "sem_wait", "sem_post")
PRINT_CALLS = ("printf", "puts")
# Calls that never return.
ENDS = ("_exit", "_Exit", "exit", "abort", "pthread_exit", "quick_exit")


class SourceError(ToolError):
    """A source the reader cannot take: one line naming the file and line,
    what was met there, and what the reader knows."""


@dataclasses.dataclass
class Step:
    id: int
    kind: str  # "call", "test", "change", "local", "end" or "pass" (a loop's head)
    line: int
    next: list  # the steps that may follow; a test's: [if true, if false]
    routine: str = ""  # the routine whose text the step is, inlined or not
    # A call: the function, the C library's or another file's, and its
    # arguments (each an expression of expr.py).
    function: str = ""
    library: bool = False
    args: tuple = ()
    # A test: its condition.
    cond: object = None
    # A change: of which variable, by an amount ("+") or to a value ("="),
    # and the form it is written in ("x += k"); atomic for a std::atomic.
    var: str = ""
    op: str = ""
    value: object = None
    form: str = ""
    atomic: bool = False

    @property
    def sem(self):
        """The semaphore a sem_init, sem_wait or sem_post works on."""
        if self.kind == "call" and self.library and self.function in SEMAPHORE_CALLS:
            return semaphore_of(self.args[0])
        return None

    @property
    def said(self):
        """The text a printf, puts or execv is given, as written."""
        if self.kind == "call" and self.library and self.args:
            first = uncast(self.args[0])
            if isinstance(first, Text):
                return first.value
        return None

    @property
    def prints(self):
        """The line a printf or puts writes (a format for printf), or None."""
        if not (self.kind == "call" and self.library and self.function in PRINT_CALLS):
            return None
        said = self.said
        return said + "\n" if self.function == "puts" and said is not None else said

    @property
    def values(self):
        """The values a printf prints after its format."""
        if self.kind == "call" and self.function == "printf":
            return self.args[1:]
        return ()

    @property
    def starts(self):
        """The routine a pthread_create starts a thread in."""
        if self.kind == "call" and self.library and self.function == "pthread_create":
            routine = uncast(self.args[2]) if len(self.args) > 2 else None
            return routine.name if isinstance(routine, Function) else None
        return None

    @property
    def count(self):
        """The count a sem_init starts its semaphore at (an expression)."""
        if self.kind == "call" and self.function == "sem_init" and len(self.args) > 2:
            return self.args[2]
        return None


def semaphore_of(expr):
    """The shared semaphore `&name` names, or None."""
    expr = uncast(expr)
    if isinstance(expr, Unary) and expr.op == "&":
        target = uncast(expr.operand)
        if isinstance(target, Shared):
            return target.name
    return None


@dataclasses.dataclass
class Routine:
    name: str
    line: int
    entry: int
    steps: dict  # id -> Step


@dataclasses.dataclass
class Source:
    path: str
    lines: list  # the file's text, split into lines where the compiler splits
    routines: dict  # name -> Routine, for main and every routine a thread runs
    constants: dict  # name -> value, of the file's integer constants
    shared: dict  # name -> "semaphore", "integer", "atomic" or "other"
    initial: dict  # name -> the value a shared integer starts the program at
    spans: dict  # name -> (first, last) line of each routine of the file
    wrappers: set  # the routines whose steps keep their caller's line (down, up)


def tidy(routine, path):
    """The routine with its loop heads bypassed and only the steps a thread
    can reach."""
    steps = routine.steps

    def through(i, seen=()):
        while steps[i].kind == "pass":
            if i in seen:
                raise SourceError(
                    f"{path}:{steps[i].line}: a loop that does nothing, for ever"
                )
            seen = seen + (i,)
            i = steps[i].next[0]
        return i

    for s in steps.values():
        s.next = [through(n) for n in s.next]
    routine.entry = through(routine.entry)
    reachable, todo = set(), [routine.entry]
    while todo:
        i = todo.pop()
        if i not in reachable:
            reachable.add(i)
            todo += steps[i].next
    routine.steps = {i: steps[i] for i in sorted(reachable)}
    return routine
