# SPDX-License-Identifier: MIT
"""parent: a process that splits in two and starts child.out in the new
one, or, where there is no ./child.out, talks alone; as the tools know it."""

from . import Lines, Program
from ..rules import output_rule, periodic
from ..verdicts import Breach, rule

# The parent's and the child's lines, and what the new process says when it
# cannot run child.out.
PARENT_TALKS = "The parent is talking at %s.\n"
CHILD_TALKS = "The child is talking at %s.\n"
CANNOT_RUN_CHILD = "parent: cannot run ./child.out:"


class Story(Lines):
    """The parent has talked six times, and so has the child, unless the new
    process said it cannot run child.out."""

    def __init__(self):
        super().__init__()
        self.parent, self.child, self.said = 0, 0, ""

    def line(self, line):
        self.parent += line.startswith("The parent is talking")
        self.child += line.startswith("The child is talking")

    def complain(self, text):
        self.said = (self.said + text)[-4096:]

    @property
    def told(self):
        return self.parent >= 6 and (self.child >= 6 or CANNOT_RUN_CHILD in self.said)


def names(run, views):
    found = {run.main_pid: "parent"}
    for pid in set(run.pid_of.values()) - {run.main_pid}:
        exe = run.exe_of.get(pid, "")
        found[pid] = "child.out" if exe.endswith("/child.out") else "new process"
    return found


def new_process(run, views):
    return next((p for p in views.names if p != run.main_pid), None)


def exec_failed(run, views):
    """The new process's execv that returned, if it did."""
    child = new_process(run, views)
    return next((c for c in run.done("execv") if c.tid == child), None)


RULES = []
rule(RULES)(output_rule)


@rule(RULES)
def splits(run, views):
    """the parent splits off a second process"""
    if new_process(run, views) is not None and run.done("fork"):
        return []
    return [Breach(run.stop, "parent", "no second process")]


@rule(RULES)
def becomes_child_or_says_why(run, views):
    """the new process becomes ./child.out, or says why it cannot and ends"""
    child = new_process(run, views)
    failed = exec_failed(run, views)
    if failed is None:
        execs = [c for c in run.calls if c.name == "execv" and c.tid == child]
        ok = (
            views.names.get(child) == "child.out"
            and execs
            and execs[0].args[:1] == ["./child.out"]
        )
        return (
            []
            if ok
            else [Breach(run.stop, views.name(child), "does not become ./child.out")]
        )
    still = [c for c in run.calls if c.pid == child and c.end is None]
    if CANNOT_RUN_CHILD in run.stderr and not still and failed.ret == -1:
        return []
    return [Breach(failed.end, "new process", "does not say why, or does not end")]


@rule(RULES, whole_story=True)
def who_talks(run, views):
    """the parent talks, and so does child.out, unless its exec failed"""
    child = new_process(run, views)
    breaches = (
        []
        if views.lines.get(run.main_pid)
        else [Breach(run.stop, "parent", "never talks")]
    )
    talked = views.lines.get(child)
    if exec_failed(run, views) is None and not talked:
        breaches.append(Breach(run.stop, "child.out", "never talks"))
    elif exec_failed(run, views) is not None and talked:
        breaches.append(Breach(talked[0][0], "new process", "talks"))
    return breaches


@rule(RULES, paced=True)
def once_a_second(run, views):
    """each process that talks does so once a second"""
    return [b for pid in views.names for b in periodic(views, pid, 1.0, "talks")]


PROGRAM = Program(
    "parent",
    ("get_time",),
    ("thread1",),
    ("fork", "execv"),
    "printf@arg1/s,arg2/s",
    "processes/parent.cpp",
    20.0,
    Story,
    tuple(RULES),
    names,
)
