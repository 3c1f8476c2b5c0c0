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

import ctypes
import dataclasses
import glob
import os
import re
import select
import shutil
import signal
import subprocess
import time

from .errors import ToolError

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
]
RESULTS = ["pthread_create@retval/d32", "fork@retval/i32", "execv@retval/d32"]
# However fast the clock runs, a run gets this much real time to get going
# before it is stopped for going on too long, and a day this much to stay
# quiet (seconds).
LEAST_REAL_RUN = 2.0
LEAST_REAL_QUIET = 0.3
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
    blocked: dict  # tid -> (pid, syscall, its first argument) at the stop
    alive: set  # the tasks still there at the stop
    ended: object  # an Ending, if it ended before the stop


def uftrace_command(executable, program, data):
    command = ["uftrace", "record", "--force", "-d", data]
    for wanted in ARGS + [program.printf]:
        command += ["-A", wanted]
    for wanted in RESULTS:
        command += ["-R", wanted]
    return command + [os.path.abspath(executable.path)]


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


def record(executable, program, speed, out_dir):
    """Runs the program under uftrace in a session of its own until its story
    is told, or it ends, or it has run for program.longest seconds, and
    returns a Recording. Leaves nothing behind, also when interrupted."""
    if shutil.which("uftrace") is None:
        raise ToolError("uftrace not found: install it (apt-get install uftrace)")
    if speed > 1 and not os.path.exists(FAKETIME_LIB):
        raise ToolError(
            f"--speed needs {FAKETIME_LIB}: install it (apt-get install faketime)"
        )
    data = os.path.join(out_dir, "uftrace.data")
    # Whatever the program leaves when its parent dies (child.out) comes back
    # here to be reaped.
    ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    tracer = subprocess.Popen(
        uftrace_command(executable, program, data),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=environment(speed),
        start_new_session=True,
    )
    try:
        recording = follow(tracer, program, speed, data)
    finally:
        out, err = stop(tracer)
        remove_leftovers(tracer.pid, data)
    recording.stdout = without_uftrace_stdout(recording.stdout + out)
    recording.stderr = without_uftrace_stderr(recording.stderr + err)
    return recording


def follow(tracer, program, speed, data):
    """Reads what the program writes until it should be stopped; the
    Recording so far, with the threads' blocked calls just before the stop."""
    out_fd, err_fd = tracer.stdout.fileno(), tracer.stderr.fileno()
    read = {out_fd: b"", err_fd: b""}
    open_fds = set(read)
    started = last_line = ending = None
    while ending is None:
        now = time.monotonic()
        if started is None and session_tasks(tracer.pid):
            started = last_line = now
        ready, _, _ = select.select(list(open_fds), [], [], 0.02)
        for fd in ready:
            chunk = os.read(fd, 65536)
            if not chunk:
                open_fds.discard(fd)
            elif fd == out_fd:
                last_line = now
            read[fd] += chunk
        out, err = (read[fd].decode(errors="replace") for fd in (out_fd, err_fd))
        if tracer.poll() is not None:
            ending = ending_of(tracer, err, now)
        elif started is not None and should_stop(
            program, speed, now - started, now - last_line, out, err
        ):
            break
    return Recording(
        data,
        speed,
        out,
        err,
        now if started is None else started,
        time.monotonic() if ending is None else ending.at,
        snapshot(tracer.pid) if ending is None else {},
        {tid for _, tid in session_tasks(tracer.pid)} if ending is None else set(),
        ending,
    )


def should_stop(program, speed, real, real_quiet, out, err):
    """Whether the story is told (and, for a day, has stayed quiet), or the
    run has gone on for program.longest of its seconds."""
    if program.told(out, err):
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


def session_tasks(sid):
    """(pid, tid) of every task of the session `sid`, but uftrace's own."""
    tasks = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[3]) != sid or os.readlink(f"/proc/{pid}/exe").endswith(
                "/uftrace"
            ):
                continue
            tasks += [(int(pid), int(tid)) for tid in os.listdir(f"/proc/{pid}/task")]
        except (OSError, IndexError, ValueError):
            continue
    return tasks


def snapshot(sid):
    """For every task of the run: tid -> (pid, the syscall it is blocked in,
    its first argument), as /proc shows them."""
    blocked = {}
    for pid, tid in session_tasks(sid):
        try:
            with open(f"/proc/{pid}/task/{tid}/syscall") as f:
                fields = f.read().split()
        except OSError:
            continue
        if len(fields) > 1 and fields[0].isdigit():
            blocked[tid] = (pid, int(fields[0]), int(fields[1], 16))
    return blocked


def stop(tracer):
    """Interrupts the whole session as Ctrl-C would, kills what is left and
    reaps every process, the orphans included; what was still unread."""
    try:
        os.killpg(tracer.pid, signal.SIGINT)
    except ProcessLookupError:
        pass
    try:
        out, err = tracer.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(tracer.pid, signal.SIGKILL)
        out, err = tracer.communicate()
    try:
        os.killpg(tracer.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    while True:
        try:
            if os.waitpid(-1, 0)[0] <= 0:
                break
        except ChildProcessError:
            break
    return out.decode(errors="replace"), err.decode(errors="replace")


def remove_leftovers(tracer_pid, data):
    """What a stopped run can leave in /dev/shm: uftrace's buffers, named
    after its session, and libfaketime's clock, named after each process."""
    pids, sessions = {tracer_pid}, set()
    try:
        with open(os.path.join(data, "task.txt")) as f:
            for line in f:
                pids.update(int(p) for p in re.findall(r"\bpid=(\d+)", line))
                sessions.update(re.findall(r"\bsid=(\w+)", line))
    except OSError:
        pass
    paths = []
    for pid in pids:
        paths += [f"/dev/shm/faketime_shm_{pid}", f"/dev/shm/sem.faketime_sem_{pid}"]
    for sid in sessions:
        paths += glob.glob(f"/dev/shm/uftrace-{sid}-*")
    for path in paths:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
