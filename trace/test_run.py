# SPDX-License-Identifier: MIT
"""Tests of trace/run on the programs of a build (BUILD_DIR, default the
default preset's): a real traced day must keep every rule and be the same
day as untraced; wrong barbers built here must be caught by the rule they
break; bad input must get one line and exit status 2."""

import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.environ.get("BUILD_DIR", os.path.join(ROOT, "build", "default"))
RUN = os.path.join(HERE, "run")
sys.path.insert(0, HERE)


def trace(*args, env=None):
    return subprocess.run(
        [RUN, *args], capture_output=True, text=True, env=env, timeout=120
    )


def settle_pairs(lines):
    """Customers 11 and 12, and 15 and 16, arrive together: either may take
    the last chair, and their lines may come in either order."""
    lines = list(lines)
    for a, b in ((11, 12), (15, 16)):
        sit = "Customer whose id = {} has sit down! Free seat = 0"
        gone = "Customer whose id = {} has gone away!"
        ways = ({sit.format(a), gone.format(b)}, {sit.format(b), gone.format(a)})
        for i in range(len(lines) - 1):
            if set(lines[i : i + 2]) in ways:
                lines[i : i + 2] = [sit.format(a), gone.format(b)]
    return lines


def test_a_traced_day_keeps_every_rule_and_is_the_untraced_day(tmp_path):
    result = trace("--speed", "10", "--out", str(tmp_path), f"{BUILD}/barber")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "all rules hold" in result.stdout
    with open(os.path.join(ROOT, "tests", "barber_day.txt")) as f:
        day = f.read().splitlines()
    assert settle_pairs((tmp_path / "output.txt").read_text().splitlines()) == day
    # The last line, the fifteenth haircut, at 76.5 s of program time.
    last = float(result.stdout.split("the last at ")[1].split(" s")[0])
    assert abs(last - 76.5) <= 0.2
    events = json.loads((tmp_path / "barber.json").read_text())["traceEvents"]
    assert any(e.get("name") == "sem_wait cust_ready" for e in events)
    for picture in ("barber.svg", "barber.png"):
        assert (tmp_path / picture).stat().st_size > 10000


# Each wrong barber: a line of the real source changed, and the rule that
# must catch it. barber_ready at 0 changes no line of output at all (each
# customer is let through one haircut later): only what the threads did
# shows it.
WRONG_BARBERS = [
    (
        "sem_init(&barber_ready, 0, 1);",
        "sem_init(&barber_ready, 0, 0);",
        "the semaphores start at barber_ready 1",
    ),
    (
        '    printf("Customer whose id = %d has gone away!\\n", *id);',
        '    printf("Customer whose id = %d has gone away!\\n", *id);\n'
        "    up(cust_ready);",
        "one who goes away posts nothing",
    ),
    (
        "  up(mutex);\n  up(cust_ready);\n  down(barber_ready);",
        "  up(cust_ready);\n  down(barber_ready);\n  up(mutex);",
        "nobody waits on cust_ready or barber_ready while holding mutex",
    ),
]


@pytest.mark.parametrize("old,new,rule", WRONG_BARBERS)
def test_a_wrong_barber_is_caught_by_the_rule_it_breaks(tmp_path, old, new, rule):
    with open(os.path.join(ROOT, "shop", "barber.cpp")) as f:
        source = f.read()
    assert old in source
    (tmp_path / "barber.cpp").write_text(source.replace(old, new, 1))
    subprocess.run(
        ["c++", "-std=c++20", "-O2", "-g", "-pthread", "-o", "barber", "barber.cpp"],
        cwd=tmp_path,
        check=True,
    )
    result = trace(
        "--speed", "20", "--out", str(tmp_path / "out"), str(tmp_path / "barber")
    )
    assert result.returncode == 1, result.stdout + result.stderr
    broken = [
        line for line in result.stdout.splitlines() if line.startswith("  BROKEN")
    ]
    assert any(rule in line for line in broken), result.stdout
    assert "first breach:" in result.stdout


def test_the_steps_of_tallyduel_explain_its_values_or_not():
    from rules import Rules, explain_steps

    rules = Rules(None, {1: "main", 2: "thread1"})

    def breaches(ups, downs):
        texts = {
            1: [(2.0 * k, str(v)) for k, v in enumerate(ups)],
            2: [(1.0 * j, str(v)) for j, v in enumerate(downs)],
        }
        return explain_steps(rules, texts, ups, downs, 1, 2)

    # +1 -1 -1 +1 -1 -1, and either order of the first two steps.
    assert breaches([1, 0], [0, -1, -1, -2]) == []
    assert breaches([1], [0]) == []
    assert breaches([0], [-1]) == []
    # A lowering lost to a racy update: no order gives these values.
    assert breaches([1, 1], [0, -1, -1]) != []
    # A raise counted twice.
    assert breaches([2], [1]) != []


@pytest.mark.parametrize(
    "case",
    [
        "not executable",
        "unknown program",
        "unwritable folder",
        "no uftrace",
        "printed nothing",
    ],
)
def test_bad_input_gets_one_line_and_status_2(tmp_path, case):
    barber = f"{BUILD}/barber"
    env = None
    out = str(tmp_path / "out")
    if case == "not executable":
        barber = str(tmp_path / "barber")
        (tmp_path / "barber").write_text("not a program\n")
    elif case == "unknown program":
        barber = f"{BUILD}/child.out"
    elif case == "unwritable folder":
        (tmp_path / "file").write_text("")
        out = str(tmp_path / "file" / "inside")
    elif case == "no uftrace":
        env = dict(os.environ, PATH=str(tmp_path))
    elif case == "printed nothing":
        barber = str(tmp_path / "barber")
        (tmp_path / "barber").write_text("#!/bin/sh\nexit 0\n")
        (tmp_path / "barber").chmod(0o755)
    result = trace("--out", out, barber, env=env)
    assert result.returncode == 2, result.stdout + result.stderr
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith("trace/run: ")
