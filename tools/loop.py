# SPDX-License-Identifier: MIT
"""./try: the whole loop on a changed copy of a program, in one command.

  ./try [--out DIR] SOURCE

Builds the program SOURCE is (barber, pairtick, tallyduel or parent, told
by what it defines), alone, into DIR (default try-NAME, NAME the
source's); for the barber, proves it with model/prove and writes its play
page (model/play); traces it with trace/run at a speed that judges every
rule; and prints the verdicts and the paths of both pages.

Exit status: 0 when it is proved (a barber) and breaks no rule; 1 when the
prover finds it wrong or a rule is broken; 2 for a source that does not
build, a bad argument or a tool error; 3 when the prover can decide
nothing or the program ended before its story was told; 128 + the
signal's number when stopped by one.
"""

import os
import re
import subprocess

from tools import cli
from tools.errors import ToolError

TOOL = "./try"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMMON = os.path.join(ROOT, "common")
# Fast enough to be quick, slow enough that every rule is judged on two
# busy cores.
SPEED = 20
# What each program's source defines, to tell them apart.
KNOWN = {
    "barber": ("_barber", "_customer", "barber_ready", "cust_ready", "mutex"),
    "tallyduel": ("child_thread", "thread1", "shared_var"),
    "pairtick": ("child_thread", "thread1"),
    "parent": ("fork", "execv"),
}


def arguments():
    parser = cli.parser(TOOL, __doc__)
    parser.add_argument(
        "--out", metavar="DIR", help="where everything goes (default try-NAME)"
    )
    parser.add_argument("source", help="a changed copy of a program's source")
    args = parser.parse_args()
    if args.out is not None and not args.out.strip():
        raise ToolError(f"--out takes the name of a folder (see {TOOL} --help)")
    if not os.path.isfile(args.source):
        raise ToolError(f"{args.source}: no such file")
    return args


def program_of(path):
    """Which program a source is, by the words it defines and calls (read
    as words, so that a source the reader refuses is still told)."""
    with open(path, errors="replace") as f:
        words = set(re.findall(r"\w+", f.read()))
    for name, wanted in KNOWN.items():
        if all(w in words for w in wanted):
            return name
    raise ToolError(f"{path} is none of the programs (it looked for {KNOWN})")


def build(source, program, out):
    """Builds the program into `out` as the build folder would; its path."""
    name = os.path.splitext(os.path.basename(source))[0] or program
    executable = os.path.join(out, name)
    command = [
        "c++",
        "-std=c++20",
        "-O2",
        "-g",
        "-pthread",
        "-I",
        COMMON,
        "-o",
        executable,
        source,
    ]
    if program in ("pairtick", "parent"):
        command.append(os.path.join(COMMON, "get_time.cpp"))
    made = subprocess.run(command, capture_output=True, text=True)
    if made.returncode != 0:
        said = (
            [line for line in made.stderr.splitlines() if "error" in line]
            or made.stderr.splitlines()
            or ["?"]
        )
        raise ToolError(f"{source} does not build: {said[0]}")
    if program == "parent":
        child = os.path.join(ROOT, "processes", "child.cpp")
        subprocess.run(
            [
                "c++",
                "-std=c++20",
                "-O2",
                "-g",
                "-I",
                COMMON,
                "-o",
                os.path.join(out, "child.out"),
                child,
                os.path.join(COMMON, "get_time.cpp"),
            ],
            check=True,
        )
    return executable


def tool(name, *args, cwd=None):
    return subprocess.run(
        [os.path.join(ROOT, name), *args], capture_output=True, text=True, cwd=cwd
    )


def proved(source, out):
    """model/prove's verdict on a barber, and its play page if the reader
    takes the source: (exit status, what to print, the play page)."""
    result = tool("model/prove", source)
    lines = result.stdout.splitlines()
    said = [lines[-1]] if result.returncode == 0 and lines else []
    if result.returncode == 1:
        start = next(
            i for i, line in enumerate(lines) if line.startswith("a run to the error")
        )
        # The play page below is opened at the run already.
        said = [x for x in lines[start:] if not x.startswith("  step through it:")]
    said += result.stderr.splitlines()
    page = None
    if result.returncode in (0, 1, 3):
        made = tool("model/play", "--out", os.path.join(out, "play.html"), source)
        if made.returncode == 0:
            # Opened at the prover's run to the error, if it found one.
            found = re.search(r"then open \S*?(#customers=\S+)", result.stdout)
            page = os.path.join(out, "play.html") + (found.group(1) if found else "")
    return result.returncode, said, page


def traced(executable, program, out):
    """trace/run's verdict: (exit status, its report's verdict lines, the
    run page)."""
    result = tool(
        "trace/run",
        "--speed",
        str(SPEED),
        "--out",
        os.path.join(out, "trace"),
        executable,
        cwd=out,
    )
    lines = result.stdout.splitlines()
    said = [
        line
        for line in lines
        if line.startswith(("  BROKEN", "  not judged", "              "))
    ]
    said += [
        line
        for line in lines
        if line.startswith(("all rules hold", "all judged")) or " rules broken" in line
    ]
    said += result.stderr.splitlines()
    page = os.path.join(out, "trace", f"{program}.html")
    return result.returncode, said, page if os.path.exists(page) else None


def work():
    args = arguments()
    program = program_of(args.source)
    name = os.path.splitext(os.path.basename(args.source))[0]
    out = os.path.abspath(args.out or f"try-{name}")
    os.makedirs(out, exist_ok=True)
    executable = build(os.path.abspath(args.source), program, out)
    print(f"{TOOL}: {args.source} is {program}, built as {executable}")
    statuses, pages = [], []
    if program == "barber":
        status, said, page = proved(args.source, out)
        print("model/prove:" + ("" if said else " (nothing said)"))
        for line in said:
            print(f"  {cli.visible(line)}")
        statuses.append(status)
        pages.append(("play page", page))
    status, said, page = traced(executable, program, out)
    print("trace/run:")
    for line in said:
        print(f"  {cli.visible(line.strip())}")
    statuses.append(status)
    pages.insert(0, ("run page", page))
    for what, path in pages:
        print(f"{what}: {path or '(none: see above)'}")
    if 2 in statuses:
        return 2
    if 1 in statuses:
        return 1
    return 3 if 3 in statuses else 0


def main():
    cli.main(TOOL, work)


if __name__ == "__main__":
    main()
