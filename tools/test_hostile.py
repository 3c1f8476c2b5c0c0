# SPDX-License-Identifier: MIT
"""The tools under hostile paths, output, sources and signals, as a class
of thirty on one lab machine meets them (home folders named "My Work"):
nothing wrong is said of a correct program, nothing is left running or
half-written, text from a program reaches the terminal only made visible,
and bad input of every tool is one line and status 2, never a traceback."""

import concurrent.futures
import functools
import os
import pathlib
import random
import shutil
import signal
import stat
import subprocess
import tempfile
import time

import pytest

from conftest import (
    ROOT,
    below,
    changed_copy,
    leftovers,
    name_of,
    running_in,
    tasks_below,
)
from tracer.conftest import data_of

RUN = os.path.join(ROOT, "trace", "run")
SHOT = os.path.join(ROOT, "trace", "shot")
PROVE = os.path.join(ROOT, "model", "prove")
CONFORM = os.path.join(ROOT, "model", "conform")
CHECK = os.path.join(ROOT, "model", "check")
BENCH = os.path.join(ROOT, "bench", "run")
RESULTS = {
    "barber.html",
    "barber.svg",
    "barber.png",
    "barber.json",
    "report.txt",
    "output.txt",
    "uftrace.data",
}

PRINT = '    printf("%lu %s\\n", static_cast<unsigned long>(pthread_self()), stamp);\n'
LONG = "x" * 150
# A line with quotes, a backslash, a byte that is no UTF-8, 150 characters,
# and one ending in a backslash; a source with a form feed and such a byte.
TEXTS = [
    (
        PRINT,
        '    printf("%lu %s \\"quoted\\" a back\\\\slash \\xff '
        + LONG
        + ' ends in one \\\\\\n",\n'
        "           static_cast<unsigned long>(pthread_self()), stamp);\n",
    ),
    (
        "namespace {\n",
        "// a page break, and a byte no UTF-8 reads: \xff\n\f\nnamespace {\n",
    ),
]
SETSID = [
    (
        "  const int failed = pthread_create",
        "  if (fork() == 0) {\n    setsid();\n    for (;;) {\n      sleep(1);\n    }\n  }\n"
        "  const int failed = pthread_create",
    )
]
BIG = [
    (
        PRINT,
        "    char *big = static_cast<char *>(calloc(2000000, 1));\n"
        "    memset(big, 'x', 1999999);\n"
        '    printf("%lu %s %s\\n", static_cast<unsigned long>(pthread_self()), stamp, big);\n'
        "    free(big);\n",
    )
]
ESCAPES = [
    (
        "  down(mutex);\n  if (free_seat < 1) {\n",
        '  fputs("\\x1b]0;pwned\\x07\\x1b[2Kall rules hold\\n", stderr);\n  _exit(1);\n'
        "  down(mutex);\n  if (free_seat < 1) {\n",
    )
]


def trace(*args, cwd=None, env=None, timeout=120):
    return subprocess.run(
        [RUN, *args], capture_output=True, text=True, cwd=cwd, env=env, timeout=timeout
    )


def built(folder, source, edits, name="program"):
    os.makedirs(folder, exist_ok=True)
    return changed_copy(folder, source, edits, name)


# The cases that trace a changed copy of a program: name -> (its source,
# the edits, the copy's name, the --speed).
COPIES = {
    "texts": ("threads/pairtick.cpp", TEXTS, "ticks", 20),
    "setsid": ("threads/pairtick.cpp", SETSID, "escaper", 20),
    "big": ("threads/pairtick.cpp", BIG, "loud", 10),
    "escapes": ("shop/barber.cpp", ESCAPES, "shop", 20),
}


def traced_copy(build, top, name):
    """((trace/run of the copy of case `name`, how long it took), its
    folder)."""
    source, edits, program, speed = COPIES[name]
    folder = os.path.join(top, name)
    executable = built(folder, source, edits, program)
    began = time.monotonic()
    out = os.path.join(folder, "out")
    result = trace("--speed", str(speed), "--out", out, executable, cwd=folder)
    return (result, time.monotonic() - began), folder


def spaces(build, top):
    """The barber traced from a folder with a blank, as a file with a quote,
    into a folder with both."""
    folder = os.path.join(top, "My Work")
    os.makedirs(folder)
    shop = os.path.join(folder, 'bar "ber')
    shutil.copy(f"{build}/barber", shop)
    out = os.path.join(folder, 'out "1"')
    return trace("--speed", "50", "--out", out, shop, cwd=folder), folder


def replaced(build, top):
    """A folder with a file of the user's, traced into twice, by two
    programs."""
    folder = os.path.join(top, "replaced")
    out = os.path.join(folder, "out")
    os.makedirs(out)
    with open(os.path.join(out, "notes.txt"), "w") as f:
        f.write("mine\n")
    first = trace("--speed", "20", "--out", out, f"{build}/pairtick")
    second = trace("--speed", "50", "--out", out, f"{build}/barber")
    return (first, second), folder


def nobody(build, top):
    """pairtick traced by a user with no home, in a folder of its own where
    nobody may write: the tests' own are root's alone."""
    folder = tempfile.mkdtemp(prefix="hostile-nobody-", dir="/tmp")
    os.chmod(folder, 0o777)
    command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    command += ["env", "HOME=/nonexistent", RUN, "--speed", "20"]
    command += ["--out", os.path.join(folder, "out"), f"{build}/pairtick"]
    try:
        result = subprocess.run(
            command, capture_output=True, text=True, cwd=folder, timeout=120
        )
        return result, top
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def stopped(build, top, signum):
    """trace/run of the barber sent `signum` at a random moment of its first
    2.5 s: (its status, stderr, the moment, the seed, what of it was left
    running), its folder."""
    folder = os.path.join(top, f"signal-{signum}")
    os.makedirs(folder)
    seed = random.randrange(1 << 30)
    moment = random.Random(seed).uniform(0.1, 2.5)
    command = [RUN, "--speed", "50", "--out", os.path.join(folder, "out")]
    tool = subprocess.Popen(
        command + [f"{build}/barber"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=folder,
    )
    ids, began = set(), time.monotonic()
    while time.monotonic() - began < moment:
        ids |= tasks_below(tool.pid)
        time.sleep(0.02)
    tool.send_signal(signum)
    _, err = tool.communicate(timeout=60)
    return (tool.returncode, err, moment, seed, leftovers(ids)), folder


def cases(build, top):
    """Every slow case: name -> its work, each with a folder of its own."""
    found = {name: functools.partial(traced_copy, build, top, name) for name in COPIES}
    for work in (spaces, replaced, nobody):
        found[work.__name__] = functools.partial(work, build, top)
    for name, signum in (("sigterm", signal.SIGTERM), ("sighup", signal.SIGHUP)):
        found[name] = functools.partial(stopped, build, top, signum)
    return found


@pytest.fixture(scope="module")
def done(build, tmp_path_factory):
    """Every slow case, two at a time."""
    top = str(tmp_path_factory.mktemp("hostile"))
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        jobs = {name: pool.submit(work) for name, work in cases(build, top).items()}
        found = {name: job.result() for name, job in jobs.items()}
    for name, (_, folder) in found.items():
        assert running_in(folder) == [], f"{name}: something it started still runs"
    return found


def test_a_path_with_a_space_and_a_quote_is_traced_as_any(done):
    result, folder = done["spaces"]
    assert result.returncode == 0, result.stdout + result.stderr
    assert "BROKEN" not in result.stdout
    page = data_of(pathlib.Path(folder, 'out "1"', "barber.html"))
    assert page["unlit"] is None and page["source"] is not None


def test_lines_uftrace_cuts_or_cannot_escape_are_the_program_s_own(done):
    (result, _), folder = done["texts"]
    assert result.returncode == 0, result.stdout + result.stderr
    assert "all rules hold" in result.stdout
    with open(os.path.join(folder, "out", "output.txt"), errors="replace") as f:
        written = f.read()
    page = data_of(pathlib.Path(folder, "out", "pairtick.html"))
    # Each print shows the line it wrote: two threads' lines of one second
    # may come out in the other order than their prints began.
    shown = sorted(e["text"] for e in page["events"] if e.get("text"))
    assert (
        shown == sorted(written.splitlines(keepends=True))
        and LONG in written
        and '"quoted" a back\\slash \ufffd' in written
    )
    assert " ends in one \\\n" in written
    # Lit lines are the compiler's, past the form feed: a printf's is its line.
    lines = page["source"]["lines"]
    printfs = [e["line"] for e in page["events"] if e.get("call") == "printf"]
    assert printfs and all("printf(" in lines[n - 1] for n in printfs)


def test_a_grandchild_that_leaves_the_session_is_stopped_too(done):
    (result, took), _ = done["setsid"]
    assert result.returncode in (0, 1), result.stdout + result.stderr
    assert took < 30


def test_a_program_that_writes_megabytes_is_read_as_it_writes(done):
    (result, took), folder = done["big"]
    assert result.returncode == 0, result.stdout + result.stderr
    assert "BROKEN" not in result.stdout
    assert os.path.getsize(os.path.join(folder, "out", "output.txt")) > 20_000_000
    assert os.path.getsize(os.path.join(folder, "out", "pairtick.html")) < 1 << 20
    assert took < 60


def test_what_a_program_says_reaches_the_terminal_made_visible(done):
    (result, _), _ = done["escapes"]
    assert result.returncode == 3, result.stdout + result.stderr
    assert "\x1b" not in result.stderr and "\x07" not in result.stderr
    assert "\\x1b]0;pwned\\x07\\x1b[2Kall rules hold" in result.stderr


def test_a_folder_of_earlier_results_gets_the_new_ones_alone(done):
    (first, second), folder = done["replaced"]
    assert first.returncode == 0 and second.returncode == 0, (
        second.stdout + second.stderr
    )
    assert set(os.listdir(os.path.join(folder, "out"))) == RESULTS | {"notes.txt"}


def test_a_user_without_a_home_gets_no_warning_of_matplotlib(done):
    result, _ = done["nobody"]
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""


@pytest.mark.parametrize(
    "name,signum", [("sigterm", signal.SIGTERM), ("sighup", signal.SIGHUP)]
)
def test_a_signal_at_any_moment_leaves_nothing_running_or_half_written(
    done, name, signum
):
    (status, err, moment, seed, left), folder = done[name]
    said = f"signal {signum} at {moment:.2f} s (seed {seed}): {err}"
    # Before the tool has set itself up to be stopped, it has started nothing,
    # and the signal's default ends it.
    assert status in (0, 128 + signum, -signum), said
    assert left == set(), said
    out = os.path.join(folder, "out")
    found = set(os.listdir(out)) if os.path.isdir(out) else set()
    assert found in (set(), RESULTS), said


def test_a_uftrace_that_cannot_start_is_a_tool_error(build, tmp_path):
    fake = tmp_path / "uftrace"
    fake.write_text(
        "#!/bin/sh\necho 'uftrace: /nowhere: ERROR: cannot open record data' >&2\nexit 1\n"
    )
    fake.chmod(fake.stat().st_mode | stat.S_IEXEC)
    env = dict(os.environ, PATH=f"{tmp_path}:{os.environ['PATH']}")
    result = trace("--out", str(tmp_path / "out"), f"{build}/pairtick", env=env)
    assert result.returncode == 2
    assert (
        result.stderr
        == "trace/run: uftrace could not record: uftrace: /nowhere: ERROR: cannot open record data\n"
    )


def test_a_stripped_or_static_barber_is_told_why_it_is_none_of_the_programs(
    build, tmp_path
):
    stripped = tmp_path / "stripped"
    subprocess.run(["strip", "-o", str(stripped), f"{build}/barber"], check=True)
    result = trace("--out", str(tmp_path / "out"), str(stripped))
    assert result.returncode == 2 and "stripped" in result.stderr
    static = tmp_path / "static"
    source = os.path.join(ROOT, "shop", "barber.cpp")
    subprocess.run(
        ["c++", "-std=c++20", "-static", "-pthread", "-o", str(static), source],
        check=True,
    )
    result = trace("--out", str(tmp_path / "out"), str(static))
    assert result.returncode == 2 and "statically linked" in result.stderr


def test_a_killed_model_check_stops_its_searches(tmp_path):
    env = dict(os.environ, TMPDIR=str(tmp_path))
    check = subprocess.Popen(
        [CHECK],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        env=env,
        cwd=tmp_path,
    )
    searches = []
    for _ in range(600):
        searches = [p for p in below(check.pid) if name_of(p) == "pan"]
        if searches:
            break
        time.sleep(0.05)
    assert searches, "model/check started no search"
    check.send_signal(signal.SIGTERM)
    check.wait(timeout=10)
    time.sleep(0.3)
    assert check.returncode == 143
    assert [p for p in searches if name_of(p) not in (None, "")] == []
    assert running_in(str(tmp_path)) == []
    assert os.listdir(tmp_path) == []


def page_in(build, folder):
    """A page of trace/run's, written once for the tests of trace/shot."""
    out = os.path.join(folder, "page")
    assert trace("--speed", "20", "--out", out, f"{build}/pairtick").returncode == 0
    return os.path.join(out, "pairtick.html")


def test_trace_shot_takes_a_page_whose_path_has_a_hash(build, tmp_path):
    page = page_in(build, str(tmp_path))
    odd = tmp_path / "a #page.html"
    shutil.copy(page, odd)
    result = subprocess.run(
        [SHOT, str(odd), str(tmp_path / "p.png"), "#step=3"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "p.png").stat().st_size > 1000


def bad_inputs(build, folder):
    """(tool, arguments, words the one line must have) of every bad input."""
    os.makedirs(folder, exist_ok=True)
    fifo = os.path.join(folder, "fifo.cpp")
    os.mkfifo(fifo)
    not_a_page = os.path.join(folder, "not.html")
    with open(not_a_page, "w") as f:
        f.write("<html>hello</html>\n")
    gone = built(os.path.join(folder, "gone"), "shop/barber.cpp", [], "barber")
    os.unlink(os.path.join(folder, "gone", "barber.cpp"))
    barber = f"{build}/barber"
    return [
        (RUN, [], "the following arguments are required"),
        (RUN, ["--speed", "0", barber], "--speed takes a whole number"),
        (RUN, ["--speed", "x", barber], "invalid int value"),
        (RUN, ["--out", "", barber], "--out takes the name of a folder"),
        (RUN, ["--bogus", barber], "unrecognized arguments"),
        (RUN, ["/nonexistent"], "not an executable file"),
        (RUN, [folder], "not an executable file"),
        (SHOT, [], "the following arguments are required"),
        (SHOT, [not_a_page, "p.png", "step=3"], "must start with #"),
        (SHOT, ["/nonexistent.html", "p.png"], "no such file or directory"),
        (
            SHOT,
            [not_a_page, os.path.join(folder, "p.png")],
            "not a page trace/run or model/play wrote",
        ),
        (SHOT, [folder, "p.png"], "a folder, not a page"),
        (PROVE, ["--depth", "0"], "--depth takes a whole number"),
        (PROVE, ["/nonexistent.cpp"], "no such file or directory"),
        (PROVE, [fifo], "not a regular file"),
        (PROVE, ["/dev/zero"], "not a regular file"),
        (PROVE, [folder], "not a regular file"),
        (PROVE, [os.path.join(ROOT, "README.md")], "README.md:"),
        (PROVE, ["--bogus"], "unrecognized arguments"),
        (CONFORM, ["--speed", "0"], "--speed takes a whole number"),
        (CONFORM, ["/nonexistent"], "not an executable file"),
        (CONFORM, [f"{build}/pairtick"], "is pairtick; the model is of barber"),
        (CONFORM, [gone], "is gone"),
        (CHECK, ["foo"], "foo is not a number of customers"),
        (BENCH, ["abc"], "takes one number of seconds"),
    ]


def test_every_bad_input_of_every_tool_is_one_line_and_status_2(build, tmp_path):
    for tool, args, words in bad_inputs(build, str(tmp_path / "inputs")):
        command = ["bash", tool, *args] if tool == BENCH else [tool, *args]
        result = subprocess.run(
            command, capture_output=True, text=True, timeout=60, cwd=tmp_path
        )
        said = f"{os.path.relpath(tool, ROOT)} {args}: {result.returncode} {result.stderr!r}"
        assert result.returncode == 2, said
        assert "Traceback" not in result.stderr + result.stdout, said
        assert len(result.stderr.splitlines()) == 1 and words in result.stderr, said


def test_try_runs_the_whole_loop_on_a_changed_copy(tmp_path):
    source = tmp_path / "myshop.cpp"
    with open(os.path.join(ROOT, "shop", "barber.cpp")) as f:
        source.write_text(
            f.read().replace("  if (free_seat < 1) {", "  if (free_seat < 0) {")
        )
    began = time.monotonic()
    result = subprocess.run(
        [os.path.join(ROOT, "try"), str(source)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert time.monotonic() - began < 30
    assert result.returncode == 1, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert "  model/prove: the shop is wrong" in lines
    assert any(line.startswith("  BROKEN") for line in lines)
    run_page = next(line for line in lines if line.startswith("run page: ")).split(
        ": ", 1
    )[1]
    play_page = next(line for line in lines if line.startswith("play page: ")).split(
        ": ", 1
    )[1]
    assert os.path.isfile(run_page) and run_page.startswith(
        str(tmp_path / "try-myshop")
    )
    assert (
        os.path.isfile(play_page.split("#")[0])
        and "#customers=2&chairs=1&moves=" in play_page
    )
