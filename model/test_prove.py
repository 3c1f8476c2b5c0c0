# SPDX-License-Identifier: MIT
"""model/prove on the real shop and on every shop of model/wrong_shops.py
(each an edit of shop/barber.cpp): each wrong one fails with a run to the
property it breaks, each safe one is proved, each one it cannot follow is
refused with its line; each property is the only one that catches one of
the wrong shops, so that a prover without it would prove that shop; and the
prover is honest about solvers that fail, disagree or say nothing sure."""

import concurrent.futures
import os
import re
import stat
import subprocess

import pytest

from model import logic as L
from model import search, states
from model.properties import properties
from model.prove import shop_of
from model.wrong_shops import REFUSED, SAFE, WRONG

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The test command checks every third shop of each table through the tool
# (each property's own wrong shop is checked in any case, below); .ci/run
# checks them all.
EVERY = 1 if os.environ.get("ALL_WRONG_SHOPS") else 3
WRONG_CHECKED, SAFE_CHECKED, REFUSED_CHECKED = (
    WRONG[::EVERY],
    SAFE[::EVERY],
    REFUSED[::EVERY],
)


def prove(source=None, env=None):
    command = [os.path.join(HERE, "prove")] + ([str(source)] if source else [])
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)


def edited(folder, edits, name="barber.cpp"):
    """A copy of shop/barber.cpp with each (old, new) made once."""
    with open(os.path.join(ROOT, "shop", "barber.cpp")) as f:
        text = f.read()
    for old, new in edits:
        assert old in text, f"shop/barber.cpp no longer holds {old!r}"
        text = text.replace(old, new, 1)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(text)
    return path


@pytest.fixture(scope="module")
def verdicts(tmp_path_factory):
    """model/prove's answer on every shop of the tables, two at a time."""
    folder = tmp_path_factory.mktemp("shops")
    shops = [
        (kind, entry)
        for kind, table in (
            ("wrong", WRONG_CHECKED),
            ("safe", SAFE_CHECKED),
            ("refused", REFUSED_CHECKED),
        )
        for entry in table
    ]
    paths = [
        edited(str(folder / str(i)), entry[1]) for i, (_, entry) in enumerate(shops)
    ]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        runs = [pool.submit(prove, path) for path in paths]
        return {
            entry[0]: (path, run.result())
            for (_, entry), path, run in zip(shops, paths, runs)
        }


NAMES = {}


def name_of(key, source):
    """The sentence of the property with this key, for a shop's source."""
    if (key, source) not in NAMES:
        shop = shop_of(source)
        NAMES[(key, source)] = (
            next(p.name for p in properties(shop) if p.key == key)
            if key != "ends"
            else search.EVERY_RUN_ENDS
        )
    return NAMES[(key, source)]


def test_the_shop_is_proved_for_every_n_and_s_with_one_barber():
    result = prove()
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].endswith(
        "for every number of customers N >= 0 and chairs S >= 1, with 1 barber"
    )
    assert "main starts 1 barber (main is read for nothing else)" in lines[1]
    proved = [line for line in lines if line.startswith("  proved")]
    assert len(proved) >= 25 and all(
        " z3 " in line and " cvc5 " in line for line in proved
    )
    assert "NOT PROVED" not in result.stdout and "not judged" not in result.stdout
    seconds = float(re.search(r"obligations, ([\d.]+) s\)", lines[-1]).group(1))
    assert seconds < 2.0  # well under a second on two idle cores


@pytest.mark.parametrize("entry", WRONG_CHECKED, ids=[w[0] for w in WRONG_CHECKED])
def test_a_wrong_shop_fails_with_a_run_to_the_property_it_breaks(verdicts, entry):
    path, result = verdicts[entry[0]]
    assert result.returncode == 1, result.stdout + result.stderr
    assert "a run to the error, with N = " in result.stdout
    said = re.search(r"(?:and there it breaks: |it breaks )(.*)", result.stdout).group(
        1
    )
    assert name_of(entry[2], path) in said.split("; "), said
    assert re.search(
        r"then open play-barber.html#customers=\d&chairs=\d&moves=", result.stdout
    )
    assert result.stdout.endswith("model/prove: the shop is wrong\n")


@pytest.mark.parametrize("entry", SAFE_CHECKED, ids=[s[0] for s in SAFE_CHECKED])
def test_a_safe_change_is_proved(verdicts, entry):
    _, result = verdicts[entry[0]]
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("entry", REFUSED_CHECKED, ids=[r[0] for r in REFUSED_CHECKED])
def test_what_it_cannot_follow_is_refused_with_its_line(verdicts, entry):
    _, result = verdicts[entry[0]]
    assert result.returncode == 2, result.stdout + result.stderr
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1
    assert re.match(r"model/prove: \S+barber\.cpp:\d+: ", result.stderr), result.stderr
    assert entry[2] in result.stderr


def run_of(entry, folder, broken_out=()):
    """The search's run on a wrong shop, with the properties of keys in
    `broken_out` unable to break (and, for "ends", no loop looked for)."""
    shop = shop_of(edited(folder, entry[1]))
    original = states.properties

    def weakened(system):
        found = original(system)
        for p in found:
            if p.key in broken_out:
                p.bad = L.FALSE
        return found

    states.properties = weakened
    cycle = search.cycle
    if "ends" in broken_out:
        search.cycle = lambda *args: None
    try:
        return shop, search.search(shop, 200).found
    finally:
        states.properties, search.cycle = original, cycle


def alone(key):
    """The wrong shops of this property, whose run breaks it and no other."""
    return [w for w in WRONG if w[2] == key]


KEYS = [
    "lock",
    "holder",
    "mutex",
    "guarded",
    "chairs",
    "shown",
    "one line",
    "stops",
    "end counts",
    "ends",
]


@pytest.mark.parametrize("key", KEYS)
def test_each_property_is_what_alone_catches_a_wrong_shop(tmp_path, key):
    for i, entry in enumerate(alone(key)):
        shop, found = run_of(entry, str(tmp_path / str(i)))
        name = name_of(key, shop.path)
        if found is None or found.broken != [name]:
            continue
        # Without the property, the prover would call it right.
        _, without = run_of(entry, str(tmp_path / f"{i}-without"), broken_out={key})
        assert without is None or name not in without.broken
        return
    pytest.fail(f"no wrong shop is caught by {key} alone")


def test_every_property_has_a_wrong_shop():
    shop = shop_of(os.path.join(ROOT, "shop", "barber.cpp"))
    assert {p.key for p in properties(shop)} | {"ends"} == set(KEYS)


def test_a_shop_wrong_only_beyond_the_sizes_searched_is_not_proved_and_no_run_made_up(
    tmp_path,
):
    # The sixth customer to arrive lets go of mutex twice: only a shop of six
    # customers or more breaks.
    six = [
        (
            "std::int32_t free_seat;\n",
            "std::int32_t free_seat;\nstd::int32_t arrivals;\n",
        ),
        (
            "  if (free_seat < 1) {\n",
            "  arrivals++;\n  if (arrivals == 6) {\n    up(mutex);\n  }\n  if (free_seat < 1) {\n",
        ),
    ]
    result = prove(edited(str(tmp_path), six))
    assert result.returncode == 3, result.stdout + result.stderr
    assert "NOT PROVED" in result.stdout
    assert result.stderr.startswith(
        "model/prove: not proved, and no run to an error in any shop of up to 4 customers"
    )


def fake_cvc5(folder, script):
    """A cvc5 on PATH that runs `script` (sh) on what it is given."""
    path = folder / "cvc5"
    path.write_text(f"#!/bin/sh\n{script}\n")
    path.chmod(path.stat().st_mode | stat.S_IEXEC)
    return dict(os.environ, PATH=f"{folder}:{os.environ['PATH']}")


def test_solvers_that_disagree_are_never_a_pass(tmp_path):
    result = prove(env=fake_cvc5(tmp_path, "grep -o check-sat | sed 's/.*/sat/'"))
    assert result.returncode == 2
    assert "DISAGREE    z3  0." in result.stdout and "cvc5 sat" in result.stdout
    assert result.stderr.startswith("model/prove: the two solvers disagree")


def test_what_rests_on_an_unproved_invariant_is_not_judged(tmp_path):
    result = prove(env=fake_cvc5(tmp_path, "grep -o check-sat | sed 's/.*/unknown/'"))
    assert result.returncode == 3, result.stdout + result.stderr
    judged = [
        line for line in result.stdout.splitlines() if line.startswith("  not judged")
    ]
    assert len(judged) == 10
    assert all(
        "it rests on the invariant, which is not proved (the start meets" in line
        for line in judged
    )
    assert not [
        line
        for line in result.stdout.splitlines()
        if line.startswith("  proved") and "lowers" in line
    ]


def test_a_solver_that_errs_is_a_tool_error(tmp_path):
    result = prove(
        env=fake_cvc5(tmp_path, "cat > /dev/null; echo '(error \"no such logic\")'")
    )
    assert (result.returncode, result.stdout.count("proved  ")) == (2, 0)
    assert result.stderr == 'model/prove: cvc5 said: (error "no such logic")\n'


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
