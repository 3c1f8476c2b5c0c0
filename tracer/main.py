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
and uftrace.data, the recording itself. The results of an earlier run in
DIR are replaced, of whichever program; nothing else in it is touched.
They are put in place only once all are written: a run stopped half way
leaves DIR as it was.

parent looks for ./child.out in the working directory: run trace/run from
the build folder to trace both processes, from anywhere else to see the exec
fail.

Exit status: 0 when no rule is broken, 1 when one is (the report names it,
the thread and the program time of its first breach), 2 for a usage or tool
error, 3 when the program died or ended by itself before its story was told,
or made calls faster than they can be followed (it is then not judged),
128 + the signal's number when stopped by one (130 for Ctrl-C).
"""

import fcntl
import importlib.util
import os
import signal

from tools import cli, files
from tools.errors import ToolError

from . import executable as elf
from .programs import all_programs
from .record import MOST_RECORDED, record
from .recording import load
from .report import report
from .verdicts import HIGHEST_SPEED, judge, story
from .views import Views

TOOL = "trace/run"
ENDED = 3


def arguments():
    parser = cli.parser(TOOL, __doc__.format(highest=HIGHEST_SPEED))
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
        raise ToolError(
            f"--speed takes a whole number of at least 1 (see {TOOL} --help)"
        )
    if args.out is not None and not args.out.strip():
        raise ToolError(f"--out takes the name of a folder (see {TOOL} --help)")
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


def results():
    """The names of every file trace/run writes, for any program."""
    names = ["report.txt", "output.txt", "uftrace.data", "uftrace.data.old"]
    for p in all_programs():
        names += [f"{p.name}.{ext}" for ext in ("html", "svg", "png", "json")]
    return names


def publish(work, out_dir):
    """Puts the results written in `work` into DIR in place of any earlier
    ones, all at once."""
    with files.Held():
        for name in results():
            if os.path.exists(os.path.join(out_dir, name)) or os.path.islink(
                os.path.join(out_dir, name)
            ):
                files.remove(os.path.join(out_dir, name))
        for name in os.listdir(work):
            os.replace(os.path.join(work, name), os.path.join(out_dir, name))


def ending(run, recording, stepper):
    """The one line that tells how the program ended before its story: how,
    and when its last call was made (or, with none recorded, when uftrace
    saw it end)."""
    end = recording.ended
    at = (end.at - recording.started) * recording.speed
    if run is not None and run.calls:
        at = max(c.start if c.end is None else c.end for c in run.calls)
    if end.signal:
        number, name = end.signal.split(": ", 1)
        how = f"died of signal {number} ({signal.Signals(int(number)).name}, {name})"
    else:
        how = "ended by itself" + (" with a failing status" if end.failed else "")
    said = recording.stderr.strip().splitlines()
    return f"{recording.program.name} {how} at {at:.2f} s of program time, before its story " "was told" + (
        f" (it said: {said[0]})" if said else ""
    ) + (
        f"; step through it in {stepper}" if stepper else ""
    )


def flood(recording):
    """The one line that says why a run that made calls too fast was
    stopped and left unjudged."""
    at = (recording.stopped - recording.started) * recording.speed
    return (
        f"{recording.program.name} made calls faster than they can be followed "
        f"(over {MOST_RECORDED >> 20} MB recorded by {at:.1f} s of program time): "
        "stopped there and not judged; does a thread go round without waiting?"
    )


def show(run, work, out_dir):
    """Judges the run and writes the report, pictures, trace and page into
    `work`; (the report, what it printed of the rest, whether a rule is
    broken)."""
    from . import chrome, draw, page

    views = Views(run)
    verdicts = judge(run, views)
    text = report(run, views, verdicts)
    files.write(os.path.join(work, "report.txt"), text)
    pictures = draw.timeline(run, views, verdicts, work)
    trace = chrome.chrome_trace(run, views, work)
    stepper, why_not = page.write_page(run, views, work, verdicts)
    made = [
        os.path.join(out_dir, os.path.basename(p)) for p in pictures + [trace, stepper]
    ]
    said = f"pictures: {', '.join(made[:-2])}; trace viewer: {made[-2]}; page: {made[-1]}\n"
    if why_not:
        said += f"the page lights no source line: {cli.visible(why_not)}\n"
    return text, said, any(v.broken for v in verdicts)


def traced(executable, program, speed, work, out_dir):
    """Records, judges and writes everything into `work`; the exit status,
    and what to say."""
    from . import page

    recording = record(executable, program, speed, work)
    files.write(os.path.join(work, "output.txt"), recording.stdout)
    if recording.flooded:
        return ENDED, "", flood(recording)
    if recording.ended and not story(program, recording.stdout, recording.stderr).told:
        run = stepper = None
        try:
            run = load(executable, program, recording)
            page.write_page(run, Views(run), work)
            stepper = os.path.join(out_dir, f"{program.name}.html")
        except ToolError:
            pass
        return ENDED, "", ending(run, recording, stepper)
    text, said, broken = show(load(executable, program, recording), work, out_dir)
    return (1 if broken else 0), text + said, None


def work():
    args = arguments()
    executable = elf.read(args.executable)
    program = elf.identify(executable)
    out_dir = args.out if args.out is not None else f"trace-{program.name}"
    claim(out_dir)
    if importlib.util.find_spec("matplotlib") is None:
        raise ToolError(
            "matplotlib is missing: install it (apt-get install python3-matplotlib)"
        )
    work_dir = files.mkdtemp_in(out_dir, ".trace-run-")
    try:
        status, said, complaint = traced(
            executable, program, args.speed, work_dir, out_dir
        )
        publish(work_dir, out_dir)
    finally:
        files.remove(work_dir)
    print(cli.visible_lines(said), end="")
    if complaint:
        cli.say(TOOL, complaint)
    return status


def main():
    cli.main(TOOL, work)


if __name__ == "__main__":
    main()
