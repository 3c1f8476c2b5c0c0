# SPDX-License-Identifier: MIT
"""trace/run: watch a real run from inside.

Records one run of a built, unmodified barber, pairtick, tallyduel or parent
with uftrace, checks the rules of that program on what its threads really
did, and shows the run. The program is known by what its executable
contains, whatever the file is called.

  trace/run [--speed N] [--out DIR] EXECUTABLE

--speed N runs the program N times faster under libfaketime (default 1,
real speed); reports, pictures and the page are in the program's own
seconds either way. Up to --speed {highest} the barber's whole day is
judged on two cores that have nothing else to do; faster, or on a busy
machine, the pauses stray too far from what the program asked for, and the
rules that depend on time are not judged (the report says which, and the
speed to use instead).

DIR (default trace-PROGRAM) receives PROGRAM.html, a page to step through
the run beside the program's source; PROGRAM.svg and PROGRAM.png, the
timeline; PROGRAM.json, the same run for a Chrome or Perfetto trace viewer,
in real time; report.txt, the verdicts; output.txt, what the program wrote;
and uftrace.data, the recording itself.

parent looks for ./child.out in the working directory: run trace/run from
the build folder to trace both processes, from anywhere else to see the exec
fail.

Exit status: 0 when no rule is broken, 1 when one is (the report names it,
the thread and the program time of its first breach), 2 for a usage or tool
error, 3 when the program died or ended by itself before its story was told,
130 when interrupted.
"""

import argparse
import fcntl
import importlib.util
import os
import signal
import sys

from . import executable as elf
from .errors import ToolError
from .record import record
from .recording import load
from .report import report
from .verdicts import HIGHEST_SPEED
from .views import Views

ENDED = 3
INTERRUPTED = 130


def fail(message, status=2):
    print(f"trace/run: {message}", file=sys.stderr)
    sys.exit(status)


class Parser(argparse.ArgumentParser):
    def error(self, message):
        fail(f"{message} (see trace/run --help)")


def arguments():
    parser = Parser(
        prog="trace/run",
        description=__doc__.split("\n", 2)[2].format(highest=HIGHEST_SPEED),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--speed",
        type=int,
        default=1,
        metavar="N",
        help="run N times faster under libfaketime (default 1)",
    )
    parser.add_argument(
        "--out", metavar="DIR", help="where the results go (default trace-PROGRAM)"
    )
    parser.add_argument(
        "executable", help="a built barber, pairtick, tallyduel or parent"
    )
    args = parser.parse_args()
    if args.speed < 1:
        fail("--speed takes a whole number of at least 1")
    return args


def claim(out_dir):
    """Makes DIR and holds it for this run alone, until the process ends."""
    try:
        os.makedirs(out_dir, exist_ok=True)
        fd = os.open(out_dir, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as e:
        raise ToolError(f"cannot write into {out_dir}: {e.strerror}") from None
    if not os.access(out_dir, os.W_OK):
        raise ToolError(f"cannot write into {out_dir}: Permission denied")
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise ToolError(f"{out_dir} is in use by another trace/run") from None
    return fd


def write(out_dir, name, text):
    with open(os.path.join(out_dir, name), "w") as f:
        f.write(text)


def ending(executable, program, recording, out_dir):
    """The one line that tells how the program ended before its story: how,
    and when its last call was made (or, with none recorded, when uftrace
    saw it end). What it did up to then goes into its page, which a learner
    most wants to step through."""
    from . import page

    end = recording.ended
    at = (end.at - recording.started) * recording.speed
    stepper = None
    try:
        run = load(executable, program, recording)
        at = max(c.start if c.end is None else c.end for c in run.calls)
        stepper = page.write_page(run, Views(run), executable, out_dir)[0]
    except ToolError:
        pass
    if end.signal:
        number, name = end.signal.split(": ", 1)
        how = f"died of signal {number} ({signal.Signals(int(number)).name}, {name})"
    else:
        how = "ended by itself" + (" with a failing status" if end.failed else "")
    said = recording.stderr.strip().splitlines()
    return (
        f"{program.name} {how} at {at:.2f} s of program time, before its story "
        f"was told"
        + (f" (it said: {said[0]})" if said else "")
        + (f"; step through it in {stepper}" if stepper else "")
    )


def show(run, executable, out_dir):
    """Judges the run and writes the report, pictures, trace and page;
    whether a rule is broken."""
    from . import chrome, draw, page, rules

    views = Views(run)
    verdicts = rules.judge(run, views)
    text = report(run, views, verdicts)
    write(out_dir, "report.txt", text)
    print(text, end="")
    pictures = draw.timeline(run, views, verdicts, out_dir)
    trace = chrome.chrome_trace(run, views, out_dir)
    stepper, why_not = page.write_page(run, views, executable, out_dir)
    print(f"pictures: {', '.join(pictures)}; trace viewer: {trace}; page: {stepper}")
    if why_not:
        print(f"the page lights no source line: {why_not}")
    return any(v.broken for v in verdicts)


def main():
    # Into a pipe that closes early (trace/run ... | head), end quietly.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    args = arguments()
    try:
        executable = elf.read(args.executable)
        program = elf.identify(executable)
        out_dir = args.out or f"trace-{program.name}"
        claim(out_dir)
        if importlib.util.find_spec("matplotlib") is None:
            raise ToolError(
                "matplotlib is missing: install it (apt-get install python3-matplotlib)"
            ) from None
        recording = record(executable, program, args.speed, out_dir)
        write(out_dir, "output.txt", recording.stdout)
        if recording.ended and not program.told(recording.stdout, recording.stderr):
            fail(ending(executable, program, recording, out_dir), ENDED)
        broken = show(load(executable, program, recording), executable, out_dir)
    except ToolError as e:
        fail(str(e))
    except KeyboardInterrupt:
        fail("interrupted", INTERRUPTED)
    sys.exit(1 if broken else 0)


if __name__ == "__main__":
    main()
