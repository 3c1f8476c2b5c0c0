# SPDX-License-Identifier: MIT
"""Every rule of every program can fail: for each, a run written by hand,
a small edit of a correct one, breaks it and no other rule of its program;
and with the rule's body made to find nothing, that run breaks nothing. The
correct runs break nothing at all."""

import dataclasses
import os

import pytest

import reader
from conftest import ROOT
from tracer.programs import barber, pairtick, parent, tallyduel
from tracer.scripted import Thread, run, views_of
from tracer.verdicts import judge

SIT = "Customer whose id = %d has sit down! Free seat = %d\\n"
GONE = "Customer whose id = %d has gone away!\\n"
CUT = "Barber has finished work from one customer!"

# One chair, three customers: 0 and 1 sit, 2 finds the chair taken.
SHOP = f"""
0.000 0.000 main sem_init barber_ready 1
0.000 0.000 main sem_init cust_ready 0
0.000 0.000 main sem_init mutex 1
0.001 0.001 main pthread_create
0.002 1.503 barber sem_wait cust_ready
0.002 1.500 main usleep 1500000
1.500 1.500 main pthread_create
1.500 1.500 c0 sem_wait mutex
1.501 1.501 c0 printf {SIT}|0|0
1.502 1.502 c0 sem_post mutex
1.503 1.503 c0 sem_post cust_ready
1.504 1.504 c0 sem_wait barber_ready
1.504 1.505 barber sem_wait mutex
1.506 1.506 barber sem_post mutex
1.507 6.507 barber sleep 5
6.508 6.508 barber puts {CUT}
6.509 6.509 barber sem_post barber_ready
6.510 6.510 barber sem_wait cust_ready
6.511 6.511 barber sem_wait mutex
6.512 6.512 barber sem_post mutex
6.513 11.513 barber sleep 5
11.514 11.514 barber puts {CUT}
11.515 11.515 barber sem_post barber_ready
11.516 - barber sem_wait cust_ready
1.500 2.000 main usleep 500000
2.000 2.000 main pthread_create
2.000 2.000 c1 sem_wait mutex
2.001 2.001 c1 printf {SIT}|1|0
2.002 2.002 c1 sem_post mutex
2.003 2.003 c1 sem_post cust_ready
2.004 6.510 c1 sem_wait barber_ready
2.000 2.500 main usleep 500000
2.500 2.500 main pthread_create
2.500 2.500 c2 sem_wait mutex
2.501 2.501 c2 sem_post mutex
2.502 2.502 c2 printf {GONE}|2
2.600 - main pthread_join
"""
SHOP_THREADS = {
    "main": Thread(10, "main"),
    "barber": Thread(11, "_barber"),
    "c0": Thread(12, "_customer"),
    "c1": Thread(13, "_customer"),
    "c2": Thread(14, "_customer"),
}


def one_chair_shop(folder):
    """shop/barber.cpp with one chair and three customers, the source of
    the SHOP's runs."""
    with open(os.path.join(ROOT, "shop", "barber.cpp")) as f:
        text = f.read()
    text = text.replace("SEAT_MAX = 6;", "SEAT_MAX = 1;").replace(
        "CUSTOMER_MAX = 20;", "CUSTOMER_MAX = 3;"
    )
    path = os.path.join(folder, "barber.cpp")
    with open(path, "w") as f:
        f.write(text)
    return reader.read(path)


def edit(script, *changes):
    for old, new in changes:
        assert old in script, old
        script = script.replace(old, new, 1)
    return script


@dataclasses.dataclass
class Case:
    """A run: its program, script and what else it needs."""

    program: object
    script: str
    threads: dict
    stdout: object = None
    stderr: str = ""
    constants: dict = dataclasses.field(default_factory=dict)
    alive: object = None
    exe_of: dict = dataclasses.field(default_factory=dict)
    speed: int = 1

    def verdicts(self, source=None):
        r = run(
            self.program,
            self.script,
            self.threads,
            stdout=self.stdout,
            alive=self.alive,
            constants=self.constants,
        )
        r.stderr, r.speed = self.stderr, self.speed
        r.exe_of.update(self.exe_of)
        return judge(r, views_of(r, source))


def shop(script=SHOP, **more):
    alive = {10, 11} | more.pop("alive", set())
    constants = {"SEAT_MAX": 1, "CUSTOMER_MAX": 3}
    constants.update(more.pop("constants", {}))
    return Case(
        barber.PROGRAM, script, SHOP_THREADS, constants=constants, alive=alive, **more
    )


STAMP = "2026-12-10 09:00:0"
TICK_THREADS = {"main": Thread(20, "main"), "thread1": Thread(21, "child_thread")}


def ticks(skip=None, late=None, same_id=False, worked=None):
    """Both threads' lines, once a second, each thread pausing a second
    after each; `late` is written half a second late, and `worked` half a
    second after its pause, in work, the lines after it following on."""
    lines = []
    for k in range(6):
        for who, tid in (("main", 20), ("thread1", 21)):
            at = (
                k
                + (0.5 if (who, k) == late else 0.0)
                + (0.5 if worked and worked[0] == who and k >= worked[1] else 0.0)
                + (0.001 if who == "thread1" else 0)
            )
            shown = 20 if same_id else tid
            if (who, k) != skip:
                lines.append(
                    f"{at:.3f} {at:.3f} {who} printf %lu %s\\n|{shown}|{STAMP}{k}"
                )
            lines.append(f"{at + 0.001:.3f} {at + 1:.3f} {who} sleep 1")
    return "\n".join(lines)


DUEL_THREADS = {"main": Thread(30, "main"), "thread1": Thread(31, "child_thread")}


def duel(raise_every=2.0, lost=None):
    """The main thread raises every raise_every s, thread1 lowers every
    second, for ten seconds; `lost` is the step whose value is written as
    if the other thread's last step had been lost."""
    steps = sorted(
        [(k * raise_every, 0, "main") for k in range(int(10 / raise_every))]
        + [(float(j), 1, "thread1") for j in range(10)]
    )
    value, lines, last = 0, [], {}
    for k, (at, _, who) in enumerate(steps):
        value += 1 if who == "main" else -1
        shown = value if k != lost else last.get(who, 0) + (1 if who == "main" else -1)
        last[who] = shown
        lines.append(
            f"{at + 0.001 * k:.3f} {at + 0.001 * k:.3f} {who} printf %d |{shown}"
        )
    return "\n".join(lines)


PAIR_THREADS = {"main": Thread(40, "main"), "child": Thread(41, "main", pid=41)}
TALKS = "The parent is talking at %s.\\n"
CHILD = "The child is talking at %s.\\n"


def talk(fork=True, child_talks=True, became=True, failed=False, late=False):
    lines = ["0.000 0.000 main fork"] if fork else []
    lines.append(
        "0.001 - child execv ./child.out"
        if not failed
        else "0.001 0.002 child execv ./child.out => -1"
    )
    for k in range(6):
        at = k + (0.5 if late and k == 3 else 0.0)
        lines.append(f"{at + 0.01:.3f} {at + 0.01:.3f} main printf {TALKS}|{STAMP}{k}")
        if child_talks:
            lines.append(
                f"{k + 0.02:.3f} {k + 0.02:.3f} child printf {CHILD}|{STAMP}{k}"
            )
    exe = "/build/child.out" if became else "/build/parent"
    return dict(script="\n".join(lines), exe_of={41: exe})


def parents(**what):
    found = talk(**{k: v for k, v in what.items() if k != "stderr"})
    return Case(
        parent.PROGRAM,
        found["script"],
        PAIR_THREADS,
        stderr=what.get("stderr", ""),
        exe_of=found["exe_of"],
    )


def stdout_of(case):
    from tracer.scripted import calls_of, printed_text

    calls = calls_of(case.script, case.threads)
    return "".join(
        printed_text(c)
        for c in calls
        if c.name in ("printf", "puts") and c.end is not None
    )


def dropped(case, piece):
    """The case with one piece of its output lost."""
    out = stdout_of(case)
    assert piece in out
    return dataclasses.replace(case, stdout=out.replace(piece, "", 1))


# (program, rule, the wrong run, why it is wrong)
WRONG_RUNS = [
    (
        "barber",
        "output_rule",
        lambda: dropped(shop(), "Customer whose id = 2 has gone away!\n"),
        "a line printed is not in the output",
    ),
    (
        "barber",
        "lock_rule",
        lambda: shop(
            edit(
                SHOP,
                ("1.502 1.502 c0 sem_post mutex", "1.5045 1.5045 c0 sem_post mutex"),
            )
        ),
        "customer 0 waits on barber_ready holding mutex",
    ),
    (
        "barber",
        "one_holder",
        lambda: shop(
            edit(
                SHOP,
                (
                    "0.001 0.001 main pthread_create",
                    "0.0005 0.0005 main sem_post mutex\n0.001 0.001 main pthread_create",
                ),
            )
        ),
        "the driver posts mutex he does not hold",
    ),
    (
        "barber",
        "start_counts",
        lambda: shop(
            edit(
                SHOP,
                ("main sem_init barber_ready 1", "main sem_init barber_ready 0"),
                (
                    "1.504 1.504 c0 sem_wait barber_ready",
                    "1.504 6.510 c0 sem_wait barber_ready",
                ),
                (
                    "2.004 6.510 c1 sem_wait barber_ready",
                    "2.004 11.516 c1 sem_wait barber_ready",
                ),
            )
        ),
        "barber_ready starts at 0",
    ),
    (
        "barber",
        "counts_stay_natural",
        lambda: shop(
            edit(
                SHOP,
                (
                    "2.004 6.510 c1 sem_wait barber_ready",
                    "2.004 2.005 c1 sem_wait barber_ready",
                ),
            )
        ),
        "customer 1 passes barber_ready at 0",
    ),
    (
        "barber",
        "posts_per_customer",
        lambda: shop(
            edit(
                SHOP,
                (
                    "2.502 2.502 c2 printf",
                    "2.503 2.503 c2 sem_post barber_ready\n2.502 2.502 c2 printf",
                ),
            )
        ),
        "customer 2 goes away and posts barber_ready",
    ),
    (
        "barber",
        "takes_only_the_seated",
        lambda: shop(
            edit(
                SHOP,
                (
                    "0.002 1.503 barber sem_wait cust_ready",
                    "0.002 1.5005 barber sem_wait cust_ready\n1.5005 1.5005 main sem_post cust_ready",
                ),
            )
        ),
        "the barber takes a customer before anyone sat",
    ),
    (
        "barber",
        "chairs_in_range",
        lambda: shop(constants={"SEAT_MAX": 0}),
        "the source's changes leave a chair free in a shop the executable says has none",
    ),
    (
        "barber",
        "one_line_each",
        lambda: shop(edit(SHOP, (f"c2 printf {GONE}|2", f"c2 printf {GONE}|1"))),
        "two lines carry id 1 and none id 2",
    ),
    (
        "barber",
        "sit_down_numbers",
        lambda: shop(edit(SHOP, (f"c1 printf {SIT}|1|0", f"c1 printf {SIT}|1|1"))),
        "customer 1 shows a chair the changes do not leave",
    ),
    (
        "barber",
        "one_line_per_take",
        lambda: shop(
            edit(
                SHOP,
                (
                    "6.509 6.509 barber",
                    f"6.5085 6.5085 barber printf {GONE}|2\n6.509 6.509 barber",
                ),
            )
        ),
        "the barber writes a customer's line",
    ),
    (
        "barber",
        "haircut_length",
        lambda: shop(
            edit(
                SHOP,
                (f"6.508 6.508 barber puts {CUT}", f"7.508 7.508 barber puts {CUT}"),
            )
        ),
        "the barber writes his line a second late",
    ),
    (
        "barber",
        "all_let_through",
        lambda: shop(
            edit(
                SHOP,
                (
                    "2.004 6.510 c1 sem_wait barber_ready",
                    "2.004 - c1 sem_wait barber_ready",
                ),
            ),
            alive={13},
        ),
        "customer 1 is never let through",
    ),
    (
        "barber",
        "quiet_at_the_end",
        lambda: shop(
            edit(
                SHOP,
                (
                    "2.600 - main pthread_join",
                    "12.000 12.000 main usleep 0\n12.001 - main pthread_join",
                ),
            )
        ),
        "the driver still pauses after the last haircut",
    ),
    (
        "pairtick",
        "output_rule",
        lambda: dropped(
            Case(pairtick.PROGRAM, ticks(), TICK_THREADS), f"21 {STAMP}3\n"
        ),
        "a line printed is not in the output",
    ),
    (
        "pairtick",
        "two_ids",
        lambda: Case(pairtick.PROGRAM, ticks(same_id=True), TICK_THREADS),
        "both threads write one id",
    ),
    (
        "pairtick",
        "once_a_second",
        lambda: Case(pairtick.PROGRAM, ticks(late=("thread1", 3)), TICK_THREADS),
        "thread1 writes half a second late",
    ),
    (
        "tallyduel",
        "output_rule",
        lambda: dropped(Case(tallyduel.PROGRAM, duel(), DUEL_THREADS), "-3 "),
        "a number written is not in the output",
    ),
    (
        "tallyduel",
        "pace",
        lambda: Case(tallyduel.PROGRAM, duel(raise_every=2.5), DUEL_THREADS),
        "the main thread raises every 2.5 s",
    ),
    (
        "tallyduel",
        "steps_explain_values",
        lambda: Case(tallyduel.PROGRAM, duel(lost=6), DUEL_THREADS),
        "a lowering is lost",
    ),
    (
        "parent",
        "output_rule",
        lambda: dropped(parents(), f"The child is talking at {STAMP}2.\n"),
        "a line printed is not in the output",
    ),
    ("parent", "splits", lambda: parents(fork=False), "no fork was made"),
    (
        "parent",
        "becomes_child_or_says_why",
        lambda: parents(became=False),
        "the new process runs on as parent",
    ),
    (
        "parent",
        "who_talks",
        lambda: parents(
            failed=True,
            became=False,
            child_talks=True,
            stderr="parent: cannot run ./child.out: No such file or directory\n",
        ),
        "the new process cannot run child.out, and talks",
    ),
    (
        "parent",
        "once_a_second",
        lambda: parents(late=True),
        "the parent talks half a second late",
    ),
]
PROGRAMS = {
    "barber": barber.PROGRAM,
    "pairtick": pairtick.PROGRAM,
    "tallyduel": tallyduel.PROGRAM,
    "parent": parent.PROGRAM,
}
RIGHT_RUNS = {
    "barber": shop,
    "pairtick": lambda: Case(pairtick.PROGRAM, ticks(), TICK_THREADS),
    "tallyduel": lambda: Case(tallyduel.PROGRAM, duel(), DUEL_THREADS),
    "parent": parents,
}


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    return one_chair_shop(str(tmp_path_factory.mktemp("shop")))


def broken(verdicts):
    return [v.rule for v in verdicts if v.broken]


@pytest.mark.parametrize("name", PROGRAMS)
def test_a_right_run_breaks_no_rule_and_judges_every_one(source, name):
    verdicts = RIGHT_RUNS[name]().verdicts(source)
    assert broken(verdicts) == []
    assert [v.rule for v in verdicts if v.why_not_judged] == []


def test_work_before_a_line_counts_as_long_as_at_the_program_s_own_pace(source):
    worked = Case(pairtick.PROGRAM, ticks(worked=("thread1", 2)), TICK_THREADS)
    assert broken(worked.verdicts(source)) == ["each thread writes one line a second"]
    # Under --speed 10 the same half second of work is 0.05 s of its own.
    worked.speed = 10
    assert broken(worked.verdicts(source)) == []


@pytest.mark.parametrize(
    "program,rule,case,why", WRONG_RUNS, ids=[f"{w[0]}-{w[1]}" for w in WRONG_RUNS]
)
def test_each_rule_alone_breaks_on_its_wrong_run(source, program, rule, case, why):
    found = PROGRAMS[program]
    wanted = next(r for r in found.rules if r.judge.__name__ == rule)
    verdicts = case().verdicts(source)
    assert [v.rule for v in verdicts if v.broken] == [
        v.rule for v, r in zip(verdicts, found.rules) if r is wanted
    ], why
    # With the rule's body finding nothing, the run would go through.
    emptied = tuple(
        dataclasses.replace(r, judge=nothing(r.judge)) if r is wanted else r
        for r in found.rules
    )
    weak = dataclasses.replace(
        case(), program=dataclasses.replace(found, rules=emptied)
    )
    assert broken(weak.verdicts(source)) == []


def nothing(judge):
    def finds_nothing(run, views):
        return []

    finds_nothing.__doc__ = judge.__doc__
    return finds_nothing


def test_every_rule_of_every_program_has_its_wrong_run():
    covered = {(p, r) for p, r, _, _ in WRONG_RUNS}
    every = {(n, r.judge.__name__) for n, p in PROGRAMS.items() for r in p.rules}
    assert every == covered
