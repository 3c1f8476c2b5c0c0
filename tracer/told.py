# SPDX-License-Identifier: MIT
"""A run's page, step by step: the state after each event (each thread's
state and line, the semaphores' counts, the shared integers, who holds
mutex, what has been printed) and one sentence that tells what the step
did, in the program's terms. The page's script replays the same events
into the same states (the test of the page holds it to this replay); the
sentences are worked out here, once, and carried in the page.

A post counts from when it begins and a wait from when it returns: a
thread that waits has taken nothing yet."""

import copy
import dataclasses

LOCK = "mutex"
# What each thread is doing, as the page says it.
SAY = {
    "not-started": "not started",
    "running": "running",
    "waiting-mutex": "waits for mutex",
    "holding-mutex": "holds mutex",
    "cutting-hair": "cuts hair",
    "sleeping": "sleeps",
    "pausing": "pauses",
    "joining": "waits for the barber to end",
    "gone": "gone",
}


def state_words(state):
    if state.startswith("waiting-"):
        return SAY.get(state) or f"waits on {state[len('waiting-'):]}"
    return SAY.get(state, state)


@dataclasses.dataclass
class Lane:
    state: str
    line: object = None
    known: bool = False  # shown so only from the kernel's word at the stop


@dataclasses.dataclass
class State:
    lanes: list
    count: dict  # semaphore -> its count, from its sem_init on
    shared: dict  # shared integer -> its value, once it has one
    holder: object  # the lane that holds mutex, or None
    output: str
    posters: dict = dataclasses.field(
        default_factory=dict
    )  # sem -> lanes whose posts are not yet taken


def who(name):
    """A thread's name in a sentence."""
    if name in (
        "barber",
        "driver",
        "parent",
        "new process",
        "main thread (+1)",
        "main thread",
    ):
        return "the " + name.replace(" (+1)", "")
    return name.replace(" (-1)", "")


def whose(name):
    said = who(name)
    return said + "'" if said.endswith("s") else said + "'s"


def start(lanes):
    return State(
        [Lane("running" if i == 0 else "not-started") for i in range(len(lanes))],
        {},
        {},
        None,
        "",
    )


def waiting(e, lanes):
    if e["call"] == "sem_wait":
        return "waiting-" + e["sem"]
    if e["call"] == "sleep" and lanes[e["lane"]].startswith("barber"):
        return "cutting-hair"
    if e["call"] == "pthread_join":
        return "joining"
    return "pausing" if e["call"] == "usleep" else "sleeping"


class Teller:
    """Replays a page's events in order: the state after each, and each
    step's sentence."""

    def __init__(self, data):
        self.data = data
        self.lanes = data["lanes"]
        self.chairs = data.get("chairs")

    def states(self):
        """[the state before the first event, then after each]."""
        s = start(self.lanes)
        found = [copy.deepcopy(s)]
        for e in self.data["events"]:
            self.apply(s, e)
            found.append(copy.deepcopy(s))
        return found

    def told(self):
        """The sentence of each event."""
        s = start(self.lanes)
        said = []
        for e in self.data["events"]:
            said.append(self.says(s, e))
            self.apply(s, e)
        return said

    def apply(self, s, e):
        lane = s.lanes[e["lane"]]
        if e["kind"] == "gone":
            lane.state, lane.line = "gone", None
            return
        lane.line = e["line"]
        lane.known = bool(e.get("known"))
        if e["kind"] == "change":
            old = s.shared.get(e["var"])
            if e["op"] == "=":
                s.shared[e["var"]] = e["amount"]
            elif old is not None and e["amount"] is not None:
                s.shared[e["var"]] = old + (
                    e["amount"] if e["op"] == "+" else -e["amount"]
                )
        call, sem = e.get("call"), e.get("sem")
        if call == "sem_init":
            s.count[sem] = e["count"]
        if e["kind"] == "at" and call == "sem_post" and sem in s.count:
            s.count[sem] += 1
            s.posters.setdefault(sem, []).append(e["lane"])
            if sem == LOCK and s.holder == e["lane"]:
                s.holder = None
        if e["kind"] in ("end", "take") and call == "sem_wait" and sem in s.count:
            s.count[sem] -= 1
            waiters = s.posters.get(sem, [])
            if waiters:
                waiters.pop(0)
            if sem == LOCK:
                s.holder = e["lane"]
        if (
            e.get("started") is not None
            and s.lanes[e["started"]].state == "not-started"
        ):
            s.lanes[e["started"]].state = "running"
        s.output += e.get("text", "")
        if e["kind"] == "begin":
            lane.state = waiting(e, self.lanes)
        else:
            lane.state = "holding-mutex" if s.holder == e["lane"] else "running"

    # The sentences: what a step did, as its thread's reader would say it.
    def says(self, s, e):
        name = self.lanes[e["lane"]]
        at = f" at line {e['line']}" if e.get("line") else ""
        kind, call = e["kind"], e.get("call")
        if kind == "gone":
            return f"{who(name)} is gone: the thread has ended"
        if kind == "test":
            return self.tested(s, e, name, at)
        if kind == "change":
            return self.changed(s, e, name, at)
        if call == "sem_wait":
            return self.waited(s, e, name, at)
        if call == "sem_post":
            return self.posted(s, e, name, at)
        if call == "sem_init":
            return f"{who(name)} gives {e['sem']} its first count, {e['count']},{at}"
        if call in ("printf", "puts", "putchar"):
            text = e.get("text", "").rstrip("\n")
            return f"{who(name)} writes \u201c{text}\u201d{at}"
        if call == "pthread_create":
            started = (
                self.lanes[e["started"]] if e.get("started") is not None else "a thread"
            )
            return f"{who(name)} starts {who(started)}{at}"
        if call in ("sleep", "usleep"):
            return self.paused(e, name, at)
        if call == "pthread_join":
            return f"{who(name)} waits for the barber to end{at}, which he never does"
        if call == "fork":
            return f"{who(name)} splits in two{at}"
        if call == "execv":
            return f"{who(name)} runs {e.get('runs', 'another program')}{at}"
        return f"{who(name)} calls {call}{at}"

    def tested(self, s, e, name, at):
        var, value = e.get("var"), s.shared.get(e.get("var"))
        if e.get("chairs") and e["way"] is not None:
            if e["means"] == "none free":
                found = "no free chair" if e["way"] else "a free chair"
            else:
                found = "a free chair" if e["way"] else "no free chair"
            return f"{who(name)} finds {found}{at}: {var} is {value}"
        return f"{who(name)} tests {e['cond']}{at}: {'yes' if e['way'] else 'no'}"

    def changed(self, s, e, name, at):
        old = s.shared.get(e["var"])
        new = copy.deepcopy(s)
        self.apply(new, e)
        after = new.shared.get(e["var"])
        if e.get("chairs") and e["op"] != "=":
            did = (
                "takes a chair"
                if after is not None and old is not None and after < old
                else "frees a chair"
            )
            return f"{who(name)} {did}{at}: {e['var']} {old} \u2192 {after}"
        if e["op"] == "=":
            return f"{who(name)} sets {e['var']} to {after}{at}"
        return f"{who(name)} changes {e['var']}{at}: {old} \u2192 {after}"

    def holder_of(self, s):
        return self.lanes[s.holder] if s.holder is not None else None

    def waited(self, s, e, name, at):
        sem, kind = e["sem"], e["kind"]
        count = s.count.get(sem)
        if kind == "begin":
            if sem == LOCK:
                holder = self.holder_of(s)
                why = f"{who(holder)} holds it" if holder else "it is taken"
                return f"{who(name)} waits for mutex{at}: {why}"
            waits = "nobody is seated" if sem == "cust_ready" else f"it counts {count}"
            known = " (known from the stop)" if e.get("known") else ""
            return f"{who(name)} waits on {sem}{at}: {waits}{known}"
        if sem == LOCK:
            if kind == "take":
                return f"{who(name)} takes mutex{at}: it was free"
            return f"{who(name)} takes mutex{at}: it is free now"
        posters = s.posters.get(sem, [])
        came = (
            f"{whose(self.lanes[posters[0]])} post"
            if posters
            else f"its count, {count},"
        )
        if sem == "cust_ready" and posters:
            return f"{whose(name)} down(cust_ready) returns: {who(self.lanes[posters[0]])} was waiting"
        how = "at once" if kind == "take" else "at last"
        return f"{whose(name)} down({sem}) returns {how}{at}: {came} lets {'him' if name.startswith(('customer', 'barber')) else 'it'} through"

    def posted(self, s, e, name, at):
        sem = e["sem"]
        waiters = [
            self.lanes[i]
            for i, lane in enumerate(s.lanes)
            if lane.state == "waiting-" + sem
        ]
        if sem == LOCK:
            then = (
                f": {', '.join(who(w) for w in waiters)} {'was' if len(waiters) == 1 else 'were'} waiting for it"
                if waiters
                else ""
            )
            return f"{who(name)} lets go of mutex{at}{then}"
        count = s.count.get(sem, 0) + 1
        then = (
            f"{', '.join(who(w) for w in waiters)} {'waits' if len(waiters) == 1 else 'wait'} on it"
            if waiters
            else f"nobody waits; it counts {count}"
        )
        return f"{who(name)} posts {sem}{at}: {then}"

    def paused(self, e, name, at):
        seconds = e.get("seconds")
        long = f" {seconds:g} s" if seconds is not None else ""
        if e["kind"] == "begin":
            if e["call"] == "sleep" and name.startswith("barber"):
                return f"{who(name)} starts a haircut of{long}{at}"
            if name == "driver" and seconds == 0:
                return f"the driver lets the next customer come at once{at}"
            if name == "driver":
                return f"the driver pauses{long}{at} before the next customer comes"
            return f"{who(name)} sleeps{long}{at}"
        if e["call"] == "sleep" and name.startswith("barber"):
            return f"{who(name)} has cut a customer's hair{at}"
        return f"{whose(name)} pause ends{at}"
