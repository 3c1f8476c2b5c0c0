# SPDX-License-Identifier: MIT
"""The two solvers, z3 and cvc5, each run as a program fed SMT-LIB2 on its
standard input (no solver binding), in a form both read: quoted symbols,
linear integer arithmetic, push and pop. Anything a solver says but sat,
unsat or unknown is a tool error, never an answer."""

import os
import select
import shutil
import subprocess
import time

from tools.errors import ToolError

SOLVERS = {
    "z3": ["z3", "-in"],
    "cvc5": ["cvc5", "--lang", "smt2", "--incremental", "--produce-models"],
}
ANSWERS = ("sat", "unsat", "unknown")


def command(name):
    found = SOLVERS[name]
    if shutil.which(found[0]) is None:
        raise ToolError(f"{found[0]} not found: install it (apt-get install {name})")
    return found


def started(name):
    return subprocess.Popen(
        command(name),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )


def declarations(names):
    return [f"(declare-const {n} Int)" for n in names]


class Solver:
    """One solver kept running, asked one question at a time."""

    def __init__(self, name):
        self.name, self.process = name, started(name)
        self.say("(set-option :produce-models true)", "(set-logic ALL)")

    def say(self, *commands):
        try:
            self.process.stdin.write("\n".join(commands) + "\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            raise ToolError(f"{self.name} stopped: {self.rest()}") from None

    def rest(self):
        return (self.process.stdout.read() or "no word").strip().splitlines()[0]

    def line(self):
        line = self.process.stdout.readline()
        if not line:
            raise ToolError(f"{self.name} stopped answering")
        return line.strip()

    def check(self):
        self.say("(check-sat)")
        answer = self.line()
        if answer not in ANSWERS:
            raise ToolError(f"{self.name} said: {answer}")
        return answer

    def values(self, names):
        """name -> its value in the model just found (int or bool)."""
        self.say(f"(get-value ({' '.join(names)}))")
        text, depth = "", 0
        while True:
            line = self.line()
            if line.startswith("(error"):
                raise ToolError(f"{self.name} said: {line}")
            text += " " + line
            depth += line.count("(") - line.count(")")
            if depth <= 0:
                return parse_values(text)

    def close(self):
        try:
            self.say("(exit)")
        except ToolError:
            pass
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def parse_values(text):
    """The ((name value) ...) of a get-value answer."""
    import re

    found = {}
    pattern = r"\((\|[^|]*\||[^\s()|]+)\s+(\(-\s*\d+\)|-?\d+|true|false)\)"
    for name, value in re.findall(pattern, text):
        if value in ("true", "false"):
            found[name] = value == "true"
        elif value.startswith("("):
            found[name] = -int(value[1:-1].replace("-", "").strip())
        else:
            found[name] = int(value)
    return found


def check_all(name, head, goals):
    """Starts a solver on `goals` (assertions, each checked on its own after
    `head`); an Answers to read its answers from."""
    script = ["(set-logic ALL)", *head]
    for goal in goals:
        script += ["(push 1)", f"(assert {goal})", "(check-sat)", "(pop 1)"]
    process = started(name)
    try:
        process.stdin.write("\n".join(script) + "\n(exit)\n")
        process.stdin.close()
    except BrokenPipeError:
        pass  # it stopped: what it said is read as its answers
    return Answers(name, process, len(goals))


class Answers:
    """A solver's answers to its goals, each with how long it took."""

    def __init__(self, name, process, count):
        self.name, self.process, self.count = name, process, count
        self.found, self.last, self.buffer = [], time.monotonic(), ""

    def read(self):
        """Reads what is there; called when its output is ready."""
        chunk = os.read(self.process.stdout.fileno(), 65536).decode()
        now = time.monotonic()
        if not chunk:
            said = self.buffer.strip() or f"exit status {self.process.wait()}"
            raise ToolError(f"{self.name} stopped before its last answer: {said}")
        self.buffer += chunk
        while "\n" in self.buffer:
            line, self.buffer = self.buffer.split("\n", 1)
            line = line.strip()
            if line in ANSWERS:
                self.found.append((line, now - self.last))
                self.last = now
            elif line:
                raise ToolError(f"{self.name} said: {line}")


def answers(runs):
    """Reads every solver's answers to the end: name -> [(answer, seconds)]."""
    open_runs = list(runs)
    try:
        while open_runs:
            ready, _, _ = select.select(
                [r.process.stdout for r in open_runs], [], [], 30
            )
            if not ready:
                raise ToolError("the solvers took more than 30 s over one goal")
            for r in open_runs:
                if r.process.stdout in ready:
                    r.read()
            open_runs = [r for r in open_runs if len(r.found) < r.count]
    finally:
        for r in runs:
            if r.process.poll() is None:
                r.process.kill()
            r.process.wait()
            r.process.stdout.close()
    return {r.name: r.found for r in runs}
