# SPDX-License-Identifier: MIT
"""The one reader of the programs' C++, shared by every tool: the page's lit
lines, the tracer's facts, model/prove and model/conform all read a source
through read().

It parses with libclang, as the compiler does; resolves every name through
the declaration it refers to (scope.py); takes the C library's calls only
when they are the C library's; reads each statement and expression by the
reading of its form (forms.py), and refuses, with file and line, what it
cannot follow. Lines are counted as the compiler counts them."""

import re

from . import expr
from .clang import Spelling, parse
from .forms import Context, Reader, wrapper
from .scope import Scope
from .steps import Routine, Source, SourceError, Step, tidy

__all__ = ["read", "expr", "Routine", "Source", "SourceError", "Step"]


def read(path, also=()):
    """The Source of a file: main and every routine a thread of it starts
    in, each read into a graph of steps, and the routines `also` names."""
    unit = parse(path)
    spelling = Spelling(unit)
    scope = Scope(unit, spelling)
    own = scope.routines()
    if "main" not in own:
        raise SourceError(f"{path}: no main")
    routines, todo = {}, ["main"] + list(also)
    while todo:
        name = todo.pop(0)
        if name in routines:
            continue
        if name not in own:
            raise SourceError(f"{path}: no routine {name}")
        routines[name] = routine(spelling, scope, own[name])
        todo += [
            s.starts for s in routines[name].steps.values() if s.starts is not None
        ]
    return Source(
        path,
        lines_of(path),
        routines,
        {n: d.value for n, d in scope.by_name.items() if d.kind == "constant"},
        {
            n: d.kind
            for n, d in scope.by_name.items()
            if d.kind not in ("constant", "routine")
        },
        {
            n: d.value
            for n, d in scope.by_name.items()
            if d.kind in ("integer", "atomic")
        },
        {
            n: (d.cursor.extent.start.line, d.cursor.extent.end.line)
            for n, d in own.items()
        },
        {n for n, d in own.items() if is_wrapper(spelling, scope, d)},
    )


def is_wrapper(spelling, scope, own):
    r = Reader(spelling, scope)
    body = [k for k in own.cursor.get_children() if k.kind == r.K.COMPOUND_STMT]
    return bool(body) and wrapper(r, body[0])


def routine(spelling, scope, own):
    """One routine a thread runs, as its graph of steps."""
    r = Reader(spelling, scope)
    function = own.cursor
    ctx = Context(own.name, {}, None, None, None, None, 0)
    ctx.end = r.step("end", function.extent.end.line, [], ctx)
    for p in function.get_arguments():
        scope.hides(p)
        ctx.binding[p.get_usr()] = expr.Argument(p.spelling)
    body = [k for k in function.get_children() if k.kind == r.K.COMPOUND_STMT][0]
    entry = r.statement(body, ctx.end, ctx)
    return tidy(
        Routine(own.name, function.location.line, entry, r.steps), spelling.path
    )


def lines_of(path):
    """The file's lines, split where the compiler splits them (at a line
    feed, a carriage return or both), not at a form feed or the other
    breaks Python's splitlines knows."""
    with open(path, "rb") as f:
        text = f.read().decode(errors="replace")
    lines = re.split(r"\r\n|\r|\n", text)
    return lines[:-1] if lines and lines[-1] == "" else lines
