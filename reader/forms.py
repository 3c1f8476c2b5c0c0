# SPDX-License-Identifier: MIT
"""How each form of statement and expression becomes steps: one small
reading per form, registered with its C form beside it. Teaching the reader
one more form is one more reading here; a form with no reading is refused,
with the forms there are.

Readings build a routine backwards: each takes the step that follows what
it reads and gives the first step of it. An expression's reading gives, as
well, its value (expr.py); each call in it is a step of its own, before the
step that uses what it gave back."""

import bisect
import dataclasses

from . import expr as E
from . import literal
from .clang import cindex, evaluate, in_system_header
from .steps import ENDS, PRINT_CALLS, SEMAPHORE_CALLS, SourceError, Step

STATEMENTS = {}  # cursor kind -> (C form, reading)
EXPRESSIONS = {}  # cursor kind -> (C form, reading)
CHANGES = []  # (C form, operator) of a change of a shared integer


def statement(kind, form):
    def register(reading):
        STATEMENTS[kind] = (form, reading)
        return reading

    return register


def expression(kind, form):
    def register(reading):
        EXPRESSIONS[kind] = (form, reading)
        return reading

    return register


def known(table):
    return ", ".join(form for form, _ in table.values())


# The forms a change of a shared integer x is read in: by an amount k
# (any value the reader reads), or to a value v.
CHANGES += [
    ("x++, ++x", "+"),
    ("x--, --x", "-"),
    ("x += k", "+"),
    ("x -= k", "-"),
    ("x = x + k, x = k + x", "+"),
    ("x = x - k", "-"),
    ("x = v", "="),
]
# Conversions that keep the value they convert.
CASTS = (
    "CSTYLE_CAST_EXPR",
    "CXX_STATIC_CAST_EXPR",
    "CXX_FUNCTIONAL_CAST_EXPR",
    "CXX_CONST_CAST_EXPR",
    "CXX_REINTERPRET_CAST_EXPR",
)
COMPARISONS = ("<", "<=", ">", ">=", "==", "!=")
ARITHMETIC = ("+", "-", "*", "/", "%", "&", "|", "^", "<<", ">>")


@dataclasses.dataclass
class Context:
    routine: str  # whose text is read
    binding: dict  # a parameter's USR -> the expression it stands for
    line: object  # the line every step takes (inside a wrapper), or None
    exit: object  # where a return goes (an inlined routine's caller), or None
    cont: object  # where continue goes
    brk: object  # where break goes
    end: int  # the thread's end
    calls: tuple = ()  # the routines being inlined, outermost first

    def local(self, name):
        return name if not self.calls else f"{self.routine}.{name}"


class Reader:
    """Reads the routines of one file into graphs of steps."""

    def __init__(self, spelling, scope):
        self.spelling, self.scope, self.path = spelling, scope, spelling.path
        self.K = cindex().CursorKind
        self.steps = {}

    def refuse(self, cursor, what):
        raise SourceError(f"{self.path}:{cursor.location.line}: {what}")

    def step(self, kind, line, nxt, ctx, **fields):
        s = Step(len(self.steps), kind, line, list(nxt), ctx.routine, **fields)
        self.steps[s.id] = s
        return s.id

    def line(self, cursor, ctx):
        return ctx.line or cursor.location.line

    def kids(self, cursor):
        return list(cursor.get_children())

    def operands(self, cursor):
        return [k for k in cursor.get_children() if k.kind.is_expression()]

    def operator(self, cursor):
        """A unary or binary operator's spelling, and for a unary one
        whether it is written after its operand."""
        inner = self.operands(cursor)
        if len(inner) == 2:
            return self.spelling.token_at(inner[0].extent.end.offset), False
        if inner[0].extent.start.offset > cursor.extent.start.offset:
            return self.spelling.token_at(cursor.extent.start.offset), False
        return self.spelling.token_at(inner[0].extent.end.offset), True

    def macro(self, cursor, operand):
        """Refuses an expression written by a macro of the file's; one of
        the system's (stdout, SIG_IGN) is a value of the C library's, where
        it stands as an operand."""
        m = self.spelling.macro_of(cursor)
        if m is None:
            return None
        name, system = m
        if system and operand:
            return E.Library(name)
        self.refuse(
            cursor,
            f"written with the macro {name}, which the reader does not expand: "
            "write it out",
        )

    # Statements: each takes the step that follows and gives its first.
    def statement(self, c, nxt, ctx):
        self.macro(c, operand=False)
        found = STATEMENTS.get(c.kind.name)
        if found is not None:
            return found[1](self, c, nxt, ctx)
        if c.kind.is_expression():
            return self.effect(c, nxt, ctx)
        self.refuse(
            c,
            f"a statement the reader does not follow ({c.kind.name.lower()}); "
            f"it reads {known(STATEMENTS)} and expressions",
        )

    def effect(self, c, nxt, ctx):
        """An expression written as a statement: it must do something."""
        entry, value = self.value(c, nxt, ctx)
        if entry == nxt and not (isinstance(value, E.Cast) and value.type == "void"):
            self.refuse(c, f"an expression that does nothing ({value.c})")
        return entry

    # Expressions: (the first step, the value).
    def value(self, c, nxt, ctx):
        opaque = self.macro(c, operand=True)
        if opaque is not None:
            return nxt, opaque
        found = EXPRESSIONS.get(c.kind.name)
        if found is None:
            self.refuse(
                c,
                f"an expression the reader does not follow ({c.kind.name.lower()}); "
                f"it reads {known(EXPRESSIONS)}",
            )
        return found[1](self, c, nxt, ctx)

    def values(self, cursors, nxt, ctx):
        """Several expressions read left to right: (first step, values)."""
        found = []
        for c in reversed(cursors):
            nxt, v = self.value(c, nxt, ctx)
            found.insert(0, v)
        return nxt, tuple(found)

    def condition(self, c, then, other, ctx):
        """A test: its first step, going on to `then` or `other`."""
        c = self.bare(c)
        self.macro(c, operand=False)
        K = self.K
        if c.kind == K.BINARY_OPERATOR and self.operator(c)[0] in ("&&", "||"):
            a, b = self.operands(c)
            if self.operator(c)[0] == "&&":
                return self.condition(
                    a, self.condition(b, then, other, ctx), other, ctx
                )
            return self.condition(a, then, self.condition(b, then, other, ctx), ctx)
        if c.kind == K.UNARY_OPERATOR and self.operator(c)[0] == "!":
            return self.condition(self.operands(c)[0], other, then, ctx)
        if c.kind in (K.INTEGER_LITERAL, K.CXX_BOOL_LITERAL_EXPR):
            return then if evaluate(c) else other
        test = self.step("test", self.line(c, ctx), [then, other], ctx)
        entry, cond = self.value(c, test, ctx)
        self.steps[test].cond = cond
        return entry

    def bare(self, c):
        """An expression under its parentheses and implicit conversions."""
        while c.kind.name in ("PAREN_EXPR", "UNEXPOSED_EXPR"):
            inner = self.operands(c)
            if len(inner) != 1 or self.spelling.macro_of(c):
                break
            c = inner[0]
        return c

    def name(self, c, ctx):
        """What a name refers to: a Shared, Constant, Local, Argument,
        Function, Library or Num."""
        K = self.K
        ref = c.referenced
        if ref is None:
            self.refuse(c, f"{c.spelling}: a name the compiler does not resolve")
        if ref.kind in (K.PARM_DECL, K.VAR_DECL) and self.scope.own(ref) is None:
            if ref.semantic_parent.kind in (K.FUNCTION_DECL, K.CXX_METHOD):
                self.scope.hides(ref)
        if ref.kind == K.PARM_DECL:
            bound = ctx.binding.get(ref.get_usr())
            if bound is None:
                self.refuse(c, f"{c.spelling}: a parameter of no routine read here")
            return bound
        if ref.kind == K.ENUM_CONSTANT_DECL:
            return E.Num(evaluate(c))
        own = self.scope.own(ref)
        if own is not None:
            if own.kind == "routine":
                return E.Function(own.name)
            if own.kind == "constant":
                return E.Constant(own.name, own.value)
            return E.Shared(own.name)
        if ref.kind == K.VAR_DECL and ref.semantic_parent.kind in (
            K.FUNCTION_DECL,
            K.CXX_METHOD,
        ):
            return E.Local(ctx.local(ref.spelling))
        if in_system_header(ref):
            return E.Library(ref.spelling)
        where = ref.location.file.name if ref.location.file else "elsewhere"
        self.refuse(
            c,
            f"{c.spelling} is neither the file's own nor the C library's "
            f"(declared in {where}:{ref.location.line})",
        )


# The statements.


@statement("COMPOUND_STMT", "{ ... }")
def block(r, c, nxt, ctx):
    for child in reversed(r.kids(c)):
        nxt = r.statement(child, nxt, ctx)
    return nxt


@statement("IF_STMT", "if (c) s else t")
def if_statement(r, c, nxt, ctx):
    parts = r.kids(c)
    if any(not (p.kind.is_expression() or p.kind.is_statement()) for p in parts):
        r.refuse(c, "an if with a declaration in it: declare the variable before it")
    then = r.statement(parts[1], nxt, ctx)
    other = r.statement(parts[2], nxt, ctx) if len(parts) > 2 else nxt
    return r.condition(parts[0], then, other, ctx)


def loop_parts(r, c):
    """A for's init, condition, step and body (each None when left out),
    told apart by where they stand around the for's two semicolons."""
    semicolons, depth, opened = [], 0, None
    i = r.spelling.starts.index(c.extent.start.offset)
    while True:
        i += 1
        token, at = r.spelling.tokens[i], r.spelling.starts[i]
        if token == "(":
            depth += 1
            opened = opened if opened is not None else at
        elif token == ")":
            depth -= 1
            if depth == 0:
                closed = at
                break
        elif token == ";" and depth == 1:
            semicolons.append(at)
    parts = {"init": None, "cond": None, "step": None, "body": None}
    for k in r.kids(c):
        at = k.extent.start.offset
        if at > closed:
            parts["body"] = k
        elif at < semicolons[0]:
            parts["init"] = k
        elif at < semicolons[1]:
            parts["cond"] = k
        else:
            parts["step"] = k
    return parts


@statement("FOR_STMT", "for (;;) s, for (init; c; step) s")
def for_loop(r, c, nxt, ctx):
    parts = loop_parts(r, c)
    head = r.step("pass", c.location.line, [], ctx)
    on = head
    if parts["step"] is not None:
        on = r.effect(parts["step"], head, ctx)
    inner = dataclasses.replace(ctx, cont=on, brk=nxt)
    body = r.statement(parts["body"], on, inner)
    first = body
    if parts["cond"] is not None:
        first = r.condition(parts["cond"], body, nxt, ctx)
    r.steps[head].next = [first]
    return r.statement(parts["init"], head, ctx) if parts["init"] is not None else head


@statement("WHILE_STMT", "while (c) s, while (true) s")
def while_loop(r, c, nxt, ctx):
    parts = r.kids(c)
    if len(parts) != 2 or not parts[0].kind.is_expression():
        r.refuse(c, "a while with a declaration in it: declare the variable before it")
    head = r.step("pass", c.location.line, [], ctx)
    body = r.statement(parts[1], head, dataclasses.replace(ctx, cont=head, brk=nxt))
    r.steps[head].next = [r.condition(parts[0], body, nxt, ctx)]
    return head


@statement("DO_STMT", "do s while (c);")
def do_loop(r, c, nxt, ctx):
    body_cursor, cond = r.kids(c)
    head = r.step("pass", c.location.line, [], ctx)
    test = r.condition(cond, head, nxt, ctx)
    body = r.statement(body_cursor, test, dataclasses.replace(ctx, cont=test, brk=nxt))
    r.steps[head].next = [body]
    return head


@statement("RETURN_STMT", "return; return v;")
def return_statement(r, c, nxt, ctx):
    parts = r.kids(c)
    if ctx.exit is not None:
        if parts and not is_null(r, parts[0]):
            r.refuse(
                c,
                f"{ctx.routine} returns a value, which the reader does not follow "
                "into its caller",
            )
        return ctx.exit
    end = r.step("end", c.location.line, [], ctx)
    return r.value(parts[0], end, ctx)[0] if parts else end


def is_null(r, c):
    return r.bare(c).kind in (r.K.CXX_NULL_PTR_LITERAL_EXPR, r.K.GNU_NULL_EXPR)


@statement("BREAK_STMT", "break;")
def break_statement(r, c, nxt, ctx):
    if ctx.brk is None:
        r.refuse(c, "a break outside a loop")
    return ctx.brk


@statement("CONTINUE_STMT", "continue;")
def continue_statement(r, c, nxt, ctx):
    if ctx.cont is None:
        r.refuse(c, "a continue outside a loop")
    return ctx.cont


@statement("NULL_STMT", ";")
def empty(r, c, nxt, ctx):
    return nxt


@statement("DECL_STMT", "T v = e; T v;")
def declaration(r, c, nxt, ctx):
    for var in reversed(r.kids(c)):
        if var.kind != r.K.VAR_DECL:
            r.refuse(var, f"a declaration the reader does not follow ({var.spelling})")
        r.scope.hides(var)
        if var.storage_class == cindex().StorageClass.STATIC:
            r.refuse(
                var,
                f"a static {var.spelling}, shared by every thread: declare it at file scope",
            )
        start = initializer(r, var)
        if start:
            name = ctx.local(var.spelling)
            step = r.step("local", r.line(var, ctx), [nxt], ctx, var=name, op="=")
            nxt, r.steps[step].value = r.value(start[0], step, ctx)
    return nxt


def initializer(r, var):
    """[the expression a variable starts at], or [] for none: what comes
    after its =, or the braces or parentheses after its name (not the size
    of an array)."""
    at = bisect.bisect_left(r.spelling.starts, var.location.offset) + 1
    end, depth = var.extent.end.offset, 0
    while at < len(r.spelling.starts) and r.spelling.starts[at] < end:
        token = r.spelling.tokens[at]
        if token == "[":
            depth += 1
        elif token == "]":
            depth -= 1
        elif depth == 0 and token in ("=", "{", "("):
            begins = r.spelling.starts[at] + (token == "=")
            found = [
                k
                for k in r.kids(var)
                if k.kind.is_expression() and k.extent.start.offset >= begins
            ]
            if len(found) != 1:
                r.refuse(
                    var, f"{var.spelling}: a declaration the reader does not follow"
                )
            return found
        at += 1
    return []


# The expressions.


@expression("INTEGER_LITERAL", "12, 012, 0x12, 0b101, 1'000")
def integer(r, c, nxt, ctx):
    return nxt, E.Num(evaluate(c))


@expression("CHARACTER_LITERAL", "'a'")
def character(r, c, nxt, ctx):
    return nxt, E.Num(evaluate(c))


@expression("CXX_BOOL_LITERAL_EXPR", "true, false")
def boolean(r, c, nxt, ctx):
    return nxt, E.Num(1 if evaluate(c) else 0)


@expression("STRING_LITERAL", '"text"')
def string(r, c, nxt, ctx):
    start, end = c.extent.start.offset, c.extent.end.offset
    tokens = [
        t for t, at in zip(r.spelling.tokens, r.spelling.starts) if start <= at < end
    ]
    return nxt, E.Text(literal.text(tokens, f"{r.path}:{c.location.line}"))


@expression("CXX_NULL_PTR_LITERAL_EXPR", "nullptr")
def null(r, c, nxt, ctx):
    return nxt, E.Null()


@expression("GNU_NULL_EXPR", "NULL")
def gnu_null(r, c, nxt, ctx):
    return nxt, E.Null()


@expression("DECL_REF_EXPR", "a name")
def reference(r, c, nxt, ctx):
    return nxt, r.name(c, ctx)


@expression("PAREN_EXPR", "(e)")
def parentheses(r, c, nxt, ctx):
    return r.value(r.operands(c)[0], nxt, ctx)


@expression("UNEXPOSED_EXPR", "an implicit conversion")
def implicit(r, c, nxt, ctx):
    inner = r.operands(c)
    if len(inner) != 1:
        r.refuse(c, "an expression the reader does not follow")
    return r.value(inner[0], nxt, ctx)


def cast(r, c, nxt, ctx):
    entry, value = r.value(r.operands(c)[-1], nxt, ctx)
    return entry, E.Cast(c.type.spelling, value)


for _kind in CASTS:
    expression(_kind, "static_cast<T>(e), (T)e")(cast)


@expression("CXX_UNARY_EXPR", "sizeof(x)")
def size_of(r, c, nxt, ctx):
    return nxt, E.Num(evaluate(c))


@expression("ARRAY_SUBSCRIPT_EXPR", "a[i]")
def subscript(r, c, nxt, ctx):
    entry, (array, index) = r.values(r.operands(c), nxt, ctx)
    return entry, E.Index(array, index)


@expression("INIT_LIST_EXPR", "{a, b}")
def braces(r, c, nxt, ctx):
    entry, items = r.values(r.operands(c), nxt, ctx)
    return entry, E.Items(items)


@expression("UNARY_OPERATOR", "x++, x--, ++x, --x, -x, !x, ~x, &x, *p")
def unary(r, c, nxt, ctx):
    op, after = r.operator(c)
    operand = r.operands(c)[0]
    if op in ("++", "--"):
        form = f"x{op}" if after else f"{op}x"
        return change(r, c, operand, op[0], nxt, ctx, form, amount=E.Num(1))
    if op not in ("-", "+", "!", "~", "&", "*"):
        r.refuse(c, f"the operator {op}, which the reader does not follow")
    entry, value = r.value(operand, nxt, ctx)
    return entry, E.Unary(op, value)


@expression("BINARY_OPERATOR", "x = v, a + b, a < b, a && b, ...")
def binary(r, c, nxt, ctx):
    op, _ = r.operator(c)
    left, right = r.operands(c)
    if op == "=":
        return assignment(r, c, left, right, nxt, ctx)
    if op not in COMPARISONS + ARITHMETIC + ("&&", "||"):
        r.refuse(c, f"the operator {op}, which the reader does not follow")
    entry, (a, b) = r.values([left, right], nxt, ctx)
    if op in ("&&", "||") and entry != nxt:
        r.refuse(c, f"a call inside {op} outside a test: write it as an if")
    return entry, E.Binary(op, a, b)


@expression("COMPOUND_ASSIGNMENT_OPERATOR", "x += k, x -= k")
def compound(r, c, nxt, ctx):
    op, _ = r.operator(c)
    left, right = r.operands(c)
    target = target_of(r, left, ctx)
    if isinstance(target, E.Shared) and op not in ("+=", "-="):
        r.refuse(c, changes_known(target.name, f"{target.name} {op} ..."))
    if isinstance(target, E.Shared) or op in ("+=", "-="):
        return change(r, c, left, op[0], nxt, ctx, f"x {op} k", amount_cursor=right)
    step = r.step("local", r.line(c, ctx), [nxt], ctx, var=target.c, op=op)
    entry, r.steps[step].value = r.value(right, step, ctx)
    return entry, target


def assignment(r, c, left, right, nxt, ctx):
    """x = v; for a shared x also x = x + k, x = k + x, x = x - k."""
    target = target_of(r, left, ctx)
    if isinstance(target, E.Shared):
        relative = relative_change(r, target, right)
        if relative is not None:
            op, amount = relative
            form = "x = x + k" if op == "+" else "x = x - k"
            return change(r, c, left, op, nxt, ctx, form, amount_cursor=amount)
        return change(r, c, left, "=", nxt, ctx, "x = v", amount_cursor=right)
    return change(r, c, left, "=", nxt, ctx, "x = v", amount_cursor=right)


def relative_change(r, target, right):
    """("+" or "-", the cursor of k) of x + k, k + x or x - k, or None."""
    right = r.bare(right)
    if right.kind != r.K.BINARY_OPERATOR or r.operator(right)[0] not in "+-":
        return None
    op = r.operator(right)[0]
    a, b = r.operands(right)
    if refers_to(r, a, target):
        return op, b
    if op == "+" and refers_to(r, b, target):
        return op, a
    return None


def refers_to(r, c, target):
    c = r.bare(c)
    if c.kind != r.K.DECL_REF_EXPR:
        return False
    own = r.scope.own(c.referenced)
    return own is not None and own.name == target.name


def target_of(r, c, ctx):
    """What an assignment writes: a shared integer, or a thread's own
    variable (or an element of its array)."""
    c = r.bare(c)
    K = r.K
    if c.kind == K.DECL_REF_EXPR:
        target = r.name(c, ctx)
        if isinstance(target, E.Local):
            return target
        if isinstance(target, E.Shared) and r.scope.by_name[target.name].kind in (
            "integer",
            "atomic",
        ):
            return target
    if c.kind == K.ARRAY_SUBSCRIPT_EXPR:
        array = r.bare(r.operands(c)[0])
        if array.kind == K.DECL_REF_EXPR and isinstance(r.name(array, ctx), E.Local):
            return E.Local(ctx.local(array.spelling) + "[]")
    r.refuse(
        c,
        "a write the reader does not follow: it follows a shared integer's "
        "changes and a thread's own variables",
    )


def changes_known(name, written):
    forms = "; ".join(form for form, _ in CHANGES)
    return (
        f"a change of {name} the reader does not follow ({written}); it reads {forms}"
    )


def change(r, c, target_cursor, op, nxt, ctx, form, amount=None, amount_cursor=None):
    """A change of a shared integer (or of a thread's own variable): by an
    amount ("+", "-") or to a value ("="), read from `amount_cursor` in
    front of it when it is not given."""
    target = target_of(r, target_cursor, ctx)
    shared = isinstance(target, E.Shared)
    step = r.step(
        "change" if shared else "local",
        r.line(c, ctx),
        [nxt],
        ctx,
        var=target.name if shared else target.c,
        op=op,
        value=amount,
        form=form,
        atomic=shared and r.scope.by_name[target.name].kind == "atomic",
    )
    first = step
    if amount_cursor is not None:
        first, r.steps[step].value = r.value(amount_cursor, step, ctx)
    return first, E.Result(step, c_form(r, c))


def c_form(r, c):
    start, end = c.extent.start.offset, c.extent.end.offset
    words = [
        t for t, at in zip(r.spelling.tokens, r.spelling.starts) if start <= at < end
    ]
    return " ".join(words)


@expression("CALL_EXPR", "f(a, b), a routine of the file, ++x on a std::atomic")
def call(r, c, nxt, ctx):
    K = r.K
    callee = c.referenced
    if callee is None:
        r.refuse(c, "a call through a pointer, which the reader does not follow")
    if callee.kind == K.CXX_METHOD and callee.spelling in ATOMIC_OPERATORS:
        return atomic_change(r, c, callee, nxt, ctx)
    if callee.kind != K.FUNCTION_DECL:
        r.refuse(c, f"a call of {callee.spelling}, which the reader does not follow")
    own = r.scope.own(callee)
    args = list(c.get_arguments())
    if own is not None:
        return inline(r, c, own, args, nxt, ctx)
    library = in_system_header(callee)
    after = [ctx.end] if library and callee.spelling in ENDS else [nxt]
    step = r.step(
        "call", r.line(c, ctx), after, ctx, function=callee.spelling, library=library
    )
    entry, r.steps[step].args = r.values(args, step, ctx)
    known_call(r, c, r.steps[step])
    return entry, E.Result(step, c_form(r, c))


ATOMIC_OPERATORS = {
    "operator++": "+",
    "operator--": "-",
    "operator+=": "+",
    "operator-=": "-",
}


def atomic_change(r, c, method, nxt, ctx):
    """++x, x++, --x, x--, x += k, x -= k on a shared std::atomic."""
    parts = [
        p
        for p in r.operands(c)
        if not (
            r.bare(p).kind == r.K.DECL_REF_EXPR
            and r.bare(p).spelling == method.spelling
        )
    ]
    target = r.bare(parts[0])
    if target.kind != r.K.DECL_REF_EXPR or not isinstance(
        r.name(target, ctx), E.Shared
    ):
        r.refuse(c, f"{method.spelling} on something other than a shared std::atomic")
    op = ATOMIC_OPERATORS[method.spelling]
    if method.spelling in ("operator++", "operator--"):
        postfix = len(list(method.get_arguments())) == 1
        form = f"x{op}{op}" if postfix else f"{op}{op}x"
        return change(r, c, target, op, nxt, ctx, form, amount=E.Num(1))
    return change(r, c, target, op, nxt, ctx, f"x {op}= k", amount_cursor=parts[1])


def known_call(r, c, step):
    """The C library's calls the tools give a meaning to must be written so
    that the reader can tell what they work on."""
    if not step.library:
        return
    name = step.function
    if name in SEMAPHORE_CALLS and step.sem is None:
        r.refuse(
            c,
            f"{name} on {step.args[0].c}: the reader follows a semaphore of the file's, as &name",
        )
    if name in PRINT_CALLS + ("execv",) and step.said is None:
        r.refuse(
            c,
            f"{name} of {step.args[0].c if step.args else 'nothing'}: the reader follows a text written out",
        )
    if name == "pthread_create" and step.starts is None:
        r.refuse(
            c,
            "pthread_create of a routine the reader cannot name: pass a routine of the file",
        )


def inline(r, c, own, args, nxt, ctx):
    """A routine of the file, its steps written out where it is called; a
    parameter by reference stands for what is passed, one by value is a
    variable of the thread's own."""
    if own.name in ctx.calls + (ctx.routine,):
        r.refuse(c, f"{own.name} calls itself, which the reader does not follow")
    function = own.cursor
    params = list(function.get_arguments())
    if len(params) != len(args):
        r.refuse(c, f"{own.name} called with {len(args)} arguments for {len(params)}")
    body = [k for k in function.get_children() if k.kind == r.K.COMPOUND_STMT][0]
    inner = Context(
        own.name,
        dict(ctx.binding),
        (ctx.line or c.location.line) if wrapper(r, body) else ctx.line,
        nxt,
        None,
        None,
        ctx.end,
        ctx.calls + (ctx.routine,),
    )
    # The arguments are read in the caller, in front of the body, and what
    # each parameter stands for is known before the body is read.
    join = r.step("pass", c.location.line, [], ctx)
    entry = join
    for p, a in reversed(list(zip(params, args))):
        r.scope.hides(p)
        if p.type.kind == cindex().TypeKind.LVALUEREFERENCE:
            entry, inner.binding[p.get_usr()] = r.value(a, entry, ctx)
        else:
            copy = inner.local(p.spelling)
            inner.binding[p.get_usr()] = E.Local(copy)
            entry = r.step("local", r.line(c, ctx), [entry], ctx, var=copy, op="=")
            step = entry
            entry, r.steps[step].value = r.value(a, step, ctx)
    r.steps[join].next = [r.statement(body, nxt, inner)]
    return entry, E.Null()


def wrapper(r, body):
    """Whether a routine's body is one call, as down's and up's are: its
    steps keep the line of its caller, where a reader looks."""
    statements = r.kids(body)
    return len(statements) == 1 and r.bare(statements[0]).kind == r.K.CALL_EXPR
