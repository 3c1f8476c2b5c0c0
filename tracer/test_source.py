# SPDX-License-Identifier: MIT
"""The routines read from the source, checked against the machine code the
compiler made of them: every call the mapping can match to a line is a call
instruction on that line (and on that semaphore), and every such instruction
is a call step of the source, inlined down and up included. A change of the
source the reading does not fit fails here, not as a wrong lit line."""

import os
import re
import subprocess

import pytest

import reader
from tracer import executable as elf
from tracer import mapping

PROGRAMS = ["barber", "pairtick", "tallyduel", "parent"]
CALL = re.compile(r"^\s*([0-9a-f]+):\s+call\s+[0-9a-f]+ <(\w+)@plt>")
LEA = re.compile(r"lea\s+\S+,%(\w+)\s+# [0-9a-f]+ <(?:.*::)?(\w+)>")
MOV = re.compile(r"mov\s+%(\w+),%(\w+)$")
WRITES = re.compile(r",%(\w+)$")


def machine_calls(path):
    """(address, function called, semaphore whose address is in %rdi, or
    None) of every call into the C library of the matched kinds. The
    semaphore is followed through lea and register moves, in the order of
    the code."""
    text = subprocess.run(
        ["objdump", "-d", "-C", "--no-show-raw-insn", path],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    found, holds = [], {}
    for line in text.splitlines():
        if line.endswith(">:"):
            holds = {}
        m = CALL.match(line)
        if m:
            if m.group(2) in mapping.MATCHED:
                found.append((int(m.group(1), 16), m.group(2), holds.get("rdi")))
            for scratch in ("rdi", "rsi", "rdx", "rcx", "rax", "r8", "r9"):
                holds.pop(scratch, None)
            continue
        lea, mov, writes = LEA.search(line), MOV.search(line), WRITES.search(line)
        if lea:
            holds[lea.group(1)] = lea.group(2)
        elif mov:
            holds[mov.group(2)] = holds.get(mov.group(1))
        elif writes:
            holds.pop(writes.group(1), None)
    return found


def lines_of(path, addresses, wrapped):
    """address -> the line a reader looks at: the innermost frame of the
    inlined ones but a wrapper's (down's, up's, whose lines are `wrapped`)."""
    out = subprocess.run(
        ["addr2line", "-a", "-i", "-f", "-C", "-e", path] + [hex(a) for a in addresses],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.splitlines()
    found, address, frames = {}, None, []
    for line in out + ["0x0"]:
        if line.startswith("0x"):
            if address is not None:
                lines = [int(f[1].rsplit(":", 1)[1].split()[0]) for f in frames]
                found[address] = next((n for n in lines if n not in wrapped), lines[0])
            address, frames = int(line, 16), []
        elif frames and len(frames[-1]) == 1:
            frames[-1] = (frames[-1][0], line)
        else:
            frames.append((line,))
    return found


@pytest.mark.parametrize("name", PROGRAMS)
def test_every_call_step_is_a_call_on_its_line(build, name):
    path = os.path.join(build, name)
    exe = elf.read(path)
    src = reader.read(elf.source_of(exe, "main"))
    steps = {
        (s.function, s.line, s.sem)
        for r in src.routines.values()
        for s in r.steps.values()
        if mapping.matched(s)
    }
    calls = machine_calls(path)
    wrapped = {
        n for w in src.wrappers for n in range(src.spans[w][0], src.spans[w][1] + 1)
    }
    lines = lines_of(path, [a for a, _, _ in calls], wrapped)
    made = set()
    for address, called, sem in calls:
        if sem is None and called.startswith("sem_"):
            # The compiler kept the address where this reading cannot follow
            # it: the line and the function must still match.
            assert any(
                (s[0], s[1]) == (called, lines[address]) for s in steps
            ), f"{called} on line {lines[address]}"
            made.add(next(s for s in steps if (s[0], s[1]) == (called, lines[address])))
        else:
            made.add(
                (called, lines[address], sem if called.startswith("sem_") else None)
            )
    assert made == steps
