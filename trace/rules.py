# SPDX-License-Identifier: MIT
"""The rules each program must keep, checked on what a recorded run did.

Every time is when uftrace saw a call begin or return. A thread really holds
mutex from some moment before its sem_wait returned to some moment after its
sem_post began, so the span from that return to that begin lies inside the
real one: two such spans that overlap prove two holders at once, and no rule
of order can be broken by the recording's own delays. Replaying the counts,
a post counts from when it began and a wait from when it returned, so a
count seen below 0 really was. The rules of pace allow a quarter of a
second either way (SLACK), far more than recording a call costs.
"""

import collections
import dataclasses
import re

from record import printed

SEAT_MAX = 6
CUSTOMERS = 20
HAIRCUT = 5.0
# How far a pause may stray from its length, in the program's seconds.
SLACK = 0.25
SAT = re.compile(r"Customer whose id = (-?\d+) has sit down! Free seat = (-?\d+)\n")
GONE = re.compile(r"Customer whose id = (-?\d+) has gone away!\n")
BARBER_LINE = "Barber has finished work from one customer!\n"


@dataclasses.dataclass
class Verdict:
    rule: str
    breach: object = None  # (time, thread, what) of the first breach

    @property
    def holds(self):
        return self.breach is None


class Rules:
    """Collects the verdicts of one run, keeping each rule's first breach."""

    def __init__(self, run, names):
        self.run = run
        self.names = names  # tid -> what the pictures and reports call it
        self.verdicts = []

    def rule(self, text, breaches):
        breaches = sorted(breaches, key=lambda b: b[0])
        self.verdicts.append(Verdict(text, breaches[0] if breaches else None))

    def name(self, tid):
        return self.names.get(tid, f"thread {tid}")


def lines_of(run):
    """Each thread's printed texts with their times."""
    out = collections.defaultdict(list)
    for c in run.calls:
        if c.name in ("printf", "puts") and c.end is not None:
            out[c.tid].append((c.start, printed(c)))
    return out


def output_rule(rules):
    """The lines the threads printed are the program's output: each line the
    recording saw is there, and at most one per thread more (a print the stop
    cut short)."""
    run = rules.run
    seen = collections.Counter(
        text for texts in lines_of(run).values() for _, text in texts
    )
    if run.program == "tallyduel":
        shown = collections.Counter(w + " " for w in run.stdout.split())
    else:
        shown = collections.Counter(run.stdout.splitlines(keepends=True))
    missing = seen - shown
    extra = sum((shown - seen).values())
    breaches = [
        (run.stop, "-", f"the recording saw {text!r}, the output does not show it")
        for text in missing
    ]
    if extra > len(run.threads()):
        breaches.append((run.stop, "-", f"{extra} lines of output no print made"))
    rules.rule("the lines the threads printed are the program's output", breaches)


def barber_names(run):
    threads = run.threads(run.main_pid)
    names = {run.main_pid: "driver"}
    rest = [t for t in threads if t != run.main_pid]
    if rest:
        names[rest[0]] = "barber"
    for tid in rest[1:]:
        for _, text in lines_of(run).get(tid, []):
            m = SAT.match(text) or GONE.match(text)
            if m:
                names[tid] = f"customer {m.group(1)}"
                break
    return names


def sections(run, rules, breaches):
    """Each thread's spans of holding mutex: (acquired, released, tid), and
    the breaches of taking or giving it out of turn."""
    spans = []
    for tid in run.threads(run.main_pid):
        since = None
        for c in run.calls_of(tid, "sem_wait", "sem_post"):
            if c.sem != "mutex":
                continue
            if c.name == "sem_wait":
                if since is not None:
                    breaches.append(
                        (c.start, rules.name(tid), "takes mutex again, holding it")
                    )
                if c.end is not None:
                    since = c.end
            elif since is None:
                breaches.append(
                    (c.start, rules.name(tid), "posts mutex without holding it")
                )
            else:
                spans.append((since, c.start, tid))
                since = None
    return sorted(spans)


def check_barber(run):
    names = barber_names(run)
    rules = Rules(run, names)
    output_rule(rules)
    barber = next((t for t, n in names.items() if n == "barber"), None)
    customers = [
        t for t in run.threads(run.main_pid) if t not in (run.main_pid, barber)
    ]
    texts = lines_of(run)
    sat_at = {}  # tid -> the sit-down print
    gone = set()
    for tid in customers:
        for c in run.calls_of(tid, "printf"):
            if c.end is not None and SAT.match(printed(c)):
                sat_at[tid] = c
            elif c.end is not None and GONE.match(printed(c)):
                gone.add(tid)

    # Lock rule and the one holder.
    mutex_breaches = []
    spans = sections(run, rules, mutex_breaches)
    lock_breaches = []
    for c in run.calls:
        if c.name == "sem_wait" and c.sem in ("cust_ready", "barber_ready"):
            if any(a <= c.start <= r for a, r, t in spans if t == c.tid):
                lock_breaches.append(
                    (c.start, rules.name(c.tid), f"waits on {c.sem} holding mutex")
                )
    rules.rule(
        "nobody waits on cust_ready or barber_ready while holding mutex", lock_breaches
    )
    for (a1, r1, t1), (a2, _, t2) in zip(spans, spans[1:]):
        if a2 < r1:
            mutex_breaches.append(
                (a2, rules.name(t2), f"takes mutex while {rules.name(t1)} holds it")
            )
    rules.rule(
        "mutex is held by one thread at a time, and given back by its holder",
        mutex_breaches,
    )

    # Replay of the counts, from what sem_init really set.
    design = {"barber_ready": 1, "cust_ready": 0, "mutex": 1}
    count = {
        c.sem: c.args[1] for c in run.calls if c.name == "sem_init" and len(c.args) > 1
    }
    rules.rule(
        "the semaphores start at barber_ready 1, cust_ready 0, mutex 1",
        [
            (0.0, "driver", f"{sem} starts at {count.get(sem, 'no sem_init')}")
            for sem, value in design.items()
            if count.get(sem) != value
        ],
    )
    events = []
    for c in run.calls:
        if c.name == "sem_post":
            events.append((c.start, 0, c.sem, +1, c.tid))
        elif c.name == "sem_wait" and c.end is not None:
            events.append((c.end, 1, c.sem, -1, c.tid))
    count = {**design, **count}
    replay_breaches = []
    for at, _, sem, step, tid in sorted(events):
        count[sem] = count.get(sem, 0) + step
        if count[sem] < 0:
            replay_breaches.append(
                (at, rules.name(tid), f"takes {sem} at count {count[sem] + 1}")
            )
    rules.rule(
        "replayed from those counts, no semaphore's count goes below 0",
        replay_breaches,
    )

    # What each customer posts.
    post_breaches = []
    for tid in customers:
        posts = collections.Counter(c.sem for c in run.calls_of(tid, "sem_post"))
        want = {"cust_ready": 1 if tid in sat_at else 0, "barber_ready": 0}
        for sem, n in want.items():
            if posts[sem] != n:
                kind = (
                    "a seated customer" if tid in sat_at else "a customer who goes away"
                )
                at = max((c.start for c in run.calls_of(tid)), default=run.stop)
                post_breaches.append(
                    (at, rules.name(tid), f"{kind} posts {sem} {posts[sem]} times")
                )
    rules.rule(
        "each seated customer posts cust_ready once; one who goes away posts nothing",
        post_breaches,
    )

    takes = [
        c
        for c in run.calls_of(barber, "sem_wait")
        if c.sem == "cust_ready" and c.end is not None
    ]
    sits = sorted(c.start for c in sat_at.values())
    take_breaches = [
        (
            c.end,
            "barber",
            f"takes customer {k + 1} with {sum(s <= c.end for s in sits)} seated",
        )
        for k, c in enumerate(takes)
        if sum(s <= c.end for s in sits) < k + 1
    ]
    rules.rule(
        "the barber never takes more customers than have sat down", take_breaches
    )

    # Free chairs, section by section.
    free = SEAT_MAX
    range_breaches, count_breaches = [], []
    for acquired, released, tid in spans:
        if tid == barber:
            free += 1
        elif tid in sat_at and acquired <= sat_at[tid].start <= released:
            free -= 1
            shown = int(SAT.match(printed(sat_at[tid])).group(2))
            if shown != free:
                count_breaches.append(
                    (
                        sat_at[tid].start,
                        rules.name(tid),
                        f"shows free seat {shown}, the operations give {free}",
                    )
                )
        elif tid in gone and free != 0:
            count_breaches.append(
                (released, rules.name(tid), f"goes away with {free} chairs free")
            )
        if not 0 <= free <= SEAT_MAX:
            range_breaches.append(
                (released, rules.name(tid), f"leaves {free} chairs free")
            )
    for tid, c in sat_at.items():
        if not any(a <= c.start <= r for a, r, t in spans if t == tid):
            count_breaches.append(
                (
                    c.start,
                    rules.name(tid),
                    "writes his sit-down line without holding mutex",
                )
            )
    rules.rule(f"free chairs stay within 0 to {SEAT_MAX}", range_breaches)

    line_breaches = []
    ids = collections.Counter()
    for tid in customers:
        mine = texts.get(tid, [])
        if len(mine) != 1:
            at = mine[1][0] if len(mine) > 1 else run.stop
            line_breaches.append((at, rules.name(tid), f"writes {len(mine)} lines"))
        for _, text in mine:
            m = SAT.match(text) or GONE.match(text)
            if m:
                ids[int(m.group(1))] += 1
    for i in range(CUSTOMERS):
        if ids[i] != 1:
            line_breaches.append(
                (run.stop, f"customer {i}", f"{ids[i]} lines carry id {i}")
            )
    rules.rule(
        f"every customer thread writes exactly one line, and each of the {CUSTOMERS} ids shows once",
        line_breaches,
    )
    rules.rule(
        "each sit-down line shows the free chairs the operations give; a customer goes away only when none is free",
        count_breaches,
    )

    cuts = [c for c in run.calls_of(barber, "puts") if c.end is not None]
    cut_breaches = []
    for k, take in enumerate(takes):
        if k >= len(cuts):
            if take.end + HAIRCUT + SLACK < run.stop:
                cut_breaches.append(
                    (
                        take.end + HAIRCUT,
                        "barber",
                        f"writes no line for customer {k + 1} he took",
                    )
                )
            continue
        took = cuts[k].start - take.end
        if abs(took - HAIRCUT) > SLACK:
            cut_breaches.append(
                (
                    cuts[k].start,
                    "barber",
                    f"writes his line {took:.2f} s after he took a customer",
                )
            )
    for extra in cuts[len(takes) :]:
        cut_breaches.append(
            (extra.start, "barber", "writes a line for a customer he never took")
        )
    for c in run.calls_of(barber, "printf"):
        cut_breaches.append((c.start, "barber", "writes a customer's line"))
    rules.rule(
        f"the barber writes one line per customer he took, {HAIRCUT:g} s after he took him",
        cut_breaches,
    )

    through_breaches = []
    for tid in sat_at:
        waits = [c for c in run.calls_of(tid, "sem_wait") if c.sem == "barber_ready"]
        if not any(c.end is not None for c in waits):
            through_breaches.append(
                (run.stop, rules.name(tid), "still waits on barber_ready")
            )
    rules.rule(
        "every seated customer is let through barber_ready, and his thread ends",
        through_breaches,
    )

    end_breaches = []
    posts = [c for c in run.calls_of(barber, "sem_post") if c.sem == "barber_ready"]
    last = posts[-1].start if posts else 0.0
    final = run.calls_of(barber)[-1] if run.calls_of(barber) else None
    if final is None or not (
        final.name == "sem_wait" and final.sem == "cust_ready" and final.end is None
    ):
        what = "does not sleep on cust_ready at the end"
        if final is not None:
            what += f": his last call is {final.name}" + (
                f" on {final.sem}" if final.sem else ""
            )
        end_breaches.append((run.stop, "barber", what))
    for c in run.calls:
        if c.start > last and c.end is not None and c is not final:
            end_breaches.append(
                (c.start, rules.name(c.tid), f"{c.name} after the last haircut")
            )
        elif (
            c.start > last
            and c.end is None
            and c.tid != barber
            and c.name != "pthread_join"
        ):
            end_breaches.append(
                (
                    c.start,
                    rules.name(c.tid),
                    f"still in {c.name}" + (f" on {c.sem}" if c.sem else ""),
                )
            )
    rules.rule(
        "after the last haircut the barber sleeps on cust_ready and nothing else happens",
        end_breaches,
    )
    return rules


def periodic(rules, tid, times, period, what):
    """Breaches of a thread that should act every `period` seconds."""
    return [
        (b, rules.name(tid), f"{what} {b - a:.2f} s after the last")
        for a, b in zip(times, times[1:])
        if abs(b - a - period) > SLACK
    ]


def check_pairtick(run):
    texts = lines_of(run)
    talkers = [t for t in run.threads(run.main_pid) if texts.get(t)]
    names = {t: ("main thread" if t == run.main_pid else "thread1") for t in talkers}
    rules = Rules(run, names)
    output_rule(rules)
    breaches = []
    if len(talkers) != 2:
        breaches.append((run.stop, "-", f"{len(talkers)} threads talk"))
    ids = {}
    for tid in talkers:
        said = {text.split(" ", 1)[0] for _, text in texts[tid]}
        if len(said) != 1:
            breaches.append(
                (texts[tid][0][0], rules.name(tid), f"writes {len(said)} ids")
            )
        ids[tid] = said
    if len(talkers) == 2 and ids[talkers[0]] == ids[talkers[1]]:
        breaches.append((run.stop, "-", "both threads write the same id"))
    rules.rule("two threads talk, each writing an id of its own", breaches)
    breaches = []
    for tid in talkers:
        breaches += periodic(rules, tid, [t for t, _ in texts[tid]], 1.0, "writes")
    rules.rule("each thread writes one line a second", breaches)
    return rules


def check_tallyduel(run):
    texts = lines_of(run)
    second = next((t for t in run.threads(run.main_pid) if t != run.main_pid), None)
    names = {run.main_pid: "main thread (+1)", second: "thread1 (-1)"}
    rules = Rules(run, names)
    output_rule(rules)
    ups = [int(text) for _, text in texts.get(run.main_pid, [])]
    downs = [int(text) for _, text in texts.get(second, [])]
    breaches = periodic(
        rules, run.main_pid, [t for t, _ in texts.get(run.main_pid, [])], 2.0, "raises"
    )
    breaches += periodic(
        rules, second, [t for t, _ in texts.get(second, [])], 1.0, "lowers"
    )
    rules.rule(
        "the main thread raises the counter every 2 s, thread1 lowers it every second",
        breaches,
    )
    rules.rule(
        "every value is explained by the two threads' steps in some order, none lost or counted twice",
        explain_steps(rules, texts, ups, downs, run.main_pid, second),
    )
    return rules


def explain_steps(rules, texts, ups, downs, up_tid, down_tid):
    """After the main thread's k-th step (+1) and the j steps of thread1 (-1)
    taken before it, the counter is k - j; so its k-th value tells j, and the
    j-th value of thread1 tells how many raises came first. The values are
    explained when both counts only grow and say the same order."""
    m, n = len(ups), len(downs)
    before_up = [k + 1 - v for k, v in enumerate(ups)]  # lowerings before raise k
    before_down = [v + j + 1 for j, v in enumerate(downs)]  # raises before lowering j
    breaches = []

    def at(tid, i):
        return texts[tid][i][0]

    def only_grow(tid, values, before, others):
        # One step more than was printed may have been taken as the run
        # stopped.
        for i, b in enumerate(before):
            if not 0 <= b <= others + 1 or (i and b < before[i - 1]):
                breaches.append(
                    (
                        at(tid, i),
                        rules.name(tid),
                        f"writes {values[i]}: no order of the steps gives it",
                    )
                )

    only_grow(up_tid, ups, before_up, n)
    only_grow(down_tid, downs, before_down, m)
    for k, j_before in enumerate(before_up):
        for j, i_before in enumerate(before_down):
            # Raise k came before lowering j exactly when lowering j had
            # more than k raises before it.
            if (j_before <= j) != (i_before > k):
                breaches.append(
                    (
                        max(at(up_tid, k), at(down_tid, j)),
                        rules.name(down_tid),
                        f"raise {k + 1} (wrote {ups[k]}) and lowering {j + 1} (wrote {downs[j]}) disagree on their order",
                    )
                )
    return breaches


def check_parent(run):
    texts = lines_of(run)
    pids = sorted(set(run.pid_of.values()), key=lambda p: run.first_seen.get(p, 0))
    child = next((p for p in pids if p != run.main_pid), None)
    names = {run.main_pid: "parent"}
    if child is not None:
        names[child] = (
            "child.out"
            if run.exe_of.get(child, "").endswith("/child.out")
            else "new process"
        )
    rules = Rules(run, names)
    output_rule(rules)
    forks = [c for c in run.calls_of(run.main_pid, "fork") if c.end is not None]
    rules.rule(
        "the parent splits off a second process",
        []
        if child is not None and forks
        else [(run.stop, "parent", "no second process")],
    )
    execs = [c for c in run.calls if c.name == "execv" and c.tid == child]
    failed = [c for c in execs if c.end is not None]
    breaches = [] if texts.get(run.main_pid) else [(run.stop, "parent", "never talks")]
    breaches += periodic(
        rules, run.main_pid, [t for t, _ in texts.get(run.main_pid, [])], 1.0, "talks"
    )
    if not failed:
        rules.rule(
            "the second process execs ./child.out and becomes child.out",
            []
            if names.get(child) == "child.out"
            and execs
            and execs[0].args[:1] == ["./child.out"]
            else [(run.stop, names.get(child, "-"), "does not become ./child.out")],
        )
        if not texts.get(child):
            breaches.append((run.stop, "child.out", "never talks"))
        breaches += periodic(
            rules, child, [t for t, _ in texts.get(child, [])], 1.0, "talks"
        )
        rules.rule("both processes talk once a second", breaches)
    else:
        said = "parent: cannot run ./child.out:" in run.stderr
        still = [c for c in run.calls if c.pid == child and c.end is None]
        rules.rule(
            "the exec of ./child.out fails: the new process says why and ends",
            []
            if said and not still and failed[0].ret == -1
            else [(failed[0].end, "new process", "does not say why, or does not end")],
        )
        if texts.get(child):
            breaches.append((texts[child][0][0], "new process", "talks"))
        rules.rule("only the parent talks, once a second", breaches)
    return rules


CHECKS = {
    "barber": check_barber,
    "pairtick": check_pairtick,
    "tallyduel": check_tallyduel,
    "parent": check_parent,
}
