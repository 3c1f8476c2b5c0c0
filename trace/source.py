# SPDX-License-Identifier: MIT
"""Reads a program's routines from its source with a real C++ parser
(libclang, Debian's python3-clang-14): each routine becomes the graph of the
steps a thread of it takes, in the order of the source and round its loops.

A step is a call, a test, a change of a shared variable or the end of the
routine. A routine of the same file that a routine calls is written out in
place (down and up become their sem_wait and sem_post); a one-statement
routine like those two keeps the line of its caller, where a reader looks.

Read strictly, only the statements the prover knows are taken, and any
other is refused with its file and line; read leniently (for the page),
anything else is passed over."""

import ast
import dataclasses
import os

from .errors import ToolError

LIBCLANG = "/usr/lib/llvm-14/lib/libclang.so.1"
# The shared variables whose changes are steps of their own.
SHARED = ("free_seat",)
# The calls a strict reading takes: the semaphore operations, the lines,
# the pause, and what init() does.
KNOWN_CALLS = ("sem_wait", "sem_post", "sem_init", "printf", "puts", "sleep")


class SourceError(ToolError):
    """A source the reader cannot take: one line naming the file and line."""


@dataclasses.dataclass
class Step:
    id: int
    kind: str  # "call", "test", "change", "branch", "end" or "pass"
    line: int
    name: str = ""  # call: the function; change and test: the variable
    # call: the semaphore's name, or the text a print is given (a format);
    # change: ("+", n) or ("=", value); test: (operator, value), a value
    # being (constant's name or None, number).
    arg: object = None
    # The printed values' variables, of a printf.
    values: tuple = ()
    count: object = None  # the starting count of a sem_init
    next: list = dataclasses.field(default_factory=list)  # test: [true, false]


@dataclasses.dataclass
class Routine:
    name: str
    line: int
    entry: int
    steps: dict  # id -> Step


@dataclasses.dataclass
class Source:
    path: str
    lines: list  # the file's text, line by line
    routines: dict  # name -> Routine
    constants: dict  # name -> value of the file's integer constants
    wrappers: dict  # name -> lines of each one-statement routine, whose steps
    # keep their caller's line


def cindex():
    try:
        import clang.cindex as ci
    except ImportError:
        raise ToolError(
            "libclang's Python binding is missing: install it "
            "(apt-get install python3-clang-14)"
        ) from None
    if not ci.Config.loaded:
        ci.Config.set_library_file(LIBCLANG)
    return ci


def parse(path):
    """The translation unit of a source file, with the project's headers."""
    ci = cindex()
    here = os.path.dirname(os.path.abspath(path))
    args = ["-xc++", "-std=c++20", f"-I{here}", f"-I{here}/../common"]
    try:
        unit = ci.Index.create().parse(path, args=args)
    except ci.TranslationUnitLoadError:
        raise SourceError(f"{path}: cannot be parsed") from None
    for d in unit.diagnostics:
        if d.severity >= ci.Diagnostic.Error:
            raise SourceError(f"{path}:{d.location.line}: {d.spelling}")
    return unit


def in_file(cursor, path):
    return cursor.location.file is not None and os.path.samefile(
        cursor.location.file.name, path
    )


def definitions(unit, path):
    """The functions and integer constants the file itself defines."""
    ci = cindex()
    functions, constants = {}, {}

    def visit(cursor):
        for c in cursor.get_children():
            if not in_file(c, path):
                continue
            if c.kind == ci.CursorKind.NAMESPACE:
                visit(c)
            elif c.kind == ci.CursorKind.FUNCTION_DECL and c.is_definition():
                functions[c.spelling] = c
            elif c.kind == ci.CursorKind.VAR_DECL:
                literal = [
                    k
                    for k in c.get_children()
                    if k.kind == ci.CursorKind.INTEGER_LITERAL
                ]
                if literal:
                    constants[c.spelling] = int(tokens(literal[0])[0].rstrip("uUlL"))

    visit(unit.cursor)
    return functions, constants


def tokens(cursor):
    return [t.spelling for t in cursor.get_tokens()]


def operator(cursor):
    """The operator of a unary or binary operator expression."""
    kids = list(cursor.get_children())
    if len(kids) == 2:
        end = kids[0].extent.end.offset
        return next(
            t.spelling for t in cursor.get_tokens() if t.extent.start.offset >= end
        )
    spelled = tokens(cursor)  # none where a macro wrote the expression
    if not spelled:
        return ""
    return spelled[0] if spelled[0] in ("++", "--", "&", "*", "-", "!") else spelled[-1]


def unwrapped(cursor):
    """The expression under implicit conversions, casts and parentheses."""
    ci = cindex()
    passing = (
        ci.CursorKind.UNEXPOSED_EXPR,
        ci.CursorKind.PAREN_EXPR,
        ci.CursorKind.CXX_STATIC_CAST_EXPR,
        ci.CursorKind.CSTYLE_CAST_EXPR,
    )
    while cursor.kind in passing:
        kids = [k for k in cursor.get_children() if k.kind.is_expression()]
        if len(kids) != 1:
            break
        cursor = kids[0]
    return cursor


class Builder:
    """Builds one routine's graph of steps; `strict` refuses what the prover
    does not know."""

    def __init__(self, source, functions, strict):
        self.source = source
        self.functions = functions
        self.strict = strict
        self.steps = {}
        self.ci = cindex()

    def refuse(self, cursor, what):
        raise SourceError(f"{self.source.path}:{cursor.location.line}: {what}")

    def step(self, kind, line, nxt, **fields):
        s = Step(len(self.steps), kind, line, next=list(nxt), **fields)
        self.steps[s.id] = s
        return s.id

    def routine(self, name):
        function = self.functions.get(name)
        if function is None:
            raise SourceError(f"{self.source.path}: no routine {name}")
        body = [
            c
            for c in function.get_children()
            if c.kind == self.ci.CursorKind.COMPOUND_STMT
        ]
        end = self.step("end", function.extent.end.line, [])
        ctx = Context(binding={}, line=None, exit=None, cont=None, brk=None, end=end)
        entry = self.statement(body[0], end, ctx)
        return Routine(name, function.location.line, entry, self.steps)

    # Statements: each takes the step that follows it and gives its first.
    def statement(self, c, nxt, ctx):
        K = self.ci.CursorKind
        if c.kind == K.COMPOUND_STMT:
            for child in reversed(list(c.get_children())):
                nxt = self.statement(child, nxt, ctx)
            return nxt
        if c.kind == K.FOR_STMT:
            return self.for_loop(c, nxt, ctx)
        if c.kind == K.IF_STMT:
            kids = list(c.get_children())
            then = self.statement(kids[1], nxt, ctx)
            other = self.statement(kids[2], nxt, ctx) if len(kids) > 2 else nxt
            return self.condition(kids[0], then, other, ctx)
        if c.kind == K.RETURN_STMT:
            target = (
                ctx.exit
                if ctx.exit is not None
                else self.step("end", c.location.line, [])
            )
            kids = list(c.get_children())
            return self.expression(kids[0], target, ctx) if kids else target
        if c.kind == K.CONTINUE_STMT and ctx.cont is not None:
            return ctx.cont
        if c.kind == K.BREAK_STMT and ctx.brk is not None:
            return ctx.brk
        if c.kind == K.DECL_STMT:
            return self.declaration(c, nxt, ctx)
        if c.kind == K.NULL_STMT:
            return nxt
        if c.kind.is_expression():
            return self.expression(c, nxt, ctx)
        if self.strict:
            self.refuse(
                c, f"a statement the prover does not know ({c.kind.name.lower()})"
            )
        return nxt

    def for_loop(self, c, nxt, ctx):
        kids = list(c.get_children())
        head = self.step("pass", c.location.line, [])
        if len(kids) == 1:  # for (;;)
            body = self.statement(kids[0], head, ctx.inner(cont=head, brk=nxt))
            self.steps[head].next = [body]
            return head
        if len(kids) == 4 and not self.strict:
            init, cond, inc, body_stmt = kids
            step_on = self.expression(inc, head, ctx)
            body = self.statement(body_stmt, step_on, ctx.inner(cont=step_on, brk=nxt))
            self.steps[head].next = [self.condition(cond, body, nxt, ctx)]
            return self.statement(init, head, ctx)
        self.refuse(c, "a loop the prover does not know: only for (;;)")

    def declaration(self, c, nxt, ctx):
        for var in reversed(list(c.get_children())):
            inits = [k for k in var.get_children() if k.kind.is_expression()]
            if self.strict and not self.reads_argument(inits):
                self.refuse(c, "a declaration the prover does not know")
            for init in inits:
                nxt = self.expression(init, nxt, ctx)
        return nxt

    def reads_argument(self, inits):
        """Whether a declaration only reads the routine's argument (the
        customer's id)."""
        return (
            len(inits) == 1
            and unwrapped(inits[0]).kind == self.ci.CursorKind.DECL_REF_EXPR
        )

    def condition(self, c, then, other, ctx):
        c = unwrapped(c)
        K = self.ci.CursorKind
        if c.kind == K.BINARY_OPERATOR and operator(c) in (
            "<",
            "<=",
            ">",
            ">=",
            "==",
            "!=",
        ):
            lhs, rhs = (unwrapped(k) for k in c.get_children())
            if lhs.kind == K.DECL_REF_EXPR and lhs.spelling in SHARED:
                value = self.value(rhs)
                if value is not None:
                    return self.step(
                        "test",
                        c.location.line,
                        [then, other],
                        name=lhs.spelling,
                        arg=(operator(c), value),
                    )
        if self.strict:
            self.refuse(
                c, "a test the prover does not know: only free_seat against a number"
            )
        fork = self.step("branch", c.location.line, [then, other])
        return self.expression(c, fork, ctx)

    def value(self, c):
        """(constant's name or None, number) of a number or a constant, or a
        constant plus or minus a number; None for anything else."""
        c = unwrapped(c)
        K = self.ci.CursorKind
        if c.kind == K.INTEGER_LITERAL:
            return (None, int(tokens(c)[0].rstrip("uUlL")))
        if c.kind == K.DECL_REF_EXPR and c.spelling in self.source.constants:
            return (c.spelling, 0)
        if c.kind == K.BINARY_OPERATOR and operator(c) in "+-":
            lhs, rhs = (self.value(k) for k in c.get_children())
            if lhs and rhs and rhs[0] is None:
                sign = 1 if operator(c) == "+" else -1
                return (lhs[0], lhs[1] + sign * rhs[1])
        return None

    # Expressions: their calls and changes, in the order they happen.
    def expression(self, c, nxt, ctx):
        K = self.ci.CursorKind
        c = unwrapped(c)
        line = ctx.line or c.location.line
        if c.kind == K.CALL_EXPR:
            return self.call(c, nxt, ctx)
        if c.kind == K.UNARY_OPERATOR and operator(c) in ("++", "--"):
            target = unwrapped(list(c.get_children())[0])
            if target.spelling in SHARED:
                return self.step(
                    "change",
                    line,
                    [nxt],
                    name=target.spelling,
                    arg=("+", 1 if operator(c) == "++" else -1),
                )
        if c.kind in (K.BINARY_OPERATOR, K.COMPOUND_ASSIGNMENT_OPERATOR) and operator(
            c
        ) in ("=", "+=", "-="):
            target, value = list(c.get_children())
            target = unwrapped(target)
            if target.spelling in SHARED:
                amount = self.value(value)
                if amount is None:
                    self.refuse(
                        c, f"a change of {target.spelling} the prover does not know"
                    )
                if operator(c) == "=":
                    return self.step(
                        "change", line, [nxt], name=target.spelling, arg=("=", amount)
                    )
                if amount[0] is None:
                    sign = 1 if operator(c) == "+=" else -1
                    return self.step(
                        "change",
                        line,
                        [nxt],
                        name=target.spelling,
                        arg=("+", sign * amount[1]),
                    )
                self.refuse(
                    c, f"a change of {target.spelling} the prover does not know"
                )
        if self.strict and c.kind not in (
            K.DECL_REF_EXPR,
            K.INTEGER_LITERAL,
            K.STRING_LITERAL,
            K.CXX_NULL_PTR_LITERAL_EXPR,
        ):
            if not (c.kind == K.UNARY_OPERATOR and operator(c) in ("*", "&")):
                self.refuse(c, "an expression the prover does not know")
        for child in reversed([k for k in c.get_children() if k.kind.is_expression()]):
            nxt = self.expression(child, nxt, ctx)
        return nxt

    def call(self, c, nxt, ctx):
        name = c.spelling
        args = list(c.get_arguments())
        line = ctx.line or c.location.line
        callee = self.functions.get(name)
        if callee is not None:
            if ctx.depth > 8:
                self.refuse(c, f"{name} calls itself")
            return self.inline(callee, args, c.location.line, nxt, ctx)
        if self.strict and name not in KNOWN_CALLS:
            self.refuse(c, f"a call the prover does not know ({name})")
        count = self.value(args[2]) if name == "sem_init" and len(args) == 3 else None
        step = self.step(
            "call",
            line,
            [nxt],
            name=name,
            arg=self.argument(name, args, ctx),
            values=self.printed(name, args),
            count=count,
        )
        for a in reversed(args):
            step = self.expression(a, step, ctx)
        return step

    def argument(self, name, args, ctx):
        """What tells one call of `name` from another: a semaphore's name, or
        the text a print is given."""
        if not args:
            return None
        first = unwrapped(args[0])
        K = self.ci.CursorKind
        if first.kind == K.UNARY_OPERATOR and operator(first) == "&":
            first = unwrapped(list(first.get_children())[0])
        if first.kind == K.DECL_REF_EXPR and name.startswith("sem_"):
            return ctx.binding.get(first.spelling, first.spelling)
        if first.kind == K.STRING_LITERAL:
            return ast.literal_eval(" ".join(tokens(first)))
        return None

    def printed(self, name, args):
        """The variables a printf prints after its format."""
        if name != "printf":
            return ()
        names = []
        for a in args[1:]:
            a = unwrapped(a)
            names.append(
                a.spelling if a.kind == self.ci.CursorKind.DECL_REF_EXPR else ""
            )
        return tuple(names)

    def inline(self, callee, args, line, nxt, ctx):
        """The steps of a routine of this file, written out where it is
        called; its parameters stand for the variables passed."""
        K = self.ci.CursorKind
        params = [p.spelling for p in callee.get_arguments()]
        binding = dict(ctx.binding)
        for p, a in zip(params, args):
            a = unwrapped(a)
            if a.kind == K.DECL_REF_EXPR:
                binding[p] = ctx.binding.get(a.spelling, a.spelling)
        body = [k for k in callee.get_children() if k.kind == K.COMPOUND_STMT][0]
        wrapper = callee.spelling in self.source.wrappers
        inner = Context(
            binding,
            (ctx.line or line) if wrapper else ctx.line,
            nxt,
            None,
            None,
            ctx.end,
            ctx.depth + 1,
        )
        entry = self.statement(body, nxt, inner)
        for a in reversed(args):
            entry = self.expression(a, entry, ctx)
        return entry


@dataclasses.dataclass
class Context:
    binding: dict  # parameter -> the variable it stands for
    line: object  # the line every step takes (inside a wrapper), or None
    exit: object  # where a return goes: the caller's next step, or None
    cont: object
    brk: object
    end: int = 0
    depth: int = 0

    def inner(self, cont, brk):
        return dataclasses.replace(self, cont=cont, brk=brk)


def without_passes(routine):
    """The routine with its pass steps (loop heads) bypassed."""
    steps = routine.steps

    def through(i, seen=()):
        while steps[i].kind == "pass":
            if i in seen:
                raise SourceError(f"line {steps[i].line}: a loop that does nothing")
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


def read(path, names=None, strict=False):
    """The Source of a file, with the routines `names` (default: those a
    thread starts in, the ones no routine of the file calls) read into
    graphs of steps."""
    unit = parse(path)
    functions, constants = definitions(unit, path)
    with open(path) as f:
        lines = f.read().splitlines()
    wrappers = {
        n: set(range(f.extent.start.line, f.extent.end.line + 1))
        for n, f in functions.items()
        if one_statement(f)
    }
    source = Source(path, lines, {}, constants, wrappers)
    for name in names or starts(functions):
        builder = Builder(source, functions, strict)
        source.routines[name] = without_passes(builder.routine(name))
    return source


def starts(functions):
    """The routines no routine of the file calls: main and the threads'."""
    ci = cindex()
    called = set()
    for f in functions.values():
        for c in f.walk_preorder():
            if c.kind == ci.CursorKind.CALL_EXPR:
                called.add(c.spelling)
    return [n for n in functions if n not in called]


def one_statement(function):
    """Whether a routine is a wrapper: its body one call, like down's."""
    ci = cindex()
    body = [c for c in function.get_children() if c.kind == ci.CursorKind.COMPOUND_STMT]
    if len(body) != 1:
        return False
    statements = list(body[0].get_children())
    return (
        len(statements) == 1
        and unwrapped(statements[0]).kind == ci.CursorKind.CALL_EXPR
    )
