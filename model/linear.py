# SPDX-License-Identifier: MIT
"""What the prover computes of an expression the reader read: sums and
differences of the shop's shared integers, numbers, the file's constants
and SEAT_MAX (the number of chairs, S), a number times any of them; and
the comparisons of two such. Anything else is refused with its line: the
prover never guesses what an expression is worth."""

from reader import SourceError
from reader import expr as E

from . import logic as L

CHAIRS = "SEAT_MAX"


class Terms:
    """Reads expressions of one source into logic terms: `quantities` are
    the shared integers the shop counts."""

    def __init__(self, path, quantities):
        self.path, self.quantities = path, quantities

    def refuse(self, line, what):
        raise SourceError(f"{self.path}:{line}: {what}")

    def number(self, e, line, what):
        """A term of an integer expression."""
        e = E.uncast(e)
        if isinstance(e, E.Num):
            return L.num(e.value)
        if isinstance(e, E.Constant) and e.name == CHAIRS:
            if e.value is None or e.value < 1:
                self.refuse(
                    line,
                    f"{CHAIRS} is {e.value}: the prover proves shops of S >= 1 chairs, "
                    "and a shop with none is no shop",
                )
            return L.var("S")
        if isinstance(e, E.Constant):
            return L.num(e.value)
        if isinstance(e, E.Shared) and e.name in self.quantities:
            return L.var(f"q:{e.name}")
        if isinstance(e, E.Unary) and e.op in "+-":
            inner = self.number(e.operand, line, what)
            return inner if e.op == "+" else L.minus(L.num(0), inner)
        if isinstance(e, E.Binary) and e.op in ("+", "-"):
            a, b = self.number(e.left, line, what), self.number(e.right, line, what)
            return L.plus(a, b) if e.op == "+" else L.minus(a, b)
        if isinstance(e, E.Binary) and e.op == "*":
            a, b = self.number(e.left, line, what), self.number(e.right, line, what)
            k = constant(a) if constant(a) is not None else constant(b)
            if k is not None:
                return L.times(k, b if constant(a) is not None else a)
        self.refuse(
            line,
            f"{what} {e.c}, which the prover does not compute: it follows sums "
            "and differences of the shop's shared integers, numbers, constants "
            f"and {CHAIRS}",
        )

    def amount(self, e, line, what):
        """A number that does not depend on the state or on S."""
        term = self.number(e, line, what)
        k = constant(term)
        if k is None:
            self.refuse(line, f"{what} {e.c}: the prover follows changes by a number")
        return k

    def condition(self, e, line):
        """The term of a test's condition: a comparison written either way
        round with any of the six operators, or a value tested against 0."""
        e = E.uncast(e)
        ops = {"<": "<", "<=": "<=", ">": ">", ">=": ">=", "==": "=", "!=": "!="}
        if isinstance(e, E.Binary) and e.op in ops:
            what = "a test of"
            return L.compare(
                ops[e.op],
                self.number(e.left, line, what),
                self.number(e.right, line, what),
            )
        return L.compare("!=", self.number(e, line, "a test of"), L.num(0))


def constant(term):
    """The number a term is, when it reads no variable."""
    if L.names(term):
        return None
    return L.compiled(term, {})(())
