# SPDX-License-Identifier: MIT
"""Records one run of a built, unmodified program with uftrace.

uftrace patches the program's calls into the C library as it loads, so the
program runs as built: no hook, flag or change in it. It writes each call
down, per thread and with its time, when the call returns; what the calls'
arguments are is told it here (ARGS). The run goes on until the program's
story is told (Program.told), then it is stopped as Ctrl-C would stop it,
with everything it started, and nothing is left behind: no process, and none
of uftrace's or libfaketime's files in /dev/shm.

The calls a thread is still blocked in at the stop would be missing, so just
before it the kernel is asked instead: /proc/PID/task/TID/syscall shows a
thread blocked in sem_wait as a futex wait on the semaphore's own address.

Under --speed N, libfaketime makes every pause N times shorter while
uftrace's time stamps stay real (DONT_FAKE_MONOTONIC=1).
"""

import codecs
import dataclasses
import fcntl
import os
import re
import select
import shutil
import subprocess
import time

from tools import files
from tools.errors import ToolError

from . import processes

FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
# What the calls' arguments and results are, for uftrace to record them.
ARGS = [
    "sem_init@arg1,arg3/u",
    "sem_wait@arg1",
    "sem_post@arg1",
    "pthread_create@arg3,arg4",
    "sleep@arg1/u",
    "usleep@arg1/u",
    "execv@arg1/s",
    "puts@arg1/s",
    "putchar@arg1/c",
]
RESULTS = ["pthread_create@retval/d32", "fork@retval/i32", "execv@retval/d32"]
# However fast the clock runs, a run gets this much real time to get going
# before it is stopped for going on too long, and a day this much to stay
# quiet (seconds).
LEAST_REAL_RUN = 2.0
LEAST_REAL_QUIET = 0.3
# A program that goes round without ever waiting (a thread that spins on a
# semaphore it takes and gives back) makes calls faster than they can be
# followed: past this much recording it is stopped, unjudged (bytes).
MOST_RECORDED = 16 << 20
# The program's output pipes hold this much, and are read this much at a
# time, so that a program that writes long lines is not kept waiting on the
# tracer between small reads (bytes; Linux lets anyone have up to 1 MB).
PIPE_SIZE = 1 << 20
# uftrace's own words: on stderr, and after a crash on stdout too.
UFTRACE_STDERR = re.compile(r"^(WARN|uftrace|mcount):")
UFTRACE_STDOUT = (
    "\nPlease report this bug to https://github.com/namhyung/uftrace/issues.\n\n"
)
DIED = re.compile(r"WARN: child terminated by signal: (\d+): (.*)")


@dataclasses.dataclass
class Ending:
    """How a program ended by itself: by a signal, or with an exit status
    that uftrace tells only as zero or not."""

    at: float  # monotonic
    signal: object = None  # "11: Segmentation fault"
    failed: bool = False  # exit status not 0


@dataclasses.dataclass
class Recording:
    data: str  # the uftrace.data folder
    speed: int
    stdout: str
    stderr: str  # the program's, without uftrace's own words
    started: float  # monotonic time the program started
    stopped: float  # monotonic time it was stopped, or ended
    blocked: dict  # tid -> (pid, syscall, its 1st and 3rd arguments) at the stop
    alive: set  # the tasks still there at the stop
    ended: object  # an Ending, if it ended before the stop
    path: str = ""  # the copy of the executable uftrace ran
    flooded: bool = False  # stopped for making calls faster than followed
    program: object = None


def argument_types(program):
    """function -> the types of the arguments uftrace shows of it, in the
    order it shows them ("s" a string, others numbers), from what it was
    told to record."""
    found = {}
    for asked in ARGS + [program.printf]:
        name, args = asked.split("@", 1)
        found[name] = [arg.partition("/")[2] or "x" for arg in args.split(",")]
    return found


def uftrace_command(program, data, path):
    command = ["uftrace", "record", "--force", "-d", data]
    for wanted in ARGS + [program.printf]:
        command += ["-A", wanted]
    for wanted in RESULTS:
        command += ["-R", wanted]
    return command + [path]


def environment(speed):
    # uftrace hooks a library function when its first call is resolved, and
    # a call made by another thread while that first call is still blocked
    # (the barber's first sem_wait) goes past the hook unrecorded. Resolving
    # every function at load time closes that gap.
    env = dict(os.environ, LD_BIND_NOW="1")
    if speed > 1:
        env.update(
            LD_PRELOAD=FAKETIME_LIB, FAKETIME=f"+0 x{speed}", DONT_FAKE_MONOTONIC="1"
        )
    return env


def runnable(executable, folder):
    """A copy of the executable under a path uftrace does not cut: it cuts
    an executable's path at a space, and then names no call."""
    name = (
        re.sub(r"[^A-Za-z0-9._-]", "_", os.path.basename(executable.path)) or "program"
    )
    copy = os.path.join(folder, name)
    shutil.copy2(executable.path, copy)
    return copy


def record(executable, program, speed, out_dir):
    """Runs the program under uftrace in a session of its own until its story
    is told, or it ends, or it has run for program.longest seconds, and
    returns a Recording. Leaves nothing behind, also when stopped by a
    signal."""
    if shutil.which("uftrace") is None:
        raise ToolError("uftrace not found: install it (apt-get install uftrace)")
    if speed > 1 and not os.path.exists(FAKETIME_LIB):
        raise ToolError(
            f"--speed needs {FAKETIME_LIB}: install it (apt-get install faketime)"
        )
    data = os.path.join(out_dir, "uftrace.data")
    processes.adopt_orphans()
    folder = files.scratch("trace-run-")
    try:
        path = runnable(executable, folder)
        tracer = subprocess.Popen(
            uftrace_command(program, data, path),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=environment(speed),
            start_new_session=True,
        )
        try:
            recording = follow(tracer, program, speed, data)
        finally:
            out, err, stopped = processes.stop(tracer)
            processes.remove_leftovers(stopped, data)
    finally:
        files.remove(folder)
    recording.stdout = without_uftrace_stdout(
        recording.stdout + out.decode(errors="replace")
    )
    said = recording.stderr + err.decode(errors="replace")
    recording.stderr = without_uftrace_stderr(said)
    recording.path, recording.program = path, program
    if not recorded(data):
        theirs = [line for line in said.splitlines() if UFTRACE_STDERR.match(line)]
        raise ToolError(
            f"uftrace could not record: {theirs[0] if theirs else said.strip() or 'it said nothing'}"
        )
    return recording


def recorded(data):
    """Whether uftrace recorded a run at all: its task list names one."""
    try:
        with open(os.path.join(data, "task.txt"), errors="replace") as f:
            return any(line.startswith("SESS") for line in f)
    except OSError:
        return False


class Output:
    """What the program writes on one stream, kept as it comes, each piece
    decoded once: the story is fed each piece as it arrives, so that reading
    grows with the output, not with its square."""

    def __init__(self, fd, feed):
        self.fd, self.feed = fd, feed
        try:
            fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, PIPE_SIZE)
        except OSError:
            pass  # a smaller pipe only makes the reading slower
        self.decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        self.pieces, self.open = [], True

    def read(self):
        chunk = os.read(self.fd, PIPE_SIZE)
        if not chunk:
            self.open = False
            text = self.decoder.decode(b"", final=True)
        else:
            text = self.decoder.decode(chunk)
        self.pieces.append(text)
        self.feed(text)
        return bool(chunk)

    @property
    def text(self):
        return "".join(self.pieces)


def follow(tracer, program, speed, data):
    """Reads what the program writes until it should be stopped; the
    Recording so far, with the threads' blocked calls just before the stop."""
    story = program.told()
    out = Output(tracer.stdout.fileno(), story.feed)
    err = Output(tracer.stderr.fileno(), story.complain)
    started = last_line = ending = None
    flooded, weighed = False, time.monotonic()
    while ending is None:
        now = time.monotonic()
        if now - weighed > 0.25:
            weighed = now
            if recorded_bytes(data) > MOST_RECORDED:
                flooded = True
                break
        if started is None and processes.session_tasks(tracer.pid):
            started = last_line = now
        streams = [s for s in (out, err) if s.open]
        ready, _, _ = select.select([s.fd for s in streams], [], [], 0.02)
        for s in streams:
            if s.fd in ready and s.read() and s is out:
                last_line = now
        if tracer.poll() is not None and not out.open and not err.open:
            ending = ending_of(tracer, err.text, now)
        elif tracer.poll() is not None and not ready:
            ending = ending_of(tracer, err.text, now)
        elif started is not None and should_stop(
            program, story, speed, now - started, now - last_line
        ):
            break
    alive = ending is None
    return Recording(
        data,
        speed,
        out.text,
        err.text,
        now if started is None else started,
        time.monotonic() if alive else ending.at,
        processes.snapshot(tracer.pid) if alive else {},
        {tid for _, tid in processes.session_tasks(tracer.pid)} if alive else set(),
        ending,
        flooded=flooded,
    )


def recorded_bytes(data):
    """How much uftrace has written of the recording so far."""
    try:
        return sum(e.stat().st_size for e in os.scandir(data) if e.is_file())
    except OSError:
        return 0


def should_stop(program, story, speed, real, real_quiet):
    """Whether the story is told (and, for a day, has stayed quiet), or the
    run has gone on for program.longest of its seconds."""
    if story.told:
        if not program.quiet:
            return True
        if real_quiet * speed >= program.quiet and real_quiet >= LEAST_REAL_QUIET:
            return True
    return real * speed >= program.longest and real >= LEAST_REAL_RUN


def ending_of(tracer, err, now):
    died = DIED.search(err)
    if died:
        return Ending(now, signal=f"{died.group(1)}: {died.group(2)}")
    return Ending(now, failed=tracer.returncode != 0)


def without_uftrace_stdout(out):
    return out.replace(UFTRACE_STDOUT, "")


def without_uftrace_stderr(err):
    lines = err.splitlines(keepends=True)
    keep, theirs = [], False
    for line in lines:
        if UFTRACE_STDERR.match(line):
            theirs = True
        elif line.strip() or not theirs:
            keep.append(line)
            theirs = False
    return "".join(keep)
