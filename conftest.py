# SPDX-License-Identifier: MIT
"""What the Python tests share: the build they test (BUILD_DIR, default the
default preset's) and a way to build a changed copy of a program."""

import os
import subprocess

import pytest

ROOT = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("BUILD_DIR", os.path.join(ROOT, "build", "default"))


@pytest.fixture(scope="session")
def build():
    """The folder of the built programs."""
    return BUILD


@pytest.fixture(scope="session")
def root():
    """The project's root folder."""
    return ROOT


def changed_copy(folder, source, edits, name, flags=("-O2",)):
    """Builds a copy of the source file `source` (from the project's root)
    with each (old, new) of `edits` made once, as the executable `name` in
    `folder`; its path. Each `old` must be in the source, so that a change
    of the source cannot quietly make an edit miss."""
    with open(os.path.join(ROOT, source)) as f:
        text = f.read()
    for old, new in edits:
        assert old in text, f"{source} no longer holds {old!r}"
        text = text.replace(old, new, 1)
    copy = os.path.join(folder, os.path.basename(source))
    with open(copy, "w") as f:
        f.write(text)
    command = ["c++", "-std=c++20", *flags, "-g", "-pthread"]
    command += [
        "-I",
        os.path.join(ROOT, "common"),
        "-o",
        os.path.join(folder, name),
        copy,
    ]
    if "get_time.h" in text:
        command.append(os.path.join(ROOT, "common", "get_time.cpp"))
    subprocess.run(command, check=True)
    return os.path.join(folder, name)


def settle_pairs(lines):
    """Customers 11 and 12, and 15 and 16, arrive together: either may take
    the last chair, and their lines may come in either order. Written as 11
    and 15 sitting, first, as tests/barber_day.txt has them."""
    lines = list(lines)
    for a, b in ((11, 12), (15, 16)):
        sit = "Customer whose id = {} has sit down! Free seat = 0"
        gone = "Customer whose id = {} has gone away!"
        ways = ({sit.format(a), gone.format(b)}, {sit.format(b), gone.format(a)})
        for i in range(len(lines) - 1):
            if set(lines[i : i + 2]) in ways:
                lines[i : i + 2] = [sit.format(a), gone.format(b)]
    return lines


@pytest.fixture
def changed(tmp_path):
    """changed(source, edits, name="program"): a changed copy, built."""

    def build_it(source, edits, name="program"):
        return changed_copy(str(tmp_path), source, edits, name)

    return build_it


# What a tool left behind: processes, and files in /dev/shm.


def running_in(folder):
    """The processes whose working directory is `folder`: what a tool run
    there started."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.path.samefile(os.readlink(f"/proc/{pid}/cwd"), folder):
                found.append(int(pid))
        except OSError:
            continue
    return found


def leftovers(ids):
    """What uftrace (a file per session and task) or libfaketime (a file
    per process) left in /dev/shm of the tasks `ids`."""
    found = set()
    for name in os.listdir("/dev/shm"):
        words = name.replace("faketime_shm_", "faketime-").replace(
            "sem.faketime_sem_", "faketime-"
        )
        parts = words.split("-")
        if parts[0] in ("uftrace", "faketime") and any(
            p.isdigit() and int(p) in ids for p in parts
        ):
            found.add(name)
    return found


def tasks_below(pid):
    """Every process and thread under `pid`."""
    found = set()
    for p in below(pid):
        try:
            found |= {int(t) for t in os.listdir(f"/proc/{p}/task")}
        except OSError:
            continue
    return found


def name_of(pid):
    """A live process's name; None when it is gone (or only a zombie)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read()
    except OSError:
        return None
    if fields.rsplit(")", 1)[1].split()[0] == "Z":
        return None
    return fields.split("(", 1)[1].rsplit(")", 1)[0]


def below(pid):
    """The processes under `pid`."""
    found, todo, parents = [], [pid], {}
    for p in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{p}/stat") as f:
                parents.setdefault(
                    int(f.read().rsplit(")", 1)[1].split()[1]), []
                ).append(int(p))
        except (OSError, IndexError):
            continue
    while todo:
        for child in parents.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found
