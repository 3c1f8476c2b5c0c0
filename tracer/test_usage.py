# SPDX-License-Identifier: MIT
"""trace/run used wrongly or stopped early: one line and a status of its own,
and nothing left behind."""

import os
import shutil
import signal
import subprocess
import time

import pytest

from conftest import leftovers, running_in, tasks_below
from tracer.conftest import RUN, trace


@pytest.mark.parametrize(
    "case",
    ["not executable", "none of the programs", "unwritable folder", "no uftrace"],
)
def test_bad_input_gets_one_line_and_status_2(build, tmp_path, case):
    program, env, out = f"{build}/barber", None, str(tmp_path / "out")
    if case == "not executable":
        program = str(tmp_path / "barber")
        (tmp_path / "barber").write_text("not a program\n")
    elif case == "none of the programs":
        program = f"{build}/child.out"
    elif case == "unwritable folder":
        (tmp_path / "file").write_text("")
        out = str(tmp_path / "file" / "inside")
    elif case == "no uftrace":
        for tool in ("nm", "readelf", "addr2line"):
            os.symlink(f"/usr/bin/{tool}", tmp_path / tool)
        env = dict(os.environ, PATH=str(tmp_path))
    result = trace("--out", out, program, env=env)
    assert result.returncode == 2, result.stdout + result.stderr
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith("trace/run: ")
    if case == "none of the programs":
        assert "looked for barber: defines _barber" in result.stderr
    if case == "no uftrace":
        assert "uftrace not found" in result.stderr


def test_a_second_run_into_the_same_folder_is_refused(build, tmp_path):
    command = [RUN, "--speed", "10", "--out", str(tmp_path), f"{build}/pairtick"]
    first = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(0.3)
    second = trace(*command[1:])
    out, err = first.communicate(timeout=60)
    assert second.returncode == 2
    assert second.stderr == f"trace/run: {tmp_path} is in use by another trace/run\n"
    assert first.returncode == 0, out + err
    assert (tmp_path / "uftrace.data" / "task.txt").exists()


@pytest.mark.parametrize("tool", ["trace/run", "model/conform"])
def test_an_interrupted_recording_says_so_and_leaves_nothing(
    build, root, tmp_path, tool
):
    barber = tmp_path / "barber"  # a path of this test's own, to look for
    shutil.copy(f"{build}/barber", barber)
    command = [os.path.join(root, tool), "--speed", "2", str(barber)]
    if tool == "trace/run":
        command[1:1] = ["--out", str(tmp_path / "out")]
    tool_run = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path
    )
    ids, began = set(), time.monotonic()
    while time.monotonic() - began < 1.5:  # recording by now
        ids |= tasks_below(tool_run.pid)
        time.sleep(0.02)
    tool_run.send_signal(signal.SIGINT)
    out, err = tool_run.communicate(timeout=30)
    assert tool_run.returncode == 130, out + err
    assert err == f"{tool}: interrupted\n"
    assert running_in(tmp_path) == [], "a recording is still running"
    assert leftovers(ids) == set()
    if tool == "trace/run":
        assert os.listdir(tmp_path / "out") == []


def test_a_shop_that_spins_is_stopped_soon_and_left_unjudged(changed, tmp_path):
    spinning = changed(
        "shop/barber.cpp",
        [
            (
                "    down(cust_ready);\n",
                "    down(mutex);\n    if (free_seat == SEAT_MAX) {\n"
                "      up(mutex);\n      continue;\n    }\n    up(mutex);\n"
                "    down(cust_ready);\n",
            )
        ],
    )
    began = time.monotonic()
    result = trace("--speed", "20", "--out", "out", spinning, cwd=tmp_path)
    assert time.monotonic() - began < 20
    assert result.returncode == 3, result.stdout + result.stderr
    assert result.stdout == ""
    assert "made calls faster than they can be followed" in result.stderr
    assert len(result.stderr.splitlines()) == 1
    assert running_in(tmp_path) == []
