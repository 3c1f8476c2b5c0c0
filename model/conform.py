# SPDX-License-Identifier: MIT
"""model/conform: the program, its source and the model do the same,
checked by machine.

  model/conform [--speed N] [EXECUTABLE]

EXECUTABLE is a built barber (default build/default/barber), known by what
it contains, whatever the file is called; N is the speed it is recorded at
(default 10).

Records a real day of the program with trace/run's recording (uftrace, at
speed N, default 10) and takes, for each routine, the semaphore operations
and written lines its threads really performed, in order: the barber's
round, a customer who sits, a customer who goes away. Takes the same from
the routines model/prove reads from the program's source (every way
through _customer, every round of _barber), and from the model: SPIN
simulates shop.pml, built to print every operation it takes (-DTRACE_OPS),
on a few random days. A routine is known by the line it writes. What the
run did must be a way through the source's routines, and the model must do
just what the run did.

Exit status: 0 when they agree; 1 when they differ, with the first
difference side by side; 2 for a usage or tool error; 130 when interrupted.
"""

import collections
import os
import re
import shutil
import subprocess
import tempfile

from tools import cli, files
from tools.errors import ToolError
from tracer import executable as elf
from tracer.calls import printed
from tracer.programs.barber import BARBER_LINE, customer_line
from tracer.record import record
from tracer.recording import load

from . import system
from .prove import shop_of, shown_path

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

KINDS = {
    "barber": "the barber's round",
    "sit-down": "a customer who sits",
    "gone-away": "a customer who goes away",
    None: "a thread that writes no line",
}
SIMULATED_DAYS = 12
TOOL = "model/conform"


def line_kind(text):
    if text == BARBER_LINE + "\n":
        return "barber"
    line = customer_line(text)
    if line is None:
        return "other"
    return "gone-away" if line[1] is None else "sit-down"


def routines_of(ops_by_actor):
    """Each actor's operations, cut into the routines it ran: the barber's
    into rounds, each starting where he waits for a customer."""
    found = collections.defaultdict(collections.Counter)
    for ops in ops_by_actor.values():
        lines = [op.split(" ", 1)[1] for op in ops if op.startswith("line ")]
        kind = lines[0] if lines else None
        if not any(op.startswith(("down", "up")) for op in ops):
            continue  # the driver: no semaphore of its own
        if kind == "barber":
            rounds, current = [], []
            for op in ops:
                if op == "down cust_ready" and current:
                    rounds.append(current)
                    current = []
                current.append(op)
            rounds.append(current)
            for r in rounds:
                found[kind][tuple(r)] += 1
        else:
            found[kind][tuple(ops)] += 1
    return found


def program_routines(executable, program, speed):
    work = files.scratch("conform-")
    try:
        recording = record(executable, program, speed, work)
        if recording.ended:
            raise ToolError(f"{executable.path} ended before its day was over")
        run = load(executable, program, recording)
    finally:
        files.remove(work)
    ops = collections.defaultdict(list)
    for c in run.calls:
        if c.end is None:
            continue  # still blocked at the stop: not performed
        if c.name == "sem_wait":
            ops[c.tid].append(f"down {c.sem}")
        elif c.name == "sem_post":
            ops[c.tid].append(f"up {c.sem}")
        elif c.name in ("printf", "puts"):
            ops[c.tid].append(f"line {line_kind(printed(c))}")
    return routines_of(ops)


# How the source's lines are named here.
LINE_KINDS = {
    "lines:sit-down": "sit-down",
    "lines:gone-away": "gone-away",
    "lines:barber": "barber",
}


def op_of(step):
    """The operation a step of the source shows in a run, if any."""
    if step.kind != "call":
        return None
    if step.function in ("sem_wait", "sem_post"):
        return f"{'down' if step.function == 'sem_wait' else 'up'} {step.sem}"
    if step.prints is not None:
        return f"line {LINE_KINDS.get(system.LINES.get(step.prints), 'other')}"
    return None


def source_routines(executable):
    """Every way through _customer and every round of _barber, as read from
    the executable's source by model/prove's reader."""
    path = elf.source_of(executable, "_customer")
    if path is None:
        raise ToolError(
            f"{executable.path}: {elf.why_no_source(executable, '_customer')}"
        )
    shop = shop_of(path)
    found = collections.defaultdict(collections.Counter)

    def ops_after(place, ops):
        op = None if place.ended else op_of(place.step)
        return ops + [op] if op else ops

    def customer(place, ops):
        if place.ended:
            lines = [o.split(" ", 1)[1] for o in ops if o.startswith("line ")]
            found[lines[0] if lines else None][tuple(ops)] += 1
        for m in shop.moves:
            if m.who == "customer" and m.source is place:
                customer(m.target, ops_after(place, ops))

    def barber(place, ops, passed):
        for m in shop.moves:
            if m.who == "barber" and m.source is place:
                if m.target is shop.barbers[0]:
                    found["barber"][tuple(ops_after(place, ops))] += 1
                elif m.target.index not in passed:
                    barber(m.target, ops_after(place, ops), passed | {m.target.index})

    customer(shop.customers[0], [])
    barber(shop.barbers[0], [], {0})
    return path, found


def model_routines():
    if shutil.which("spin") is None:
        raise ToolError("spin not found: install it (apt-get install spin)")
    # spin leaves its preprocessed model in the folder it runs in: a scratch
    # one, never the project's own, which may be read-only or copied.
    with tempfile.TemporaryDirectory() as work:
        for model in ("shop.pml", "barber.pml"):
            shutil.copy(os.path.join(HERE, model), work)
        return routines_of(simulated_ops(work))


def simulated_ops(work):
    """(seed, pid, k) -> the ops of pid's k-th routine in the day that
    spin simulates with that seed, in `work`."""
    ops = collections.defaultdict(list)
    for seed in range(1, SIMULATED_DAYS + 1):
        sim = subprocess.run(
            ["spin", "-DTRACE_OPS", f"-n{seed}", "shop.pml"],
            cwd=work,
            capture_output=True,
            text=True,
        )
        if sim.returncode != 0:
            raise ToolError(f"spin cannot simulate shop.pml: {sim.stderr.strip()}")
        began = collections.Counter()
        for m in re.finditer(r"^\s*op (\d+) (.+)$", sim.stdout, re.M):
            pid, op = int(m.group(1)), m.group(2)
            if op == "begin":
                began[pid] += 1
            else:
                ops[(seed, pid, began[pid])].append(op)
    return ops


def side_by_side(name, program, other, what="model"):
    width = max([len("program")] + [len(op) for op in program]) + 2
    out = [
        f"{name}: the program and the {what} differ",
        f"   step  {'program':<{width}}{what}",
    ]
    for i in range(max(len(program), len(other))):
        a = program[i] if i < len(program) else "-"
        b = other[i] if i < len(other) else "-"
        out.append(f" {'>' if a != b else ' '} {i + 1:4}  {a:<{width}}{b}")
        if a != b:
            break
    return "\n".join(out)


def arguments():
    parser = cli.parser(TOOL, __doc__)
    parser.add_argument(
        "--speed", type=int, default=10, metavar="N", help="record at speed N"
    )
    parser.add_argument(
        "executable",
        nargs="?",
        default=os.path.join(ROOT, "build", "default", "barber"),
        help="a built barber (default build/default/barber)",
    )
    args = parser.parse_args()
    if args.speed < 1:
        raise ToolError(
            f"--speed takes a whole number of at least 1 (see {TOOL} --help)"
        )
    return args


def work():
    args = arguments()
    executable = elf.read(args.executable)
    program = elf.identify(executable)
    if program.name != "barber":
        raise ToolError(f"{args.executable} is {program.name}; the model is of barber")
    path, written = source_routines(executable)
    ran = program_routines(executable, program, args.speed)
    model = model_routines()
    differ = against_source(ran, written, path)
    differ |= against_model(ran, model)
    if differ:
        return 1
    print(f"{TOOL}: the program, its source and the model agree")
    return 0


def against_source(ran, written, path):
    """Prints whether what the run did is a way through the source's
    routines; whether it is not."""
    differ = False
    for kind, name in KINDS.items():
        mine, theirs = ran.get(kind, {}), written.get(kind, {})
        if set(mine) <= set(theirs):
            if mine:
                print(
                    f"agree  {name}, with {shown_path(path)}: {shown(next(iter(mine)))}"
                )
            continue
        differ = True
        a = next(s for s in mine if s not in theirs)
        b = theirs.most_common(1)[0][0] if theirs else ()
        print(side_by_side(f"{name} (against {shown_path(path)})", a, b, "source"))
    return differ


def against_model(ran, model):
    """Prints whether the model does just what the run did; whether not."""
    differ = False
    for kind, name in KINDS.items():
        if kind not in ran and kind not in model:
            continue
        mine, theirs = ran.get(kind, {}), model.get(kind, {})
        if set(mine) == set(theirs):
            print(
                f"agree  {name} ({sum(mine.values())} in the run, "
                f"{sum(theirs.values())} simulated): {shown(next(iter(mine)))}"
            )
            continue
        differ = True
        a = mine.most_common(1)[0][0] if mine else ()
        b = theirs.most_common(1)[0][0] if theirs else ()
        if a == b:  # the same usual sequence: show the one only one side has
            a = next((s for s in mine if s not in theirs), a)
            b = next((s for s in theirs if s not in mine), b)
        print(side_by_side(name, a, b))
    return differ


def main():
    cli.main(TOOL, work)


def shown(ops):
    return " ".join(f"[{op}]" for op in ops)


if __name__ == "__main__":
    main()
