# SPDX-License-Identifier: MIT
"""A recorded run as the rules, pictures and page read it: every library
call of every thread, with its arguments and times in the program's own
seconds from its start."""

import dataclasses
import re


@dataclasses.dataclass
class Call:
    """One library call of one thread."""

    pid: int
    tid: int
    name: str
    args: list
    ret: object
    start: float
    end: object  # None: still blocked in it when the run was stopped
    sem: object = None  # sem_init, sem_wait and sem_post: the semaphore's name


@dataclasses.dataclass
class Run:
    program: object  # the Program it is
    speed: int
    calls: list  # every call, in order of start
    stop: float  # when the run was stopped, or ended by itself
    stdout: str
    stderr: str
    main_pid: int
    exe_of: dict  # pid -> the program file it runs
    pid_of: dict  # tid -> pid, for every task
    constants: dict  # SEAT_MAX and the like, from the debug information
    routine_of: dict  # tid -> the routine its thread was started with
    alive: set  # the tasks still there when the run was stopped
    ended: object = None  # an Ending, when it ended by itself

    @property
    def name(self):
        return self.program.name

    def threads(self, pid=None):
        """The tasks, in the order they were created: the kernel numbers them
        in that order (until its numbers wrap around, far from here), while
        uftrace first sees each only when it makes its first call."""
        return [t for t in sorted(self.pid_of) if pid is None or self.pid_of[t] == pid]

    def calls_of(self, tid, *names):
        return [
            c for c in self.calls if c.tid == tid and (not names or c.name in names)
        ]

    def done(self, *names):
        """The calls of these names that returned."""
        return [c for c in self.calls if c.name in names and c.end is not None]


def printed(call):
    """The text a printf or puts call wrote."""
    if call.name == "puts":
        return call.args[0] + "\n"
    fmt, values = call.args[0], call.args[1:]
    fmt = re.sub(r"%l+([du])", r"%\1", fmt)
    try:
        return fmt % tuple(values[: fmt.count("%") - 2 * fmt.count("%%")])
    except (TypeError, ValueError):
        return fmt
