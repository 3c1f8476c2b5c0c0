# SPDX-License-Identifier: MIT
"""What the tracer's tests share: running trace/run, and one real day of the
barber traced once for all the tests that read it."""

import os
import subprocess

import pytest

RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run")


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
