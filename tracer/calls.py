# SPDX-License-Identifier: MIT
"""A recorded run as the rules, pictures and page read it: every library
call of every thread, with its arguments and times in the program's own
seconds from its start; and what uftrace does to the text of a string it
records (it writes a line feed as \\n, escapes nothing else, and keeps 95
characters and "..." of a string longer than 97)."""

import dataclasses
import re

# uftrace keeps a string of up to this many characters whole.
WHOLE = 97
KEPT = 95
CUT = "..."


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
    # printf, puts: the text it wrote, from the program's output (set when
    # the prints are lined up with it), or None where that is not known.
    wrote: object = None
    from_stop: bool = False  # known only from the kernel's word at the stop


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
    executable: object = None  # the Executable it was recorded from
    # ([prints the output does not show], [pieces of it no print wrote])
    lined_up: tuple = ((), ())
    created: dict = dataclasses.field(default_factory=dict)  # tid -> its pthread_create

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


def as_recorded(text):
    """The text as uftrace writes a string it records."""
    shown = text.replace("\n", "\\n")
    return shown if len(shown) <= WHOLE else shown[:KEPT] + CUT


def same_text(recorded, written):
    """Whether uftrace's record of a string is that text, cut or not."""
    return (
        recorded is not None
        and written is not None
        and recorded == as_recorded(written)
    )


def cut(recorded):
    """Whether uftrace kept only the start of a string."""
    return (
        isinstance(recorded, str)
        and len(recorded) == KEPT + len(CUT)
        and recorded.endswith(CUT)
    )


CONVERSION = re.compile(r"%(%|l{0,2}[dius])")


def filled(fmt, values):
    """(the text a printf of this format and these values begins with,
    whether that is all it writes): %d, %i, %u and %s (each with l or ll)
    filled in as C fills them; from a conversion this does not know, or a
    value missing, on, the text is not known."""
    values, out, at = list(values), [], 0
    for m in CONVERSION.finditer(fmt):
        other = fmt.find("%", at, m.start())
        if other != -1:
            return "".join(out) + fmt[at:other], False
        out.append(fmt[at : m.start()])
        if m.group(1) == "%":
            out.append("%")
        elif not values or values[0] is None:
            return "".join(out), False
        else:
            out.append(str(values.pop(0)))
        at = m.end()
    other = fmt.find("%", at)
    if other != -1:
        return "".join(out) + fmt[at:other], False
    return "".join(out) + fmt[at:], True


def formatted(fmt, values):
    """A printf format filled in with its values; None where not all of it
    is known."""
    text, whole = filled(fmt, values)
    return text if whole else None


def kept(recorded):
    """What uftrace kept of a string, as text: without its "..." when it cut
    it, and without a last backslash that may be half of a line feed's
    \\n."""
    if not cut(recorded):
        return recorded.replace("\\n", "\n")
    head = recorded[: -len(CUT)]
    if head.endswith("\\"):
        head = head[:-1]
    return head.replace("\\n", "\n")


def values_of(call):
    """The values a print's format is filled in with, as uftrace recorded
    them: None for a string it cut; a string's line feeds its own."""
    return [
        None if cut(v) else kept(v) if isinstance(v, str) else v for v in call.args[1:]
    ]


def printed(call):
    """The text a printf or puts call wrote: from the output where the prints
    were lined up with it, else worked out from what uftrace recorded (None
    where uftrace cut the text, or the format is not one this knows)."""
    if call.wrote is not None:
        return call.wrote
    if not call.args or not isinstance(call.args[0], str) or cut(call.args[0]):
        return None
    text = call.args[0].replace("\\n", "\n")
    if call.name == "puts":
        return text + "\n"
    return formatted(text, values_of(call))
