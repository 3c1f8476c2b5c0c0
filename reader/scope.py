# SPDX-License-Identifier: MIT
"""The file's own definitions, and what a name in a routine refers to.

A name is resolved through the declaration the compiler says it refers to,
never by its spelling. The file's own definitions are the routines,
variables and constants it defines at file scope (in the global namespace
or an unnamed one). A definition in a named namespace, a local variable or
a parameter that takes the name of one of them would make a reader that
goes by spelling see the wrong thing: such a source is refused."""

import dataclasses

from .clang import cindex, evaluate, in_system_header
from .steps import SourceError


@dataclasses.dataclass
class Definition:
    name: str
    line: int
    kind: str  # "routine", "constant", "semaphore", "integer", "atomic", "other"
    cursor: object
    value: object = None  # a constant's value; a shared integer's start


class Scope:
    """The file's definitions, found by what declares them (their USR)."""

    def __init__(self, unit, spelling):
        self.path = spelling.path
        self.spelling = spelling
        self.by_usr, self.by_name = {}, {}
        elsewhere = []
        self.visit(unit.cursor, elsewhere)
        for name, line, space in elsewhere:
            if name in self.by_name:
                raise SourceError(
                    f"{self.path}:{line}: {space}::{name} takes the name of the "
                    f"file's own {name} (line {self.by_name[name].line}): the "
                    "reader follows what a name refers to and refuses a second "
                    "thing of the same name"
                )

    def visit(self, cursor, elsewhere, space=None):
        K = cindex().CursorKind
        for c in cursor.get_children():
            if not self.spelling.mine(c):
                continue
            if c.kind == K.NAMESPACE:
                inner = space
                if c.spelling:
                    inner = f"{space}::{c.spelling}" if space else c.spelling
                self.visit(c, elsewhere, inner)
            elif c.kind in (K.FUNCTION_DECL, K.VAR_DECL) and space is not None:
                elsewhere.append((c.spelling, c.location.line, space))
            elif c.kind == K.FUNCTION_DECL and c.is_definition():
                self.add(Definition(c.spelling, c.location.line, "routine", c))
            elif c.kind == K.VAR_DECL:
                self.add(variable(c))

    def add(self, d):
        if d.name in self.by_name:
            raise SourceError(
                f"{self.path}:{d.line}: a second {d.name} (the first is at line "
                f"{self.by_name[d.name].line}): the reader cannot tell which one "
                "is meant"
            )
        self.by_name[d.name] = d
        self.by_usr[d.cursor.get_usr()] = d

    def own(self, declaration):
        """The file's Definition a declaration is, or None."""
        if declaration is None:
            return None
        return self.by_usr.get(declaration.get_usr())

    def hides(self, cursor):
        """Refuses a local variable or a parameter that takes a file-scope
        name."""
        if cursor.spelling in self.by_name:
            d = self.by_name[cursor.spelling]
            raise SourceError(
                f"{self.path}:{cursor.location.line}: a local {cursor.spelling} "
                f"hides the file's own {cursor.spelling} (line {d.line}): the "
                "reader refuses a name that stands for two things"
            )

    def routines(self):
        return {n: d for n, d in self.by_name.items() if d.kind == "routine"}


def variable(c):
    """A file-scope variable: what kind it is, and its value or start."""
    ci = cindex()
    T = ci.TypeKind
    canonical = c.type.get_canonical()
    integer = canonical.kind in (
        T.CHAR_S,
        T.SCHAR,
        T.UCHAR,
        T.SHORT,
        T.USHORT,
        T.INT,
        T.UINT,
        T.LONG,
        T.ULONG,
        T.LONGLONG,
        T.ULONGLONG,
        T.BOOL,
    )
    declared = c.type.get_declaration()
    if integer and canonical.is_const_qualified():
        return Definition(c.spelling, c.location.line, "constant", c, evaluate(c))
    if declared.spelling == "sem_t" and in_system_header(declared):
        kind = "semaphore"
    elif integer:
        kind = "integer"
    elif canonical.spelling.startswith("std::atomic<") and in_system_header(declared):
        kind = "atomic"
    else:
        kind = "other"
    return Definition(c.spelling, c.location.line, kind, c, start_of(c, kind))


def start_of(c, kind):
    """The value a shared integer starts the program at: its initializer's,
    or 0 (a file-scope variable without one is zero-initialized)."""
    if kind not in ("integer", "atomic"):
        return None
    expressions = [k for k in c.walk_preorder() if k.kind.is_expression()]
    if not expressions:
        return 0
    for e in expressions:
        value = evaluate(e)
        if isinstance(value, int):
            return value
    return None
