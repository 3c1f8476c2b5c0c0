# SPDX-License-Identifier: MIT
"""What the tracer's tests (and the exercises') share: running trace/run,
one real day of the barber traced once for all the tests that read it, and
the replay in Python of the events a page holds, to hold the page to."""

import json
import os
import re
import subprocess

import pytest

from tracer.told import Teller

RUN = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "trace", "run"
)


def trace(*args, env=None, cwd=None):
    """trace/run with these arguments, to its end."""
    return subprocess.run(
        [RUN, *args], capture_output=True, text=True, env=env, cwd=cwd, timeout=120
    )


def broken(stdout):
    """The report's lines of broken rules."""
    return [line for line in stdout.splitlines() if line.startswith("  BROKEN")]


@pytest.fixture(scope="session")
def day_speed():
    """The speed the real day is traced at."""
    return 20


@pytest.fixture(scope="session")
def traced_day(build, day_speed, tmp_path_factory):
    """(the finished trace/run, its folder) of the real barber's day."""
    out = tmp_path_factory.mktemp("day")
    result = trace("--speed", str(day_speed), "--out", str(out), f"{build}/barber")
    return result, out


def data_of(path):
    """The run's data inline in a page trace/run wrote."""
    text = path.read_text()
    inline = re.search(
        r'<script type="application/json" id="run">(.*?)</script>', text, re.S
    )
    return json.loads(inline.group(1))


def replay(run):
    """The state after each event of a page's data, as told.py works it out
    (and the page's script must show it)."""
    states = Teller(run).states()
    return [
        {
            "lanes": [{"state": lane.state, "line": lane.line} for lane in s.lanes],
            "count": dict(s.count),
            "free_seat": s.shared.get("free_seat"),
            "holder": s.holder,
            "output": s.output,
        }
        for s in states
    ]
