# SPDX-License-Identifier: MIT
"""model/prove on the real shop, on wrong shops and safe reorderings made by
editing a copy of shop/barber.cpp, and on what it cannot read or decide."""

import os
import stat
import subprocess

import pytest

from model.wrong_shops import SAFE, WRONG

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The test command checks a few wrong shops; .ci/run checks them all.
CHECKED = WRONG if os.environ.get("ALL_WRONG_SHOPS") else [WRONG[0], WRONG[2], WRONG[9]]


def prove(source=None, env=None, depth=None):
    command = [os.path.join(HERE, "prove")] + ([str(source)] if source else [])
    if depth:
        command[1:1] = ["--depth", str(depth)]
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)


def edited(tmp_path, edits):
    """A copy of shop/barber.cpp with each (old, new) made once."""
    with open(os.path.join(ROOT, "shop", "barber.cpp")) as f:
        text = f.read()
    for old, new in edits:
        assert old in text, f"shop/barber.cpp no longer holds {old!r}"
        text = text.replace(old, new, 1)
    path = tmp_path / "barber.cpp"
    path.write_text(text)
    return path


def test_the_shop_is_proved_for_every_n_and_s():
    result = prove()
    assert result.returncode == 0, result.stdout + result.stderr
    verdicts = [
        line for line in result.stdout.splitlines() if line.startswith("  proved")
    ]
    assert len(verdicts) >= 20
    assert all(" z3 " in line and " cvc5 " in line for line in verdicts)
    assert "NOT PROVED" not in result.stdout
    assert "lemma, written by hand: a customer who has passed the test" in result.stdout


@pytest.mark.parametrize("fault", CHECKED, ids=[f"fault{w[0]}" for w in CHECKED])
def test_a_wrong_shop_fails_with_a_run_to_its_error(tmp_path, fault):
    _, _, edits, broken = fault
    result = prove(edited(tmp_path, edits))
    assert result.returncode == 1, result.stdout + result.stderr
    assert "NOT PROVED" in result.stdout
    assert "a run to the error, with N = " in result.stdout
    assert f"and there it breaks: {broken}" in result.stdout


@pytest.mark.parametrize("change", SAFE, ids=[s[0] for s in SAFE])
def test_a_safe_reordering_is_still_proved(tmp_path, change):
    result = prove(edited(tmp_path, change[1]))
    assert result.returncode == 0, result.stdout + result.stderr


def test_a_barber_who_never_serves_is_not_proved_and_no_run_is_made_up(tmp_path):
    # He sleeps for ever: no state is wrong, but no run ends either.
    never = [("    down(cust_ready);\n", "    sleep(1);\n    continue;\n")]
    result = prove(edited(tmp_path, never), depth=10)
    assert result.returncode == 3, result.stdout + result.stderr
    assert "NOT PROVED  every run ends" in result.stdout
    assert result.stderr.startswith("model/prove: not proved, and no run to an error")


def test_a_statement_it_does_not_know_is_named_with_its_line(tmp_path):
    result = prove(
        edited(tmp_path, [("  free_seat--;\n", "  free_seat--;\n  rand();\n")])
    )
    assert result.returncode == 2
    assert result.stderr == (
        f"model/prove: {tmp_path}/barber.cpp:87: a call the prover does not know (rand)\n"
    )


def fake_solver(folder, answer):
    """A cvc5 on PATH that answers `answer` to every question."""
    path = folder / "cvc5"
    path.write_text(f"#!/bin/sh\ngrep -o check-sat | sed 's/.*/{answer}/'\n")
    path.chmod(path.stat().st_mode | stat.S_IEXEC)
    return dict(os.environ, PATH=f"{folder}:{os.environ['PATH']}")


def test_solvers_that_disagree_are_never_a_pass(tmp_path):
    result = prove(env=fake_solver(tmp_path, "sat"))
    assert result.returncode == 2
    assert "DISAGREE    z3  0." in result.stdout and "cvc5 sat" in result.stdout
    assert result.stderr.startswith("model/prove: the two solvers disagree")


def test_a_missing_solver_names_its_package(tmp_path):
    for tool in os.listdir("/usr/bin"):
        if tool != "z3":
            os.symlink(os.path.join("/usr/bin", tool), tmp_path / tool)
    result = prove(env=dict(os.environ, PATH=str(tmp_path)))
    assert result.returncode == 2
    assert (
        result.stderr == "model/prove: z3 not found: install it (apt-get install z3)\n"
    )


def test_a_routine_missing_is_named(tmp_path):
    with open(os.path.join(ROOT, "shop", "barber.cpp")) as f:
        text = f.read()
    source = tmp_path / "barber.cpp"
    source.write_text(text.replace("_barber", "_chair"))
    result = prove(source)
    assert result.returncode == 2
    assert result.stderr == f"model/prove: {source}: no routine _barber\n"
