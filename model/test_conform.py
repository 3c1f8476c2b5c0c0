# SPDX-License-Identifier: MIT
"""model/conform on the build's barber (BUILD_DIR, default the default
preset's) and on a copy of it with two operations swapped."""

import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.environ.get("BUILD_DIR", os.path.join(ROOT, "build", "default"))


def conform(executable):
    return subprocess.run(
        [os.path.join(HERE, "conform"), "--speed", "20", executable],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_the_program_does_what_the_model_does():
    result = conform(f"{BUILD}/barber")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.count("agree  ") == 3


def test_a_customer_who_posts_before_he_lets_go_of_mutex_is_told_apart(tmp_path):
    with open(os.path.join(ROOT, "shop", "barber.cpp")) as f:
        source = f.read()
    right = "  up(mutex);\n  up(cust_ready);\n"
    assert right in source
    (tmp_path / "barber.cpp").write_text(
        source.replace(right, "  up(cust_ready);\n  up(mutex);\n", 1)
    )
    subprocess.run(
        ["c++", "-std=c++20", "-O2", "-pthread", "-o", "barber", "barber.cpp"],
        cwd=tmp_path,
        check=True,
    )
    result = conform(str(tmp_path / "barber"))
    assert result.returncode == 1, result.stdout + result.stderr
    assert "a customer who sits: the program and the model differ" in result.stdout
    assert " >    3  up cust_ready" in result.stdout
