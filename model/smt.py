# SPDX-License-Identifier: MIT
"""SMT-LIB2 text, and the two solvers that read it: z3 and cvc5, each run as
a program fed the text on its standard input (no solver binding)."""

import os
import select
import shutil
import subprocess
import time

from trace.errors import ToolError

SOLVERS = {
    "z3": (["z3", "-in"], "z3"),
    "cvc5": (["cvc5", "--lang", "smt2", "--incremental", "--produce-models"], "cvc5"),
}


def app(op, *args):
    return f"({op} {' '.join(args)})" if args else op


def num(n):
    return str(n) if n >= 0 else f"(- {-n})"


def plus(*terms):
    terms = [t for t in terms if t != "0"]
    if not terms:
        return "0"
    return terms[0] if len(terms) == 1 else app("+", *terms)


def times(k, term):
    if k == 0:
        return "0"
    return term if k == 1 else app("*", num(k), term)


def all_of(*xs):
    xs = [x for x in xs if x != "true"]
    if not xs:
        return "true"
    return xs[0] if len(xs) == 1 else app("and", *xs)


def any_of(*xs):
    xs = [x for x in xs if x != "false"]
    if not xs:
        return "false"
    return xs[0] if len(xs) == 1 else app("or", *xs)


def solver_command(name):
    command, package = SOLVERS[name]
    if shutil.which(command[0]) is None:
        raise ToolError(
            f"{command[0]} not found: install it (apt-get install {package})"
        )
    return command


def check_all(name, declarations, goals):
    """Starts a solver on `goals` (assertions, each checked on its own after
    the declarations); a Process to read its answers from."""
    script = ["(set-logic ALL)", *declarations]
    for goal in goals:
        script += ["(push 1)", f"(assert {goal})", "(check-sat)", "(pop 1)"]
    process = subprocess.Popen(
        solver_command(name),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    process.stdin.write("\n".join(script) + "\n(exit)\n")
    process.stdin.close()
    return Answers(name, process, len(goals))


class Answers:
    """A solver's answers to its goals, each with how long it took."""

    def __init__(self, name, process, count):
        self.name, self.process, self.count = name, process, count
        self.found, self.last, self.buffer = [], time.monotonic(), ""

    def done(self):
        return (
            len(self.found) >= self.count
            or self.process.poll() is not None
            and not self.pending()
        )

    def pending(self):
        ready, _, _ = select.select([self.process.stdout], [], [], 0)
        return bool(ready)

    def read(self):
        """Reads what is there; called when its output is ready."""
        chunk = os.read(self.process.stdout.fileno(), 65536).decode()
        now = time.monotonic()
        if not chunk:
            self.found += [("error", 0.0)] * (self.count - len(self.found))
            return
        self.buffer += chunk
        while "\n" in self.buffer:
            line, self.buffer = self.buffer.split("\n", 1)
            line = line.strip()
            if line in ("sat", "unsat", "unknown"):
                self.found.append((line, now - self.last))
                self.last = now
            elif line:
                self.found.append((f"error: {line}", now - self.last))
                self.last = now


def answers(runs):
    """Reads every solver's answers to the end: name -> [(answer, seconds)]."""
    open_runs = list(runs)
    while open_runs:
        ready, _, _ = select.select([r.process.stdout for r in open_runs], [], [], 10)
        for r in open_runs:
            if r.process.stdout in ready:
                r.read()
        open_runs = [r for r in open_runs if len(r.found) < r.count]
    for r in runs:
        r.process.wait()
    return {r.name: r.found[: r.count] for r in runs}


class Session:
    """One solver kept running, for a search that asks many questions of
    the same growing set of assertions."""

    def __init__(self, name="z3"):
        self.process = subprocess.Popen(
            solver_command(name),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            bufsize=1,
        )
        self.say("(set-option :produce-models true)", "(set-logic QF_LIA)")

    def say(self, *commands):
        self.process.stdin.write("\n".join(commands) + "\n")
        self.process.stdin.flush()

    def ask(self, command):
        """A command's answer: one line, or a balanced s-expression."""
        self.say(command)
        text, depth = "", 0
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise ToolError(f"the solver stopped answering: {text.strip()}")
            text += line
            depth += line.count("(") - line.count(")")
            if depth <= 0 and text.strip():
                return text.strip()

    def close(self):
        try:
            self.say("(exit)")
        except BrokenPipeError:
            pass
        self.process.wait()
