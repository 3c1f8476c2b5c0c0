# SPDX-License-Identifier: MIT
"""The tracer's verdicts: a wrong barber is caught by the rule it breaks, a
program is known by what it contains, and a program that dies is told as
dying."""

import shutil

import pytest

from tracer.conftest import broken, data_of, trace
from tracer.programs.tallyduel import explain_steps

BARBER = "shop/barber.cpp"
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
def test_a_wrong_barber_by_any_name_is_caught_by_the_rule_it_breaks(
    changed, tmp_path, old, new, rule
):
    shop = changed(BARBER, [(old, new)], name="shop")
    result = trace("--speed", "50", "--out", str(tmp_path / "out"), shop)
    assert result.returncode == 1, result.stdout + result.stderr
    assert result.stdout.startswith("barber: ")
    assert any(rule in line for line in broken(result.stdout)), result.stdout
    assert "first breach:" in result.stdout


def test_a_copy_of_pairtick_named_barber_is_traced_as_pairtick(build, tmp_path):
    shutil.copy(f"{build}/pairtick", tmp_path / "barber")
    result = trace(
        "--speed", "10", "--out", str(tmp_path / "out"), str(tmp_path / "barber")
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("pairtick: 1")
    assert "two threads talk, each writing an id of its own" in result.stdout
    assert "mutex" not in result.stdout


def test_a_barber_who_crashes_is_told_as_a_crash(changed, tmp_path):
    crash = "  free_seat--;\n  if (*id == 3) {\n    raise(SIGSEGV);\n  }\n"
    shop = changed(
        BARBER,
        [
            ("  free_seat--;\n", crash),
            ("#include <cstdint>", "#include <csignal>\n#include <cstdint>"),
        ],
    )
    out = tmp_path / "out"
    result = trace("--speed", "50", "--out", str(out), shop)
    assert result.returncode == 3, result.stdout + result.stderr
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert "died of signal 11 (SIGSEGV, Segmentation fault) at 10." in result.stderr
    assert result.stderr.endswith(f"; step through it in {out}/barber.html\n")
    # What it printed before, and nothing of uftrace's.
    assert (out / "output.txt").read_text().splitlines() == [
        "Customer whose id = 0 has sit down! Free seat = 5",
        "Customer whose id = 1 has sit down! Free seat = 5",
        "Barber has finished work from one customer!",
        "Customer whose id = 2 has sit down! Free seat = 5",
    ]


def test_the_steps_of_tallyduel_explain_its_values_or_not():
    def breaches(ups, downs):
        ups = [(2.0 * k, v) for k, v in enumerate(ups)]
        downs = [(1.0 * j, v) for j, v in enumerate(downs)]
        return explain_steps(ups, downs, 1, 2)

    # +1 -1 -1 +1 -1 -1, and either order of the first two steps.
    assert breaches([1, 0], [0, -1, -1, -2]) == []
    assert breaches([1], [0]) == []
    assert breaches([0], [-1]) == []
    # A lowering lost to a racy update: no order gives these values.
    assert breaches([1, 1], [0, -1, -1]) != []
    # A raise counted twice.
    assert breaches([2], [1]) != []


def test_a_run_its_source_does_not_fit_lights_no_line(changed, tmp_path):
    # Built posting cust_ready before it lets go of mutex; then the copy's
    # source put back as the real one, which the run no longer fits.
    swapped = ("  up(mutex);\n  up(cust_ready);\n", "  up(cust_ready);\n  up(mutex);\n")
    shop = changed(BARBER, [swapped])
    source = tmp_path / "barber.cpp"
    source.write_text(source.read_text().replace(swapped[1], swapped[0], 1))
    result = trace("--speed", "50", "--out", str(tmp_path / "out"), shop)
    assert result.returncode == 0, result.stdout + result.stderr
    said = "the page lights no source line: sem_post on cust_ready at "
    assert said in result.stdout
    run = data_of(tmp_path / "out" / "barber.html")
    assert run["unlit"].startswith("sem_post on cust_ready at ")
    assert run["source"] is not None and run["events"]


def test_a_correct_changed_shop_breaks_no_rule_and_keeps_its_lit_lines(
    changed, tmp_path
):
    # Two barbers, a count of haircuts in a hold of mutex of its own, the
    # barber's line written with printf and a chair taken with -= 1.
    shop = changed(
        BARBER,
        [
            (
                "std::int32_t free_seat;\n",
                "std::int32_t free_seat;\nstd::int32_t haircuts;\n",
            ),
            (
                '    puts("Barber has finished work from one customer!");\n',
                '    printf("Barber has finished work from one customer!\\n");\n'
                "    down(mutex);\n    haircuts++;\n    up(mutex);\n",
            ),
            ("  free_seat--;\n", "  free_seat -= 1;\n"),
            (
                "  const int failed = pthread_create(&barber, nullptr, _barber, nullptr);\n",
                "  pthread_t second;\n  pthread_create(&second, nullptr, _barber, nullptr);\n"
                "  const int failed = pthread_create(&barber, nullptr, _barber, nullptr);\n",
            ),
        ],
    )
    result = trace("--speed", "50", "--out", str(tmp_path / "out"), shop)
    assert result.returncode == 0, result.stdout + result.stderr
    assert broken(result.stdout) == []
    assert "not judged  free chairs" not in result.stdout
    run = data_of(tmp_path / "out" / "barber.html")
    assert run["unlit"] is None
    assert {"barber 1", "barber 2"} <= set(run["lanes"])
