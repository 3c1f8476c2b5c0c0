# SPDX-License-Identifier: MIT
"""The processes of a recorded run, as /proc shows them: the tasks of its
session, what each is blocked in, and stopping every one of them, those
that left the session (setsid) included, with nothing left in /dev/shm.

The tool is made the subreaper of what it starts, so that a process whose
parent ended (child.out, or one that left the session) comes back to it to
be found, stopped and reaped."""

import ctypes
import glob
import os
import re
import select
import signal
import subprocess
import time

PR_SET_CHILD_SUBREAPER = 36
# How long the session gets to end after Ctrl-C, before it is killed.
GRACE = 10.0


def adopt_orphans():
    ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def stat_of(pid):
    """(parent pid, session id) of a process, or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[1]), int(fields[3])
    except (OSError, IndexError, ValueError):
        return None


def processes():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def session_tasks(sid):
    """(pid, tid) of every task of the session `sid`, but uftrace's own."""
    tasks = []
    for pid in processes():
        found = stat_of(pid)
        if found is None or found[1] != sid:
            continue
        try:
            if os.readlink(f"/proc/{pid}/exe").endswith("/uftrace"):
                continue
            tasks += [(pid, int(tid)) for tid in os.listdir(f"/proc/{pid}/task")]
        except OSError:
            continue
    return tasks


def snapshot(sid):
    """For every task of the run: tid -> (pid, the syscall it is blocked in,
    its first and third arguments), as /proc shows them."""
    blocked = {}
    for pid, tid in session_tasks(sid):
        try:
            with open(f"/proc/{pid}/task/{tid}/syscall") as f:
                fields = f.read().split()
        except OSError:
            continue
        if len(fields) > 3 and fields[0].isdigit():
            blocked[tid] = (pid, int(fields[0]), int(fields[1], 16), int(fields[3], 16))
    return blocked


def descendants(pid):
    """Every process below `pid`, the deepest last."""
    children = {}
    for p in processes():
        found = stat_of(p)
        if found is not None:
            children.setdefault(found[0], []).append(p)
    below, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            below.append(child)
            todo.append(child)
    return below


def stop(tracer):
    """Interrupts the session as Ctrl-C would, kills what is left of it and
    of everything else this process started (what left the session may
    still hold the tracer's pipes), and reaps them all; (what the tracer
    still wrote, the pids that were stopped)."""
    signal_group(tracer.pid, signal.SIGINT)
    try:
        tracer.wait(timeout=GRACE)
    except subprocess.TimeoutExpired:
        signal_group(tracer.pid, signal.SIGKILL)
        tracer.wait()
    signal_group(tracer.pid, signal.SIGKILL)
    stopped = {tracer.pid}
    for _ in range(50):
        left = descendants(os.getpid())
        stopped.update(left)
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        reap()
        if not left:
            break
        time.sleep(0.02)
    return drained(tracer.stdout), drained(tracer.stderr), stopped


def drained(stream):
    """What is left to read of a pipe whose writers are all gone."""
    found = []
    while True:
        ready, _, _ = select.select([stream], [], [], 1.0)
        chunk = os.read(stream.fileno(), 1 << 16) if ready else b""
        if not chunk:
            stream.close()
            return b"".join(found)
        found.append(chunk)


def signal_group(pgid, signum):
    try:
        os.killpg(pgid, signum)
    except (ProcessLookupError, PermissionError):
        pass


def reap():
    while True:
        try:
            if os.waitpid(-1, os.WNOHANG)[0] <= 0:
                return
        except ChildProcessError:
            return


def remove_leftovers(pids, data):
    """What a stopped run can leave in /dev/shm: uftrace's buffers, named
    after its session, and libfaketime's clock, named after each process."""
    pids, sessions = set(pids), set()
    try:
        with open(os.path.join(data, "task.txt"), errors="replace") as f:
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
