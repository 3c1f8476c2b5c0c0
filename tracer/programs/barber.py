# SPDX-License-Identifier: MIT
"""barber: the sleeping barber's shop, as the tools know it: its lines, its
threads (the barber is a thread started in _barber, a customer one started
in _customer), when its day is over, the free chairs replayed from where
its source changes the chair counter, and its rules."""

import collections

from reader import expr as E

from . import Lines, Program, matcher
from ..calls import printed
from ..rules import output_rule
from ..verdicts import SLACK, Breach, rule

# The barber's three lines, as shop/barber.cpp writes them.
BARBER_LINE = "Barber has finished work from one customer!"
SIT_DOWN = "Customer whose id = %d has sit down! Free seat = %d\n"
GONE_AWAY = "Customer whose id = %d has gone away!\n"
START_COUNTS = {"barber_ready": 1, "cust_ready": 0, "mutex": 1}
# The constants of the shop, read from an executable's debug information.
CHAIRS, CUSTOMERS = "SEAT_MAX", "CUSTOMER_MAX"
BARBER, CUSTOMER = "_barber", "_customer"
LOCK = "mutex"
# The semaphores the design's rule names, in its words.
WAITED = ("cust_ready", "barber_ready")
# A day that looks over must stay quiet this long (program seconds): longer
# than the longest pause between two arrivals (4.5 s).
QUIET = 6.0

SAT = matcher(SIT_DOWN)
GONE = matcher(GONE_AWAY)


def customer_line(text):
    """(id, free seat or None) of a customer's line; None for any other."""
    m = SAT.fullmatch(text or "")
    if m:
        return int(m.group(1)), int(m.group(2))
    m = GONE.fullmatch(text or "")
    return (int(m.group(1)), None) if m else None


def chair_counter(source):
    """The shared integer init() sets to SEAT_MAX (plus or minus a number):
    the count of free chairs; None unless there is exactly one."""
    found = {
        s.var
        for r in source.routines.values()
        for s in r.steps.values()
        if s.routine == "init"
        and s.kind == "change"
        and s.op == "="
        and any(
            isinstance(n, E.Constant) and n.name == CHAIRS
            for n in constants_in(s.value)
        )
    }
    return found.pop() if len(found) == 1 else None


def constants_in(expr):
    expr = E.uncast(expr)
    if isinstance(expr, E.Constant):
        return [expr]
    if isinstance(expr, E.Unary):
        return constants_in(expr.operand)
    if isinstance(expr, E.Binary):
        return constants_in(expr.left) + constants_in(expr.right)
    return []


class Story(Lines):
    """Someone came, and every customer who sat down has been served: once
    that has held for QUIET seconds with no new line, the day is over."""

    def __init__(self):
        super().__init__()
        self.sat, self.gone, self.served = 0, 0, 0

    def line(self, line):
        self.sat += bool(SAT.fullmatch(line + "\n"))
        self.gone += bool(GONE.fullmatch(line + "\n"))
        self.served += line == BARBER_LINE

    @property
    def told(self):
        return self.sat + self.gone > 0 and self.served == self.sat


def names(run, views):
    """The driver, the barber (barber 1, 2, ... where there are more), and
    each customer by the id he printed (by the order he came in, if he
    printed none)."""
    found = {run.main_pid: "driver"}
    barbers = views.tids_of(BARBER)
    for k, tid in enumerate(barbers):
        found[tid] = "barber" if len(barbers) == 1 else f"barber {k + 1}"
    for k, tid in enumerate(views.tids_of(CUSTOMER)):
        said = [customer_line(text) for _, text in views.lines.get(tid, [])]
        ids = [s[0] for s in said if s is not None]
        found[tid] = f"customer {ids[0] if ids else k}"
    for tid in run.threads(run.main_pid):
        found.setdefault(tid, f"{run.routine_of.get(tid) or 'a'} thread {tid}")
    return found


def barbers(views):
    return views.tids_of(BARBER)


def customers(views):
    return views.tids_of(CUSTOMER)


def facts(run, views):
    """(what the rules' sentences speak of, why each one unknown is), worked
    out once."""
    return views.memo("facts", lambda: work_out_facts(run, views))


def work_out_facts(run, views):
    """(what the rules' sentences speak of, why each one unknown is): the
    chairs and customers from the executable's debug information (the
    customers otherwise from the threads the driver started), the
    barber's haircut from the pause he asks for, and the chairs replayed."""
    known, why = {}, {}
    if CHAIRS in run.constants:
        known["chairs"] = run.constants[CHAIRS]
    else:
        why[
            "chairs"
        ] = "the executable has no debug information to tell the number of chairs"
    known["customers"] = run.constants.get(CUSTOMERS, len(customers(views)))
    asked = {
        c.args[0] for t in barbers(views) for c in run.calls_of(t, "sleep") if c.args
    }
    if len(asked) == 1:
        known["haircut"] = asked.pop()
    else:
        why["haircut"] = (
            "the barber began no haircut, whose length his sleep would tell"
            if not asked
            else "the barbers' pauses are not all one length"
        )
    free = replay(run, views)
    if free[0] is None:
        why["replay"] = free[1]
    else:
        known["replay"] = True
    present = [s for s in WAITED if s in views.start_counts] + [
        s for s in views.start_counts if s not in WAITED and s != LOCK
    ]
    known["waited"] = " or ".join(present or WAITED)
    return known, why


def replay(run, views):
    """([(time, free chairs, tid, the call that carries the change)], None),
    the chair counter replayed at every change the source makes of it,
    each at the recorded call its thread makes next; or (None, why not)."""
    return views.memo("chairs", lambda: work_out_replay(run, views))


def work_out_replay(run, views):
    source, why = views.source
    if source is None:
        return None, why
    counter = chair_counter(source)
    if counter is None:
        return None, "its source's init() sets no one shared integer to SEAT_MAX"
    if views.mapping.why_not:
        return None, f"the run does not fit its source: {views.mapping.why_not}"
    free = source.initial.get(counter)
    found = []
    for c in run.calls:
        place = views.mapping.place(c)
        for step in place.changes if place else ():
            if step.var != counter:
                continue
            amount = E.value(step.value)
            if amount is None:
                return (
                    None,
                    f"its source changes {counter} by {step.value.c}, which is no number",
                )
            free = (
                amount
                if step.op == "="
                else free + (amount if step.op == "+" else -amount)
            )
            found.append((c.start, free, c.tid, c))
    return found, None


def free_at(run, views, call):
    """The free chairs after every change made before `call` and with it."""
    found, _ = replay(run, views)
    free = None
    for at, value, tid, carrier in found:
        if carrier is call or at < call.start or (at == call.start and tid == call.tid):
            free = value
        elif at > call.start:
            break
    return free


def sits(views):
    """tid -> the sit-down print of each customer who sat, and the set of
    those who went away."""
    sat, gone = {}, set()
    for tid in customers(views):
        for c in views.prints(tid):
            line = customer_line(printed(c))
            if line is not None and line[1] is not None:
                sat[tid] = c
            elif line is not None:
                gone.add(tid)
    return sat, gone


RULES = []
rule(RULES)(output_rule)


@rule(RULES)
def lock_rule(run, views):
    """nobody waits on {waited} while holding mutex"""
    return [
        Breach(c.start, views.name(c.tid), f"waits on {c.sem} holding mutex")
        for c in run.calls
        if c.name == "sem_wait" and c.sem != LOCK and views.holding(c.tid, c.start)
    ]


@rule(RULES)
def one_holder(run, views):
    """mutex is held by one thread at a time, and given back by its holder"""
    spans, misuse = views.sections
    breaches = [Breach(at, views.name(tid), what) for at, tid, what in misuse]
    for first, second in zip(spans, spans[1:]):
        if second.acquired < first.released:
            breaches.append(
                Breach(
                    second.acquired,
                    views.name(second.tid),
                    f"takes mutex while {views.name(first.tid)} holds it",
                )
            )
    return breaches


@rule(RULES)
def start_counts(run, views):
    """the semaphores start at barber_ready 1, cust_ready 0, mutex 1"""
    return [
        Breach(
            0.0,
            "driver",
            f"{sem} starts at {views.start_counts.get(sem, 'no sem_init')}",
        )
        for sem, value in START_COUNTS.items()
        if views.start_counts.get(sem) != value
    ]


@rule(RULES)
def counts_stay_natural(run, views):
    """replayed from those counts, no semaphore's count goes below 0"""
    return [
        Breach(c.at, views.name(c.tid), f"takes {c.sem} at count {c.value + 1}")
        for c in views.counts
        if c.value < 0
    ]


@rule(RULES)
def posts_per_customer(run, views):
    """each seated customer posts cust_ready once; one who goes away posts
    nothing"""
    sat, _ = sits(views)
    breaches = []
    for tid in customers(views):
        posts = collections.Counter(c.sem for c in run.calls_of(tid, "sem_post"))
        kind = "a seated customer" if tid in sat else "a customer who goes away"
        at = max((c.start for c in run.calls_of(tid)), default=run.stop)
        for sem, n in {"cust_ready": int(tid in sat), "barber_ready": 0}.items():
            if posts[sem] != n:
                breaches.append(
                    Breach(
                        at, views.name(tid), f"{kind} posts {sem} {posts[sem]} times"
                    )
                )
    return breaches


def takes(run, views, tid=None):
    """The barbers' (or one barber's) completed waits on cust_ready: each
    takes a customer."""
    return [
        c
        for t in ([tid] if tid is not None else barbers(views))
        for c in run.calls_of(t, "sem_wait")
        if c.sem == "cust_ready" and c.end is not None
    ]


@rule(RULES)
def takes_only_the_seated(run, views):
    """the barber never takes more customers than have sat down"""
    seated_at = sorted(c.start for c in sits(views)[0].values())
    breaches = []
    for k, c in enumerate(sorted(takes(run, views), key=lambda c: c.end)):
        seated = sum(s <= c.end for s in seated_at)
        if seated < k + 1:
            breaches.append(
                Breach(
                    c.end,
                    views.name(c.tid),
                    f"takes customer {k + 1} with {seated} seated",
                )
            )
    return breaches


@rule(RULES, needs=("chairs", "replay"))
def chairs_in_range(run, views):
    """free chairs stay within 0 to {chairs}"""
    found, _ = replay(run, views)
    return [
        Breach(at, views.name(tid), f"leaves {free} chairs free")
        for at, free, tid, _ in found
        if not 0 <= free <= facts(run, views)[0]["chairs"]
    ]


@rule(RULES, whole_story=True)
def one_line_each(run, views):
    """every customer thread writes exactly one line, and each of the
    {customers} ids shows once"""
    breaches, ids = [], collections.Counter()
    for tid in customers(views):
        mine = views.lines.get(tid, [])
        if len(mine) != 1:
            at = mine[1][0] if len(mine) > 1 else run.stop
            breaches.append(Breach(at, views.name(tid), f"writes {len(mine)} lines"))
        for _, text in mine:
            line = customer_line(text)
            if line is not None:
                ids[line[0]] += 1
    for i in range(facts(run, views)[0]["customers"]):
        if ids[i] != 1:
            breaches.append(
                Breach(run.stop, f"customer {i}", f"{ids[i]} lines carry id {i}")
            )
    return breaches


@rule(RULES, needs=("chairs", "replay"))
def sit_down_numbers(run, views):
    """each sit-down line shows the free chairs the source's changes give; a
    customer goes away only when none is free"""
    sat, gone = sits(views)
    breaches = []
    for tid, c in sat.items():
        shown, free = customer_line(printed(c))[1], free_at(run, views, c)
        if shown != free:
            breaches.append(
                Breach(
                    c.start,
                    views.name(tid),
                    f"shows free seat {shown}, the changes give {free}",
                )
            )
        if not views.holding(tid, c.start):
            breaches.append(
                Breach(
                    c.start,
                    views.name(tid),
                    "writes his sit-down line without holding mutex",
                )
            )
    for tid in gone:
        posts = [c for c in run.calls_of(tid, "sem_post") if c.sem == LOCK]
        free = free_at(run, views, posts[0]) if posts else None
        if free not in (None, 0):
            breaches.append(
                Breach(
                    posts[0].start,
                    views.name(tid),
                    f"goes away with {free} chairs free",
                )
            )
    return breaches


def cuts(run, views, tid):
    """A barber's lines: one per haircut."""
    return [c for c in views.prints(tid) if printed(c) == BARBER_LINE + "\n"]


@rule(RULES, whole_story=True)
def one_line_per_take(run, views):
    """the barber writes one line per customer he took, and no customer's
    line"""
    haircut = facts(run, views)[0].get("haircut", 0)
    breaches = []
    for tid in barbers(views):
        took, done = takes(run, views, tid), cuts(run, views, tid)
        who = views.name(tid)
        breaches += [
            Breach(extra.start, who, "writes a line for a customer he never took")
            for extra in done[len(took) :]
        ]
        breaches += [
            Breach(c.start, who, "writes a customer's line")
            for c in views.prints(tid)
            if customer_line(printed(c)) is not None
        ]
        for k, take in enumerate(took[len(done) :], start=len(done)):
            if take.end + haircut + SLACK < run.stop:
                breaches.append(
                    Breach(
                        take.end + haircut,
                        who,
                        f"writes no line for customer {k + 1} he took",
                    )
                )
    return breaches


@rule(RULES, paced=True, needs=("haircut",))
def haircut_length(run, views):
    """the barber writes his line {haircut} s after he took the customer"""
    haircut = facts(run, views)[0]["haircut"]
    breaches = []
    for tid in barbers(views):
        for take, cut in zip(takes(run, views, tid), cuts(run, views, tid)):
            took = cut.start - take.end
            if abs(took - haircut) > SLACK:
                breaches.append(
                    Breach(
                        cut.start,
                        views.name(tid),
                        f"writes his line {took:.2f} s after he took a customer",
                    )
                )
    return breaches


@rule(RULES, whole_story=True)
def all_let_through(run, views):
    """every seated customer is let through barber_ready, and his thread
    ends"""
    breaches = []
    for tid in sits(views)[0]:
        waits = [c for c in run.calls_of(tid, "sem_wait") if c.sem == "barber_ready"]
        if not any(c.end is not None for c in waits):
            breaches.append(
                Breach(run.stop, views.name(tid), "still waits on barber_ready")
            )
    return breaches


@rule(RULES, whole_story=True)
def quiet_at_the_end(run, views):
    """after the last haircut the barber sleeps on cust_ready and nothing
    else happens"""
    posts = [
        c
        for t in barbers(views)
        for c in run.calls_of(t, "sem_post")
        if c.sem == "barber_ready"
    ]
    last = max((c.start for c in posts), default=0.0)
    finals, breaches = set(), []
    for tid in barbers(views) or [None]:
        mine = run.calls_of(tid) if tid is not None else []
        final = mine[-1] if mine else None
        finals.add(id(final))
        if final is None or not (
            final.name == "sem_wait" and final.sem == "cust_ready" and final.end is None
        ):
            what = "does not sleep on cust_ready at the end"
            if final is not None:
                what += f": his last call is {final.name}" + (
                    f" on {final.sem}" if final.sem else ""
                )
            breaches.append(
                Breach(run.stop, views.name(tid) if tid else "barber", what)
            )
    for c in run.calls:
        if c.start <= last or id(c) in finals:
            continue
        if c.end is not None:
            breaches.append(
                Breach(c.start, views.name(c.tid), f"{c.name} after the last haircut")
            )
        elif c.tid not in barbers(views) and c.name != "pthread_join":
            still = f"still in {c.name}" + (f" on {c.sem}" if c.sem else "")
            breaches.append(Breach(c.start, views.name(c.tid), still))
    return breaches


def tracks(run, views):
    """Under the lanes: the free chairs, and the seated not yet taken."""
    found = []
    free, _ = replay(run, views)
    if free:
        found.append(
            (
                "free chairs",
                "#4a7fb5",
                [(0.0, free[0][1])] + [(at, v) for at, v, _, _ in free],
            )
        )
    waiting = [(0.0, views.start_counts.get("cust_ready", 0))] + [
        (c.at, c.value) for c in views.counts if c.sem == "cust_ready"
    ]
    found.append(("cust_ready: seated, not yet taken", "#c0392b", waiting))
    return found


def summary(run, views):
    known, _ = facts(run, views)
    chairs = known.get("chairs", "an unknown number of")
    return [
        f"  the shop: {chairs} chairs, {known['customers']} customers, {known.get('haircut', '?')} s haircuts"
    ]


PROGRAM = Program(
    "barber",
    ("_barber", "_customer", "barber_ready", "cust_ready", "mutex", "free_seat"),
    (),
    ("sem_wait", "sem_post"),
    "printf@arg1/s,arg2/d32,arg3/d32",
    "shop/barber.cpp",
    110.0,
    Story,
    tuple(RULES),
    names,
    counters=("barber_ready", "cust_ready", "mutex", "free_seat"),
    tracks=tracks,
    summary=summary,
    facts=facts,
    constants=(CHAIRS, CUSTOMERS),
    quiet=QUIET,
    over="the day is over: every customer who sat down has been served, and the barber sleeps on cust_ready",
)
