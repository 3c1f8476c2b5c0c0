# SPDX-License-Identifier: MIT
"""Where in the source each recorded call was made.

uftrace records the library calls, not where they were called from. Each
thread runs one routine, read from the source as a graph of steps
(source.py). Its recorded calls are matched in order to the call steps of
the same function and argument (the semaphore, the text printed), each found
going forward from the thread's last match and round the routine's loops,
past the steps no call shows (tests, changes of free_seat, calls that are
not recorded), whose changes are carried with the call that comes after
them. Where a thread's next call matches no step, or two steps on
different lines, the mapping does not fit the run, and nothing is lit."""

import dataclasses

# The calls matched to the source; all others are passed over.
MATCHED = (
    "sem_init",
    "sem_wait",
    "sem_post",
    "printf",
    "puts",
    "sleep",
    "usleep",
    "pthread_create",
    "pthread_join",
    "fork",
    "execv",
)


@dataclasses.dataclass(frozen=True)
class Place:
    """Where a call was made, and the changes of shared variables its thread
    made since its last call."""

    line: int
    changes: tuple  # (variable, ("+", n) or ("=", value)) of each change passed


@dataclasses.dataclass
class Mapping:
    places: dict  # id(call) -> Place
    why_not: object = None  # why the mapping does not fit the run, if not

    def place(self, call):
        return self.places.get(id(call)) if self.why_not is None else None


def key(call):
    """What a call must share with its step: the function, and the
    semaphore it works on or the text it prints or runs."""
    if call.name.startswith("sem_"):
        return call.name, call.sem
    if call.name in ("printf", "puts", "execv"):
        return call.name, call.args[0] if call.args else None
    return call.name, None


def step_key(step):
    if step.name in ("printf", "puts", "execv") or step.name.startswith("sem_"):
        return step.name, step.arg
    return step.name, None


def fits(call, step):
    # A pause the kernel showed at the stop may be a sleep or a usleep.
    if call.name == "sleep" and not call.args:
        return step.name in ("sleep", "usleep")
    return key(call) == step_key(step)


def ahead(routine, start):
    """The matched call steps reachable from `start` (a step id, or None for
    the routine's entry) without passing another, each with the changes on
    the way: [(step, changes)]."""
    found, seen = [], set()
    todo = (
        [(routine.entry, ())]
        if start is None
        else [(n, ()) for n in routine.steps[start].next]
    )
    while todo:
        i, changes = todo.pop()
        if (i, changes) in seen:
            continue
        seen.add((i, changes))
        step = routine.steps[i]
        if step.kind == "call" and step.name in MATCHED:
            found.append((step, changes))
            continue
        if step.kind == "change":
            changes = changes + ((step.name, step.arg),)
        todo += [(n, changes) for n in step.next]
    return found


def follow(routine, calls, start):
    """Places for one thread's calls from `start`; raises MappingError when
    they do not fit."""
    places, at = {}, start
    for call in calls:
        if call.name not in MATCHED:
            continue
        matches = {(s.id, s.line, c) for s, c in ahead(routine, at) if fits(call, s)}
        if len({(line, c) for _, line, c in matches}) != 1:
            what = "no" if not matches else "more than one"
            raise MappingError(
                f"{call.name}{' on ' + call.sem if call.sem else ''} at "
                f"{call.start:.3f} s matches {what} step of {routine.name}"
            )
        step_id, line, changes = min(matches)
        places[id(call)] = Place(line, changes)
        at = step_id
        if call.name == "execv" and call.end is None:
            break  # the process runs another program from here on
    return places


class MappingError(Exception):
    pass


def map_run(run, source):
    """The Mapping of a run's calls to the lines of its source."""
    places = {}
    main = source.routines.get("main")
    forks = [s.id for s in main.steps.values() if s.name == "fork"] if main else []
    try:
        for tid in run.threads():
            pid = run.pid_of[tid]
            name = run.routine_of.get(tid)
            if pid != run.main_pid and tid == pid:
                name, start = "main", (forks[0] if forks else None)
            else:
                start = None
            if name not in source.routines:
                raise MappingError(
                    f"thread {tid} runs {name}, which the source does not define"
                )
            places.update(follow(source.routines[name], run.calls_of(tid), start))
    except MappingError as e:
        return Mapping({}, str(e))
    return Mapping(places)
