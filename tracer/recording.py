# SPDX-License-Identifier: MIT
"""Reads a Recording back into a Run: the tasks from uftrace's task.txt, the
calls from `uftrace replay`, the semaphores named through the executable's
symbols, and the calls still blocked at the stop from the kernel's word.

Times become the program's seconds from its start: under --speed N, real
seconds times N."""

import os
import re
import subprocess

from tools.errors import ToolError

from . import executable as elf
from .calls import Call, Run
from .output import line_up
from .record import argument_types

# Syscalls a blocked thread is seen in.
SYS_FUTEX = 202
SYS_CLOCK_NANOSLEEP = 230
REPLAY_LINE = re.compile(
    r"^\s*(?:([\d.]+)\s+(ns|us|ms|s|m|h))?\s+\[\s*(\d+)\]\s+([\d.]+) \| (.*)$"
)
UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0, "h": 3600.0}


def parse_args(text, types):
    """The arguments of a replayed call, read from the right, as `types`
    (uftrace's, one for each argument shown: "s" a string, the others
    numbers) says: uftrace escapes no quote and no backslash in a string,
    so that only its place among the others tells where it ends."""
    args = []
    for kind in reversed(types[1:]):
        if kind == "s":
            close = text.rfind('"')
            opened = text.rfind(', "', 0, close)
            if close < 0 or opened < 0:
                return None
            args.insert(0, text[opened + 3 : close])
            text = text[:opened]
        else:
            m = re.search(r", (-?\d+|0x[0-9a-fA-F]+)$", text)
            if m is None:
                return None
            args.insert(0, number(m.group(1)))
            text = text[: m.start()]
    if types and types[0] == "s":
        if not (len(text) >= 2 and text[0] == '"' and text[-1] == '"'):
            return None
        return [text[1:-1]] + args
    if types:
        if not re.fullmatch(r"-?\d+|0x[0-9a-fA-F]+", text):
            return None
        return [number(text)] + args
    return args


def number(token):
    return int(token, 16) if token.startswith("0x") else int(token)


def read_tasks(data):
    """The sessions [(sid, pid)], and for every task its pid and when it was
    first seen (uftrace's monotonic seconds), from task.txt."""
    try:
        with open(os.path.join(data, "task.txt")) as f:
            tasks = f.read()
    except OSError:
        raise ToolError(f"nothing was recorded in {data}") from None
    sessions, exe_of, pid_of, first_seen = [], {}, {}, {}
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
    return sessions, exe_of, pid_of, first_seen


def load_base(data, sid, exe):
    """Where the program file was loaded in a session's process."""
    try:
        with open(os.path.join(data, f"sid-{sid}.map")) as f:
            for line in f:
                if line.rstrip().split(" build-id")[0].endswith(exe):
                    return int(line.split("-")[0], 16)
    except OSError:
        pass
    return 0


def addresses(executable, ran, data, sessions, exe_of):
    """(pid, address) -> symbol name, for the semaphores and everything the
    program defines, in each of its processes that runs it (from `ran`)."""
    named = {}
    for sid, pid in sessions:
        if os.path.realpath(exe_of[pid]) != os.path.realpath(ran):
            continue
        base = (
            load_base(data, sid, exe_of[pid]) if executable.position_independent else 0
        )
        for name, offset in executable.defined.items():
            named[(pid, offset + base)] = name
    return named


def replay(data):
    """uftrace's replay of a recording, as lines: split at line feeds only,
    for a string it shows may hold a carriage return, and decoded with a
    mark for a byte that is not UTF-8."""
    result = subprocess.run(
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
    )
    if result.returncode != 0:
        said = result.stderr.decode(errors="replace").strip()
        raise ToolError(f"uftrace cannot read {data}: {said}")
    return result.stdout.decode(errors="replace").split("\n")


def calls_of(lines, types, pid_of, named, seconds):
    """The replayed calls, each with its program times; `types` gives each
    function's arguments' types, as uftrace was told them."""
    calls, open_calls = [], {}
    for line in lines:
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
                    call.ret = parse_args(r.group(1), ["d"])
                    call.ret = call.ret[0] if call.ret else None
            continue
        c = re.match(r"(\w+)\((.*)\)( \{| = (.*);|;)$", body.strip())
        if not c:
            continue
        name, args, tail, ret = c.groups()
        parsed = parse_args(args, types.get(name, [])) if args else []
        call = Call(pid, tid, name, parsed or [], None, seconds(stamp), None)
        if ret is not None:
            found = parse_args(ret, ["d"])
            call.ret = found[0] if found else None
        if tail == " {":
            open_calls[tid] = call
        else:
            call.end = seconds(stamp + float(dur) * UNITS[unit]) if dur else call.start
        if name in ("sem_init", "sem_wait", "sem_post") and call.args:
            found = named.get((pid, call.args[0]))
            call.sem = found if found is not None else hex(call.args[0])
        calls.append(call)
    return calls


def blocked_calls(blocked, calls, pid_of, named, stop_at, semaphores, created):
    """The calls still blocked at the stop, as the kernel showed them; each
    began after its thread's last recorded call, or, for a thread that made
    none, when it was created."""
    found = []
    for tid, (pid, nr, arg, value) in blocked.items():
        if tid not in pid_of:
            continue
        sem = named.get((pid, arg))
        if nr == SYS_FUTEX and sem in semaphores:
            call = Call(pid, tid, "sem_wait", [arg], None, stop_at, None, sem)
        elif nr == SYS_CLOCK_NANOSLEEP:
            call = Call(pid, tid, "sleep", [], None, stop_at, None)
        elif nr == SYS_FUTEX and value != tid and pid_of.get(value) == pid:
            # pthread_join waits until the thread's id, which it waits on,
            # is cleared; any other wait (a lock of stdout) is not known.
            call = Call(pid, tid, "pthread_join", [], None, stop_at, None)
        else:
            continue
        call.from_stop = True
        mine = [c for c in calls if c.tid == tid]
        if mine:
            call.start = max(c.end if c.end is not None else c.start for c in mine)
        elif tid in created and created[tid].end is not None:
            call.start = created[tid].end
        found.append(call)
    return found


def routines(calls, pid_of, named):
    """(tid -> the routine its thread was started with, tid -> the
    pthread_create that started it): the k-th thread a process created (the
    kernel numbers them in order) runs the routine of its k-th
    pthread_create."""
    routine_of, created = {}, {}
    for pid in set(pid_of.values()):
        creates = [c for c in calls if c.pid == pid and c.name == "pthread_create"]
        started = [t for t in sorted(pid_of) if pid_of[t] == pid and t != pid]
        for create, tid in zip(creates, started):
            created[tid] = create
            if create.args:
                routine_of[tid] = named.get((pid, create.args[0]))
        routine_of[pid] = "main"
    return routine_of, created


def load(executable, program, recording):
    """Reads a Recording of `program`, run from `executable`, into a Run."""
    data, speed = recording.data, recording.speed
    sessions, exe_of, pid_of, first_seen = read_tasks(data)
    t0 = min(first_seen.values())

    def seconds(stamp):
        return (stamp - t0) * speed

    named = addresses(
        executable, recording.path or executable.path, data, sessions, exe_of
    )
    calls = calls_of(replay(data), argument_types(program), pid_of, named, seconds)
    stop_at = seconds(recording.stopped)
    semaphores = {c.sem for c in calls if c.name == "sem_init"}
    routine_of, created = routines(calls, pid_of, named)
    calls += blocked_calls(
        recording.blocked, calls, pid_of, named, stop_at, semaphores, created
    )
    if not calls:
        raise ToolError(f"nothing was recorded in {data}")
    calls.sort(key=lambda c: (c.start, c.tid))
    run = Run(
        program,
        speed,
        calls,
        stop_at,
        recording.stdout,
        recording.stderr,
        sessions[0][1],
        exe_of,
        pid_of,
        elf.constants(executable, program.constants),
        routine_of,
        recording.alive,
        recording.ended,
        executable,
    )
    run.lined_up = line_up(calls, recording.stdout, program.words)
    run.created = created
    return run
