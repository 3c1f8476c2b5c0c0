# SPDX-License-Identifier: MIT
"""model/conform on the build's barber, on a copy with two operations
swapped, and on a program that is not a barber."""

import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))


def conform(executable):
    return subprocess.run(
        [os.path.join(HERE, "conform"), "--speed", "50", executable],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_the_program_does_what_the_model_does(build):
    result = conform(f"{build}/barber")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.count("agree  ") == 6


def test_a_program_unlike_its_source_and_the_model_is_told_apart(changed, root):
    # Built posting cust_ready before it lets go of mutex; its source then
    # put back as it was, so that the run matches neither.
    right = "  up(mutex);\n  up(cust_ready);\n"
    shop = changed("shop/barber.cpp", [(right, "  up(cust_ready);\n  up(mutex);\n")])
    with open(os.path.join(root, "shop", "barber.cpp")) as f:
        original = f.read()
    with open(os.path.join(os.path.dirname(shop), "barber.cpp"), "w") as f:
        f.write(original)
    result = conform(shop)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "a customer who sits (against " in result.stdout
    assert "the program and the source differ" in result.stdout
    assert "a customer who sits: the program and the model differ" in result.stdout
    assert " >    3  up cust_ready" in result.stdout


def test_only_a_barber_is_compared(build):
    result = conform(f"{build}/pairtick")
    assert result.returncode == 2
    assert result.stderr.endswith("is pairtick; the model is of barber\n")
