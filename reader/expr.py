# SPDX-License-Identifier: MIT
"""What an expression of the source is, as the reader models it: every
name already resolved to what it refers to, every call already a step of its
own (its value is the step's Result). Each kind says its C form (`c`), for
the messages that quote the source."""

import dataclasses


@dataclasses.dataclass(frozen=True)
class Num:
    """An integer the compiler computed: a literal (decimal, octal, hex,
    binary, with digit separators or a suffix), a character, true or false."""

    value: int

    @property
    def c(self):
        return str(self.value)


@dataclasses.dataclass(frozen=True)
class Text:
    """A string literal, as the compiler reads its escapes."""

    value: str

    @property
    def c(self):
        return '"' + self.value.encode("unicode_escape").decode() + '"'


@dataclasses.dataclass(frozen=True)
class Constant:
    """A constant the file defines (constexpr): its name and value."""

    name: str
    value: int

    @property
    def c(self):
        return self.name


@dataclasses.dataclass(frozen=True)
class Shared:
    """A variable the file defines at file scope, which every thread of the
    process shares."""

    name: str

    @property
    def c(self):
        return self.name


@dataclasses.dataclass(frozen=True)
class Local:
    """A variable of one thread: declared in a routine (or a copy of a
    parameter passed by value)."""

    name: str

    @property
    def c(self):
        return self.name


@dataclasses.dataclass(frozen=True)
class Argument:
    """The one argument a thread routine was started with (`arg`)."""

    name: str

    @property
    def c(self):
        return self.name


@dataclasses.dataclass(frozen=True)
class Function:
    """A routine of the file named as a value: what pthread_create starts."""

    name: str

    @property
    def c(self):
        return self.name


@dataclasses.dataclass(frozen=True)
class Library:
    """A value of the C library's, used as it is: stdout, SIG_IGN, errno."""

    name: str

    @property
    def c(self):
        return self.name


@dataclasses.dataclass(frozen=True)
class Null:
    """nullptr (or the library's NULL)."""

    @property
    def c(self):
        return "nullptr"


@dataclasses.dataclass(frozen=True)
class Result:
    """What the step `step` (a call, or a change of an atomic) gave back."""

    step: int
    what: str  # its C form, for messages

    @property
    def c(self):
        return self.what


@dataclasses.dataclass(frozen=True)
class Unary:
    op: str  # "-", "+", "!", "~", "&" (address of) or "*" (what it points to)
    operand: object

    @property
    def c(self):
        return f"{self.op}{self.operand.c}"


@dataclasses.dataclass(frozen=True)
class Binary:
    op: str
    left: object
    right: object

    @property
    def c(self):
        return f"{self.left.c} {self.op} {self.right.c}"


@dataclasses.dataclass(frozen=True)
class Cast:
    """A conversion, written (static_cast, a C cast) or not."""

    type: str
    operand: object

    @property
    def c(self):
        return self.operand.c


@dataclasses.dataclass(frozen=True)
class Index:
    array: object
    index: object

    @property
    def c(self):
        return f"{self.array.c}[{self.index.c}]"


@dataclasses.dataclass(frozen=True)
class Items:
    """A braced list: {nullptr}."""

    items: tuple

    @property
    def c(self):
        return "{" + ", ".join(i.c for i in self.items) + "}"


def uncast(expr):
    """The expression under its conversions."""
    while isinstance(expr, Cast):
        expr = expr.operand
    return expr


def names(expr):
    """Every Shared, Local and Argument an expression reads."""
    if isinstance(expr, (Shared, Local, Argument)):
        return [expr]
    found = []
    for field in dataclasses.fields(expr):
        value = getattr(expr, field.name)
        if isinstance(value, tuple):
            for v in value:
                found += names(v)
        elif dataclasses.is_dataclass(value):
            found += names(value)
    return found


def value(expr, shared=None):
    """The number an expression of numbers, the file's constants and (with
    `shared`, name -> value) its shared variables is; None for one that
    reads anything else. A comparison is 1 or 0."""
    expr = uncast(expr)
    if isinstance(expr, (Num, Constant)):
        return expr.value
    if isinstance(expr, Shared) and shared is not None:
        return shared.get(expr.name)
    if isinstance(expr, Unary) and expr.op in ("+", "-", "!"):
        inner = value(expr.operand, shared)
        if inner is None:
            return None
        return inner if expr.op == "+" else -inner if expr.op == "-" else int(not inner)
    if isinstance(expr, Binary) and expr.op in OPERATORS:
        a, b = value(expr.left, shared), value(expr.right, shared)
        if a is None or b is None:
            return None
        return int(OPERATORS[expr.op](a, b))
    return None


OPERATORS = {
    "+": lambda a, b: a + b,
    "-": lambda a, b: a - b,
    "*": lambda a, b: a * b,
    "<": lambda a, b: a < b,
    "<=": lambda a, b: a <= b,
    ">": lambda a, b: a > b,
    ">=": lambda a, b: a >= b,
    "==": lambda a, b: a == b,
    "!=": lambda a, b: a != b,
}
