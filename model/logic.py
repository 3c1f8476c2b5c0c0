# SPDX-License-Identifier: MIT
"""The one language every condition of the shop is written in once: a
guard, a property, a part of the invariant. It is said to the solvers as
SMT-LIB2 (smt), evaluated on a state of the search in Python (compiled),
and sent to the play page as JSON, where page.js evaluates the same tree.

A term is a tuple: ("num", k); ("var", name), a name being "N", "S", "B",
"arrived", "q:QUANTITY", "c:PLACE" (customers there), "d:PLACE" (barbers
there) or "n:MOVE" (how often a move was taken, for the solvers only);
("+", t, ...), ("-", a, b), ("*", k, t); the comparisons ("<", a, b), "<=",
">", ">=", "=", "!="; ("and", ...), ("or", ...), ("not", a), ("=>", a, b);
("true",), ("false",)."""

COMPARISONS = ("<", "<=", ">", ">=", "=", "!=")
NEGATION = {"<": ">=", "<=": ">", ">": "<=", ">=": "<", "=": "!=", "!=": "="}
TRUE, FALSE = ("true",), ("false",)


def num(k):
    return ("num", k)


def var(name):
    return ("var", name)


def plus(*terms):
    terms = [t for t in terms if t != ("num", 0)]
    if not terms:
        return num(0)
    return terms[0] if len(terms) == 1 else ("+", *terms)


def minus(a, b):
    return a if b == ("num", 0) else ("-", a, b)


def times(k, term):
    if k == 0:
        return num(0)
    return term if k == 1 else ("*", k, term)


def compare(op, a, b):
    return (op, a, b)


def all_of(*parts):
    parts = [p for p in parts if p != TRUE]
    if FALSE in parts:
        return FALSE
    if not parts:
        return TRUE
    return parts[0] if len(parts) == 1 else ("and", *parts)


def any_of(*parts):
    parts = [p for p in parts if p != FALSE]
    if TRUE in parts:
        return TRUE
    if not parts:
        return FALSE
    return parts[0] if len(parts) == 1 else ("or", *parts)


def negate(a):
    if a == TRUE:
        return FALSE
    if a == FALSE:
        return TRUE
    if a[0] in NEGATION:
        return (NEGATION[a[0]], a[1], a[2])
    return ("not", a)


def implies(a, b):
    return ("=>", a, b)


def names(term):
    """Every variable a term reads."""
    if term[0] == "var":
        return {term[1]}
    if term[0] in ("num", "true", "false"):
        return set()
    found = set()
    for part in term[1:]:
        if isinstance(part, tuple):
            found |= names(part)
    return found


# SMT-LIB2.

SMT_OPS = {"=": "=", "!=": "distinct", "and": "and", "or": "or", "not": "not"}


def smt(term):
    """The term as SMT-LIB2. A state variable is a quoted symbol of its own
    name, so that "q:free_seat" and its value after a step, "q:free_seat'",
    are two symbols; N, S and B are plain."""
    op = term[0]
    if op == "num":
        return str(term[1]) if term[1] >= 0 else f"(- {-term[1]})"
    if op == "var":
        return term[1] if term[1] in ("N", "S", "B") else f"|{term[1]}|"
    if op in ("true", "false"):
        return op
    if op == "*":
        return f"(* {smt(num(term[1]))} {smt(term[2])})"
    args = " ".join(smt(t) for t in term[1:])
    return f"({SMT_OPS.get(op, op)} {args})"


def primed(term):
    """The term of the state after a step: every state variable primed."""
    if term[0] == "var":
        return term if term[1] in ("N", "S", "B") else ("var", term[1] + "'")
    if term[0] in ("num", "true", "false"):
        return term
    return (term[0], *[primed(t) if isinstance(t, tuple) else t for t in term[1:]])


def substitute(term, mapping):
    """The term with each variable of `mapping` replaced by its term."""
    if term[0] == "var":
        return mapping.get(term[1], term)
    if term[0] in ("num", "true", "false"):
        return term
    return (
        term[0],
        *[substitute(t, mapping) if isinstance(t, tuple) else t for t in term[1:]],
    )


# Python.


def python(term, slot):
    """The term as a Python expression over a state vector `s`; `slot`
    gives each variable's position in it."""
    op = term[0]
    if op == "num":
        return repr(term[1])
    if op == "var":
        return f"s[{slot[term[1]]}]"
    if op == "true":
        return "True"
    if op == "false":
        return "False"
    if op == "*":
        return f"({term[1]} * {python(term[2], slot)})"
    if op == "+":
        return "(" + " + ".join(python(t, slot) for t in term[1:]) + ")"
    if op == "-":
        return f"({python(term[1], slot)} - {python(term[2], slot)})"
    if op in COMPARISONS:
        symbol = "==" if op == "=" else op
        return f"({python(term[1], slot)} {symbol} {python(term[2], slot)})"
    if op in ("and", "or"):
        return "(" + f" {op} ".join(python(t, slot) for t in term[1:]) + ")"
    if op == "not":
        return f"(not {python(term[1], slot)})"
    if op == "=>":
        return f"((not {python(term[1], slot)}) or {python(term[2], slot)})"
    raise ValueError(f"not a term: {term!r}")


def compiled(term, slot):
    """The term as a Python function of a state vector."""
    return eval(f"lambda s: {python(term, slot)}")  # our own terms only


# JSON: the tuples as lists, which page.js reads.


def as_json(term):
    return [t if not isinstance(t, tuple) else as_json(t) for t in term]


# Words: a comparison of sums, as the tools print it.


def linear(term):
    """{variable: coefficient, "": constant} of a sum of numbers and
    variables times numbers; None for anything else."""
    op = term[0]
    if op == "num":
        return {"": term[1]}
    if op == "var":
        return {term[1]: 1}
    if op == "*":
        inner = linear(term[2])
        return None if inner is None else {k: term[1] * v for k, v in inner.items()}
    if op in ("+", "-"):
        parts = [linear(t) for t in term[1:]]
        if any(p is None for p in parts):
            return None
        found = dict(parts[0])
        for sign, p in zip([1] * (len(parts) - 1) if op == "+" else [-1], parts[1:]):
            for k, v in p.items():
                found[k] = found.get(k, 0) + sign * v
        return found
    return None


def show(term, name=lambda v: v.split(":", 1)[-1]):
    """A comparison of sums in words: the state's variables on the left, S
    and a number on the right."""
    if term[0] not in COMPARISONS:
        return str(term)
    left, right = linear(term[1]), linear(term[2])
    if left is None or right is None:
        return str(term)
    diff = dict(left)
    for k, v in right.items():
        diff[k] = diff.get(k, 0) - v
    constant = -diff.pop("", 0)
    chairs = -diff.pop("S", 0)
    return f"{words(diff, name) or '0'} {term[0]} {words({'S': chairs, '': constant}, name) or '0'}"


def words(sum_, name):
    """A sum {variable: coefficient, "": constant} as text."""
    parts = []
    for k, v in sorted(sum_.items(), key=lambda kv: kv[0] == ""):
        if v == 0:
            continue
        word = (
            str(abs(v)) if k == "" else (f"{abs(v)} " if abs(v) != 1 else "") + name(k)
        )
        parts.append(("-" if v < 0 else "+", word))
    if not parts:
        return ""
    text = ("-" if parts[0][0] == "-" else "") + parts[0][1]
    return text + "".join(f" {sign} {word}" for sign, word in parts[1:])
