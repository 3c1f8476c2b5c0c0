# SPDX-License-Identifier: MIT
"""model/check refuses, in one line and with status 2, what it cannot
check: a bad argument, a sweep that would check nothing, a missing spin."""

import os
import subprocess

import pytest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check")


def check(*args, env=None):
    return subprocess.run(
        [CHECK, *args], capture_output=True, text=True, env=env, timeout=30
    )


def test_help_says_what_each_argument_is():
    result = check("--help")
    assert result.returncode == 0
    for name in ("FULL_CUSTOMERS", "SMALL_CUSTOMERS", "COUNTED_CUSTOMERS"):
        assert f"  {name} " in result.stdout


@pytest.mark.parametrize(
    "args,said",
    [
        (["foo"], "foo is not a number of customers"),
        (["0"], "0 is not a number of customers"),
        (["300"], "300 is not a number of customers"),
        (["8", "7", "7"], "or the counted model's sweep checks nothing"),
        (["1", "2", "3", "4"], "takes at most three numbers"),
    ],
)
def test_an_argument_it_does_not_take_is_one_line_and_status_2(args, said):
    result = check(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1 and said in result.stderr


def test_without_spin_it_names_the_package(tmp_path):
    for tool in os.listdir("/usr/bin"):
        if tool != "spin":
            os.symlink(os.path.join("/usr/bin", tool), tmp_path / tool)
    result = check(env=dict(os.environ, PATH=str(tmp_path)))
    assert (result.returncode, result.stdout) == (2, "")
    assert (
        result.stderr
        == "model/check: spin not found: install it (apt-get install spin)\n"
    )
