# SPDX-License-Identifier: MIT
"""Runs the guide's commands as a reader would: in bash, with job control as
in a terminal, from the root of a scratch copy of the project (its files and
the built programs in build/default), with what it writes in one stream as
a terminal shows it. A command that fails, a program still running at the
end, or what libfaketime and uftrace leave in /dev/shm is found and
reported, and cleaned away."""

import dataclasses
import os
import shutil
import signal
import subprocess
import threading
import time

from conftest import leftovers, tasks_below

from docs.blocks import ROOT

# The status of every command that fails, and its line, as bash's ERR trap
# tells them.
PROLOGUE = 'set -m\ntrap \'echo "$? $((LINENO - 2))" >> "$DOCS_FAILED"\' ERR\n'
PROGRAMS = ("barber", "pairtick", "tallyduel", "parent", "child.out")
GRACE = 5.0  # seconds for all of it to end after Ctrl-C
# How many times a command that records a program's pace may be run to get
# a run a busy machine did not hold back.
PACED_RUNS = 3


@dataclasses.dataclass
class Ran:
    output: str
    status: object  # bash's exit status; None when stopped at the deadline
    failed: list  # [(status, line)] of every command that failed
    still_running: bool  # at the deadline
    left: list  # what was left behind: "pid name" and /dev/shm names
    took: float


def scratch(folder, build):
    """A copy of the project in `folder`: its files as git knows them (and
    new ones not ignored), and the built programs of `build`."""
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT,
        capture_output=True,
        check=True,
    ).stdout.split(b"\0")
    for name in filter(None, (x.decode() for x in listed)):
        source = os.path.join(ROOT, name)
        if not os.path.isfile(source):
            continue
        target = os.path.join(folder, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        try:
            shutil.copy2(source, target)
        except FileNotFoundError:
            pass  # a file of the work in progress, gone since it was listed
    programs = os.path.join(folder, "build", "default")
    os.makedirs(programs, exist_ok=True)
    for name in PROGRAMS:
        shutil.copy2(os.path.join(build, name), programs)
    os.makedirs(os.path.join(folder, "tmp"), exist_ok=True)
    return folder


def session_of(sid):
    """The processes of a session, but zombies (init reaps them)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == sid and fields[0] != "Z":
            found.append(int(pid))
    return found


def interrupt(sid):
    """Ctrl-C, to every process of the session."""
    for pid in session_of(sid):
        try:
            os.kill(pid, signal.SIGINT)
        except ProcessLookupError:
            pass


def run(text, folder, deadline=None, timeout=150):
    """Runs a block of commands in the scratch copy `folder`; a Ran."""
    failed_file = os.path.join(folder, "tmp", ".failed")
    open(failed_file, "w").close()
    began = time.monotonic()
    bash = start(text, folder, failed_file)
    chunks = []
    reader = threading.Thread(target=lambda: chunks.extend(iter(bash.stdout.read, b"")))
    reader.start()
    ids, still_running = watch(bash, deadline or timeout)
    left = clear(bash, ids)
    reader.join(GRACE)
    with open(failed_file) as f:
        failed = [tuple(int(x) for x in line.split()) for line in f]
    return Ran(
        b"".join(chunks).decode(errors="replace"),
        None if still_running else bash.returncode,
        failed,
        still_running,
        left,
        time.monotonic() - began,
    )


def start(text, folder, failed_file):
    """bash on the block, in a session of its own, its stdout and stderr
    one pipe."""
    script = os.path.join(folder, "tmp", ".block.sh")
    with open(script, "w") as f:
        f.write(PROLOGUE + text)
    env = dict(os.environ, TMPDIR=os.path.join(folder, "tmp"), DOCS_FAILED=failed_file)
    # As from a terminal: Ctrl-C is not ignored, whatever started the tests.
    return subprocess.Popen(
        ["env", "--default-signal=INT", "bash", script],
        cwd=folder,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        env=env,
        start_new_session=True,
    )


def watch(bash, limit):
    """Waits for the block to end, or Ctrl-C's it after `limit` seconds;
    either way gives what it started GRACE to end, as a signal the block
    sent takes its time on a busy machine: (every task it had, whether it
    still ran)."""
    ids, began = set(), time.monotonic()
    while bash.poll() is None and time.monotonic() - began < limit:
        ids |= tasks_below(bash.pid) | {bash.pid}
        time.sleep(0.1)
    still_running = bash.poll() is None
    if still_running:
        interrupt(bash.pid)
    stopped = time.monotonic()
    while session_of(bash.pid) and time.monotonic() - stopped < GRACE:
        time.sleep(0.05)
    return ids, still_running


def clear(bash, ids):
    """Kills and removes what the block left behind; what it was."""
    left = []
    for pid in session_of(bash.pid):
        left.append(f"{pid} {name_of(pid)}")
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    bash.wait()
    for name in leftovers(ids):
        left.append(f"/dev/shm/{name}")
        try:
            os.unlink(f"/dev/shm/{name}")
        except FileNotFoundError:
            pass
    return left


def name_of(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return "?"


def problems(block, ran):
    """What is wrong with how a command block ran: [sentences]."""
    found = []
    deadline = block.option("deadline")
    status = int(block.option("status", 0))
    if deadline is not None and not ran.still_running:
        found.append(f"it ended (status {ran.status}) before its {deadline} s")
    if deadline is None and ran.still_running:
        found.append(f"it still ran after {ran.took:.0f} s")
    if deadline is None and not ran.still_running and ran.status != status:
        found.append(f"its status is {ran.status}, not {status}")
    wrong = [f for f in ran.failed if not (status and f == ran.failed[-1])]
    if deadline is None and wrong:
        found += [f"line {line} failed with status {s}" for s, line in wrong]
    within = block.option("within")
    if within is not None and ran.took > float(within):
        found.append(f"it took {ran.took:.0f} s, more than {within} s")
    if ran.left:
        found.append(f"it left behind: {', '.join(ran.left)}")
    return found
