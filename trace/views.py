# SPDX-License-Identifier: MIT
"""What a recorded run shows beyond its calls, each worked out once and
shared by the rules, the pictures, the trace viewer's file and the page:
which thread is which, what each printed, who held mutex when, what the
semaphores and the free chairs counted, and how far the pauses strayed.

Every time is when uftrace saw a call begin or return. A thread really holds
mutex from some moment before its sem_wait returned to some moment after its
sem_post began, so the span from that return to that begin lies inside the
real one: two such spans that overlap prove two holders at once. Replaying
the counts, a post counts from when it began and a wait from when it
returned, so a count seen below 0 really was."""

import collections
import dataclasses
import functools

from .calls import printed
from .programs import CHAIRS, CUSTOMERS, START_COUNTS, customer_line


@dataclasses.dataclass(frozen=True)
class Section:
    """A thread's hold of mutex: from the return of its sem_wait to the
    start of its sem_post."""

    acquired: float
    released: float
    tid: int


@dataclasses.dataclass(frozen=True)
class Count:
    """A semaphore's count after a post began or a wait returned."""

    at: float
    sem: str
    value: int
    tid: int
    call: object


@dataclasses.dataclass(frozen=True)
class Chairs:
    """The free chairs after a thread's section: a customer's sit-down line
    takes one (counted when he writes it), the barber gives one back
    (counted when he lets go of mutex)."""

    at: float
    free: int
    section: Section


class Views:
    def __init__(self, run):
        self.run = run

    @functools.cached_property
    def names(self):
        """tid -> what the reports, pictures and page call the thread."""
        return NAMES[self.run.name](self.run, self.lines)

    def name(self, tid):
        return self.names.get(tid, f"thread {tid}")

    @functools.cached_property
    def lines(self):
        """tid -> [(time, text)] of what each thread printed."""
        out = collections.defaultdict(list)
        for c in self.run.done("printf", "puts"):
            out[c.tid].append((c.start, printed(c)))
        return out

    def prints(self, tid):
        return [c for c in self.run.calls_of(tid, "printf", "puts") if c.end]

    @functools.cached_property
    def sections(self):
        """Every thread's holds of mutex, in the order they were taken (one
        still held at the stop ends there), and [(time, tid, what)] of the
        takes and gives out of turn."""
        spans, misuse = [], []
        for tid in self.run.threads():
            since = None
            for c in self.run.calls_of(tid, "sem_wait", "sem_post"):
                if c.sem != "mutex":
                    continue
                if c.name == "sem_wait":
                    if since is not None:
                        misuse.append((c.start, tid, "takes mutex again, holding it"))
                    if c.end is not None:
                        since = c.end
                elif since is None:
                    misuse.append((c.start, tid, "posts mutex without holding it"))
                else:
                    spans.append(Section(since, c.start, tid))
                    since = None
            if since is not None:  # still held when the run was stopped
                spans.append(Section(since, self.run.stop, tid))
        return sorted(spans, key=lambda s: (s.acquired, s.tid)), misuse

    def holding(self, tid, at):
        """Whether thread `tid` held mutex at time `at`."""
        return any(
            s.tid == tid and s.acquired <= at <= s.released for s in self.sections[0]
        )

    @functools.cached_property
    def start_counts(self):
        """semaphore -> the count its sem_init gave it."""
        return {
            c.sem: c.args[1]
            for c in self.run.calls
            if c.name == "sem_init" and len(c.args) > 1
        }

    @functools.cached_property
    def counts(self):
        """Each semaphore's count after every post and completed wait,
        replayed from what sem_init set (or, with no sem_init recorded,
        from the counts the program is meant to start at)."""
        events = []
        for c in self.run.calls:
            if c.name == "sem_post":
                events.append((c.start, 0, c, +1))
            elif c.name == "sem_wait" and c.end is not None:
                events.append((c.end, 1, c, -1))
        count = {**START_COUNTS, **self.start_counts}
        steps = []
        for at, _, c, step in sorted(events, key=lambda e: (e[0], e[1])):
            count[c.sem] = count.get(c.sem, 0) + step
            steps.append(Count(at, c.sem, count[c.sem], c.tid, c))
        return steps

    @functools.cached_property
    def facts(self):
        """What the rules' sentences speak of: the chairs and customers, from
        the executable's debug information (the customers otherwise from
        the threads the driver created), and the barber's haircut, from the
        pause he asks for."""
        run, facts = self.run, {}
        if CHAIRS in run.constants:
            facts["chairs"] = run.constants[CHAIRS]
        created = [c for c in run.calls_of(run.main_pid, "pthread_create")]
        facts["customers"] = run.constants.get(CUSTOMERS, max(len(created) - 1, 0))
        barber = self.tid_of("barber")
        asked = [c.args[0] for c in run.calls_of(barber, "sleep") if c.args]
        if asked:
            facts["haircut"] = asked[0]
        return facts

    def tid_of(self, name):
        return next((t for t, n in self.names.items() if n == name), None)

    @functools.cached_property
    def chairs(self):
        """The free chairs after each section, replayed from the number of
        chairs; [] when that number is not known."""
        free = self.facts.get("chairs")
        if free is None:
            return []
        barber = self.tid_of("barber")
        steps = []
        for s in self.sections[0]:
            sat = [
                c
                for c in self.prints(s.tid)
                if s.acquired <= c.start <= s.released and sat_down(c)
            ]
            if s.tid == barber:
                free += 1
                steps.append(Chairs(s.released, free, s))
            elif sat:
                free -= 1
                steps.append(Chairs(sat[0].start, free, s))
            else:
                steps.append(Chairs(s.released, free, s))
        return steps

    @functools.cached_property
    def drift(self):
        """How far the run's pauses strayed from what the program asked for,
        in program seconds: (the largest stray, the pause), or (0, None)."""
        worst = (0.0, None)
        for c in self.run.done("sleep", "usleep"):
            if not c.args:
                continue
            asked = c.args[0] * (1e-6 if c.name == "usleep" else 1.0)
            stray = abs((c.end - c.start) - asked)
            if stray > worst[0]:
                worst = (stray, c)
        return worst


def sat_down(call):
    line = customer_line(printed(call))
    return line is not None and line[1] is not None


def barber_names(run, lines):
    """The driver, the barber, and each customer by the id he printed (by
    the order he came in, if he printed none)."""
    names = {run.main_pid: "driver"}
    rest = [t for t in run.threads(run.main_pid) if t != run.main_pid]
    barbers = [t for t in rest if run.routine_of.get(t) == "_barber"] or rest[:1]
    for tid in barbers[:1]:
        names[tid] = "barber"
    customers = [t for t in rest if t not in names]
    for k, tid in enumerate(customers):
        said = [customer_line(text) for _, text in lines.get(tid, [])]
        ids = [s[0] for s in said if s is not None]
        names[tid] = f"customer {ids[0] if ids else k}"
    return names


def pairtick_names(run, lines):
    return {
        t: ("main thread" if t == run.main_pid else "thread1")
        for t in run.threads(run.main_pid)
    }


def tallyduel_names(run, lines):
    return {
        t: ("main thread (+1)" if t == run.main_pid else "thread1 (-1)")
        for t in run.threads(run.main_pid)
    }


def parent_names(run, lines):
    names = {run.main_pid: "parent"}
    for pid in set(run.pid_of.values()) - {run.main_pid}:
        exe = run.exe_of.get(pid, "")
        names[pid] = "child.out" if exe.endswith("/child.out") else "new process"
    return names


NAMES = {
    "barber": barber_names,
    "pairtick": pairtick_names,
    "tallyduel": tallyduel_names,
    "parent": parent_names,
}
