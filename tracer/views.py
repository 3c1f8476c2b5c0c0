# SPDX-License-Identifier: MIT
"""What a recorded run shows beyond its calls, each worked out once and
shared by the rules, the pictures, the trace viewer's file and the page:
which thread is which, what each printed, who held mutex when, what the
semaphores counted, how far the pauses strayed, and where in the source
each call was made (the program's own facts, in its module, are kept here
too once worked out: memo).

Every time is when uftrace saw a call begin or return. A thread really holds
mutex from some moment before its sem_wait returned to some moment after its
sem_post began, so the span from that return to that begin lies inside the
real one: two such spans that overlap prove two holders at once. Replaying
the counts, a post counts from when it began and a wait from when it
returned, so a count seen below 0 really was."""

import collections
import dataclasses
import functools

from tools.errors import ToolError

from . import executable as elf
from .calls import printed
from .mapping import map_run

LOCK = "mutex"


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


class Views:
    def __init__(self, run):
        self.run = run
        self.memos = {}

    def memo(self, key, work):
        """What `work()` gives, worked out once."""
        if key not in self.memos:
            self.memos[key] = work()
        return self.memos[key]

    @functools.cached_property
    def names(self):
        """tid -> what the reports, pictures and page call the thread."""
        return self.run.program.names(self.run, self)

    def name(self, tid):
        return self.names.get(tid, f"thread {tid}")

    def tids_of(self, routine):
        """The threads started in `routine`, in the order they were made."""
        return [t for t in self.run.threads() if self.run.routine_of.get(t) == routine]

    def tid_of(self, name):
        return next((t for t, n in self.names.items() if n == name), None)

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
                if c.sem != LOCK:
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
        replayed from what sem_init set (a semaphore no recorded sem_init
        set is not replayed)."""
        events = []
        for c in self.run.calls:
            if c.name == "sem_post":
                events.append((c.start, 0, c, +1))
            elif c.name == "sem_wait" and c.end is not None:
                events.append((c.end, 1, c, -1))
        count = dict(self.start_counts)
        steps = []
        for at, _, c, step in sorted(events, key=lambda e: (e[0], e[1])):
            if c.sem not in count:
                continue
            count[c.sem] += step
            steps.append(Count(at, c.sem, count[c.sem], c.tid, c))
        return steps

    @functools.cached_property
    def stuck(self):
        """Whether at the stop nobody could move again: every thread of the
        program still there was blocked in a wait on a semaphore at 0, or
        in pthread_join."""
        count = {sem: n for sem, n in self.start_counts.items()}
        for c in self.counts:
            count[c.sem] = c.value
        alive = [t for t in self.run.threads(self.run.main_pid) if t in self.run.alive]
        if not alive or self.run.ended:
            return False
        for tid in alive:
            mine = self.run.calls_of(tid)
            last = mine[-1] if mine else None
            if last is None or last.end is not None:
                return False
            waiting = last.name == "sem_wait" and count.get(last.sem) == 0
            if not (waiting or last.name == "pthread_join"):
                return False
        return True

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

    @functools.cached_property
    def source(self):
        """(the program's Source, or None; why it cannot be read, or None)."""
        import reader

        path = elf.source_of(self.run.executable, "main")
        if path is None:
            return None, elf.why_no_source(self.run.executable, "main")
        try:
            return reader.read(path), None
        except ToolError as e:
            return None, f"its source cannot be read: {e}"

    @functools.cached_property
    def mapping(self):
        """The Mapping of the run's calls onto its source's lines; its
        why_not says why not, when they do not fit or there is no source."""
        from .mapping import Mapping

        source, why_not = self.source
        if source is None:
            return Mapping({}, why_not)
        return map_run(self.run, source)
