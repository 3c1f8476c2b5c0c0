# SPDX-License-Identifier: MIT
"""Records one run of a built, unmodified program with uftrace and reads it back.

uftrace patches the program's calls into the C library as it loads, so the
program runs as built: no hook, flag or change in it. What is recorded, per
thread and with time stamps: sem_wait and sem_post with the semaphore's
address, pthread_create, sleep and usleep, fork and execv, and every printf
and puts with its arguments, so that what each thread printed is known, and
sem_init with the count each semaphore starts at.

uftrace writes a call down only when it returns, so the calls a thread is
still blocked in when the run is stopped would be missing. Just before the
stop, the kernel is asked instead: /proc/PID/task/TID/syscall shows a thread
blocked in sem_wait as a futex wait on the semaphore's own address.

Times are the program's own seconds from its start. Under --speed N,
libfaketime makes every pause N times shorter while uftrace's monotonic time
stamps stay real (DONT_FAKE_MONOTONIC=1), so real seconds times N are the
program's seconds.
"""

import ctypes
import dataclasses
import os
import re
import select
import shutil
import signal
import subprocess
import time

FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
SEMAPHORES = ("barber_ready", "cust_ready", "mutex")
# What the calls' arguments are, for uftrace to record them.
COMMON_ARGS = [
    "sem_init@arg1,arg3/u",
    "sem_wait@arg1",
    "sem_post@arg1",
    "pthread_create@arg4",
    "sleep@arg1/u",
    "usleep@arg1/u",
    "execv@arg1/s",
    "puts@arg1/s",
]
RETURNS = ["pthread_create@retval/d32", "fork@retval/i32", "execv@retval/d32"]
PRINTF_ARGS = {
    "barber": "printf@arg1/s,arg2/d32,arg3/d32",
    "pairtick": "printf@arg1/s,arg2/u,arg3/s",
    "tallyduel": "printf@arg1/s,arg2/d32",
    "parent": "printf@arg1/s,arg2/s",
}
PROGRAMS = tuple(PRINTF_ARGS)
# Syscalls a blocked thread is seen in.
SYS_FUTEX = 202
SYS_CLOCK_NANOSLEEP = 230


class ToolError(Exception):
    """A usage or tool error: one line for the user, exit status 2."""


@dataclasses.dataclass
class Call:
    """One library call of one thread; times in the program's seconds."""

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
    program: str
    speed: int
    calls: list  # every call, in order of start
    stop: float  # when the run was stopped
    stdout: str
    stderr: str
    main_pid: int
    # pid -> the program file it runs, and tid -> pid, for every task.
    exe_of: dict
    pid_of: dict
    first_seen: dict  # tid -> when the task first showed up

    def threads(self, pid=None):
        """The tasks, in the order they started."""
        tids = sorted(self.first_seen, key=lambda t: (self.first_seen[t], t))
        return [t for t in tids if pid is None or self.pid_of[t] == pid]

    def calls_of(self, tid, *names):
        return [
            c for c in self.calls if c.tid == tid and (not names or c.name in names)
        ]


def program_of(executable):
    """The program a path is, known by its file name."""
    if not os.path.isfile(executable) or not os.access(executable, os.X_OK):
        raise ToolError(f"{executable}: not an executable file")
    name = os.path.basename(executable)
    if name not in PROGRAMS:
        raise ToolError(
            f"{executable}: not a program this tool knows; give the path of a "
            f"built {', '.join(PROGRAMS)}"
        )
    return name


# One whole story, in the program's seconds: a few seconds of the ticking
# programs; the barber's whole day, then long enough to see that nothing
# else happens (longer than a haircut), and never longer than a day that
# does not end could take.
STORY = {"pairtick": 6.0, "tallyduel": 10.0, "parent": 6.0}
QUIET = 6.0
LONGEST_DAY = 110.0


def day_over(out):
    """Whether the barber's output tells the whole day: every customer has
    written his line and every seated one has been served."""
    lines = out.decode(errors="replace").splitlines()
    sat = sum("has sit down!" in line for line in lines)
    gone = sum("has gone away!" in line for line in lines)
    served = sum(line.startswith("Barber has finished") for line in lines)
    return sat + gone == 20 and served == sat


@dataclasses.dataclass
class Recording:
    data: str  # the uftrace.data folder
    stdout: str
    stderr: str  # the program's, without uftrace's own messages
    stopped: float  # monotonic time of the stop
    blocked: dict  # tid -> (pid, syscall, its first argument) at the stop


def record(executable, speed, out_dir):
    """Runs the program under uftrace in a session of its own, stops it once
    its story is told and returns what it wrote and where each thread was
    blocked at the stop, as a Recording. Leaves no process behind."""
    program = program_of(executable)
    if shutil.which("uftrace") is None:
        raise ToolError("uftrace not found: install it (apt-get install uftrace)")
    if speed > 1 and not os.path.exists(FAKETIME_LIB):
        raise ToolError(
            f"--speed needs {FAKETIME_LIB}: install it (apt-get install faketime)"
        )
    data = os.path.join(out_dir, "uftrace.data")
    command = ["uftrace", "record", "--force", "-d", data]
    for wanted in COMMON_ARGS + [PRINTF_ARGS[program]]:
        command += ["-A", wanted]
    for wanted in RETURNS:
        command += ["-R", wanted]
    command.append(os.path.abspath(executable))
    # uftrace hooks a library function when its first call is resolved, and
    # a call made by another thread while that first call is still blocked
    # (the barber's first sem_wait) goes past the hook unrecorded. Resolving
    # every function at load time closes that gap.
    env = dict(os.environ, LD_BIND_NOW="1")
    if speed > 1:
        env.update(
            LD_PRELOAD=FAKETIME_LIB,
            FAKETIME=f"+0 x{speed}",
            DONT_FAKE_MONOTONIC="1",
        )
    # Whatever the program leaves when its parent dies (child.out) comes back
    # here to be reaped.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER

    tracer = subprocess.Popen(
        command,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        start_new_session=True,
    )
    started = time.monotonic()
    out, err = b"", b""
    end = STORY.get(program, LONGEST_DAY)
    streams = {tracer.stdout: "out", tracer.stderr: "err"}
    while streams:
        seconds = (time.monotonic() - started) * speed
        if seconds >= end:
            break
        if program == "barber" and end == LONGEST_DAY and day_over(out):
            end = seconds + QUIET
        ready, _, _ = select.select(list(streams), [], [], 0.02)
        for stream in ready:
            chunk = os.read(stream.fileno(), 65536)
            if not chunk:
                del streams[stream]
            elif streams[stream] == "out":
                out += chunk
            else:
                err += chunk
    blocked = snapshot(tracer.pid)
    stopped = time.monotonic()
    rest_out, rest_err = stop(tracer)
    out += rest_out
    err += rest_err
    for pid in {tracer.pid} | {pid for pid, _, _ in blocked.values()}:
        for name in (f"faketime_shm_{pid}", f"sem.faketime_sem_{pid}"):
            try:
                os.unlink(os.path.join("/dev/shm", name))
            except FileNotFoundError:
                pass
    stderr = "".join(
        line
        for line in err.decode(errors="replace").splitlines(keepends=True)
        if not line.startswith(("WARN: child terminated", "uftrace: "))
    )
    return Recording(data, out.decode(errors="replace"), stderr, stopped, blocked)


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
    reaps every process, the orphans included."""
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
    return out, err


def symbols(executable):
    """Offsets of the three semaphores in the executable file, by name."""
    try:
        nm = subprocess.run(
            ["nm", "-C", executable], capture_output=True, text=True, check=True
        ).stdout
    except (OSError, subprocess.CalledProcessError):
        raise ToolError(f"nm cannot read {executable}: install binutils") from None
    found = {}
    for line in nm.splitlines():
        m = re.match(r"([0-9a-f]+) [bBdD] (?:.*::)?(\w+)$", line)
        if m and m.group(2) in SEMAPHORES:
            found[int(m.group(1), 16)] = m.group(2)
    with open(executable, "rb") as f:
        position_independent = f.read(18)[16] == 3  # e_type ET_DYN
    return found, position_independent


REPLAY_LINE = re.compile(
    r"^\s*(?:([\d.]+)\s+(ns|us|ms|s|m|h))?\s+\[\s*(\d+)\]\s+([\d.]+) \| (.*)$"
)
UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0, "h": 3600.0}


def parse_args(text):
    """The arguments of a replayed call: numbers and C strings."""
    args, i = [], 0
    while i < len(text):
        if text[i] == '"':
            j, chars = i + 1, []
            while text[j] != '"':
                if text[j] == "\\":
                    j += 1
                    chars.append({"n": "\n", "t": "\t"}.get(text[j], text[j]))
                else:
                    chars.append(text[j])
                j += 1
            args.append("".join(chars))
            i = j + 1
        else:
            j = text.find(",", i)
            j = len(text) if j < 0 else j
            token = text[i:j].strip()
            if re.fullmatch(r"0x[0-9a-f]+", token):
                args.append(int(token, 16))
            elif re.fullmatch(r"-?\d+", token):
                args.append(int(token))
            else:
                args.append(token)
            i = j
        while i < len(text) and text[i] in ", ":
            i += 1
    return args


def load(executable, recording, speed):
    """Reads a Recording back into a Run."""
    program = os.path.basename(executable)
    data = recording.data
    try:
        with open(os.path.join(data, "task.txt")) as f:
            tasks = f.read()
    except OSError:
        raise ToolError(f"nothing was recorded in {data}") from None
    exe_of, pid_of, first_seen = {}, {}, {}
    sessions = []
    for line in tasks.splitlines():
        fields = dict(re.findall(r'(\w+)=("[^"]*"|\S+)', line))
        if line.startswith("SESS"):
            pid = int(fields["pid"])
            exe_of[pid] = fields["exename"].strip('"')
            sessions.append((fields["sid"], pid))
        elif line.startswith("TASK"):
            tid = int(fields["tid"])
            pid_of[tid] = int(fields["pid"])
            first_seen.setdefault(tid, float(fields["timestamp"]))
        elif line.startswith("FORK"):
            # A new process; it shows up as a task of its own only once it
            # runs a program of its own.
            pid = int(fields["pid"])
            pid_of[pid] = pid
            first_seen.setdefault(pid, float(fields["timestamp"]))
    if not first_seen or not sessions:
        raise ToolError(f"nothing was recorded in {data}")
    main_pid = sessions[0][1]
    t0 = min(first_seen.values())

    def seconds(stamp):
        return (stamp - t0) * speed

    first_seen = {tid: seconds(t) for tid, t in first_seen.items()}
    # Semaphore addresses in each process of the program, through its
    # symbols and where the file was loaded.
    offsets, pie = symbols(executable)
    sem_at = {}
    for sid, pid in sessions:
        if not exe_of[pid].endswith("/" + program):
            continue
        base = 0
        try:
            with open(os.path.join(data, f"sid-{sid}.map")) as f:
                for line in f:
                    if line.rstrip().split(" build-id")[0].endswith(exe_of[pid]):
                        base = int(line.split("-")[0], 16)
                        break
        except OSError:
            pass
        for offset, name in offsets.items():
            sem_at[(pid, offset + (base if pie else 0))] = name

    replay = subprocess.run(
        [
            "uftrace",
            "replay",
            "-d",
            data,
            "-f",
            "duration,tid,time",
            "--no-event",
            "--no-pager",
            "--no-comment",
        ],
        capture_output=True,
        text=True,
    )
    if replay.returncode != 0:
        raise ToolError(f"uftrace cannot read {data}: {replay.stderr.strip()}")
    calls, open_calls = [], {}
    for line in replay.stdout.splitlines():
        m = REPLAY_LINE.match(line)
        if not m:
            continue
        dur, unit, tid, stamp, body = m.groups()
        tid, stamp = int(tid), float(stamp)
        pid = pid_of.get(tid, tid)
        if body.startswith("}"):
            call = open_calls.pop(tid, None)
            if call is not None:
                call.end = seconds(stamp)
                r = re.match(r"\} = (\S+?);", body)
                if r:
                    call.ret = parse_args(r.group(1))[0]
            continue
        c = re.match(r"(\w+)\((.*)\)( \{| = (.*);|;)$", body.strip())
        if not c:
            continue
        name, args, tail, ret = c.groups()
        call = Call(pid, tid, name, parse_args(args), None, seconds(stamp), None)
        if ret is not None:
            call.ret = parse_args(ret)[0]
        if tail == " {":
            open_calls[tid] = call
        else:
            call.end = seconds(stamp + float(dur) * UNITS[unit]) if dur else call.start
        if name in ("sem_init", "sem_wait", "sem_post") and call.args:
            call.sem = sem_at.get((pid, call.args[0]), hex(call.args[0]))
        calls.append(call)
    # The calls still blocked at the stop, as the kernel showed them.
    stop_at = seconds(recording.stopped)
    for tid, (pid, nr, arg) in recording.blocked.items():
        if tid not in pid_of:
            continue
        if nr == SYS_FUTEX and (pid, arg) in sem_at:
            call = Call(
                pid, tid, "sem_wait", [arg], None, stop_at, None, sem_at[(pid, arg)]
            )
        elif nr == SYS_CLOCK_NANOSLEEP:
            call = Call(pid, tid, "sleep", [], None, stop_at, None)
        elif nr == SYS_FUTEX:
            call = Call(pid, tid, "pthread_join", [], None, stop_at, None)
        else:
            continue
        # It began after the thread's last recorded call.
        mine = [c for c in calls if c.tid == tid]
        if mine:
            call.start = max(c.end if c.end is not None else c.start for c in mine)
        calls.append(call)
    if not calls:
        raise ToolError(f"nothing was recorded in {data}")
    calls.sort(key=lambda c: (c.start, c.tid))
    return Run(
        program,
        speed,
        calls,
        stop_at,
        recording.stdout,
        recording.stderr,
        main_pid,
        exe_of,
        pid_of,
        first_seen,
    )


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
