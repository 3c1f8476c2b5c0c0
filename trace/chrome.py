# SPDX-License-Identifier: MIT
"""The run as a Chrome/Perfetto trace (the Trace Event Format's JSON).

Every time in it is the recording's real time, so every duration is what
the call really took; the speed the run was recorded at is in the trace's
otherData and in each process's name (times the speed are the program's own
seconds). Beside the lanes are counter tracks: the three semaphores' counts
and the free chairs of barber, the value of shared_var of tallyduel."""

import json
import os

from .calls import printed


def micros(run, seconds):
    """Program seconds as real microseconds."""
    return round(seconds / run.speed * 1e6, 3)


def names(run, views):
    events = []
    for tid in run.threads():
        events.append(
            {
                "ph": "M",
                "name": "thread_name",
                "pid": run.pid_of.get(tid, tid),
                "tid": tid,
                "args": {"name": views.name(tid)},
            }
        )
    for pid, exe in run.exe_of.items():
        name = f"{os.path.basename(exe)} (recorded at speed {run.speed}, real times)"
        events.append(
            {"ph": "M", "name": "process_name", "pid": pid, "args": {"name": name}}
        )
    return events


def spans(run):
    events = []
    for c in run.calls:
        end = run.stop if c.end is None else c.end
        event = {
            "ph": "X",
            "name": c.name + (f" {c.sem}" if c.sem else ""),
            "pid": c.pid,
            "tid": c.tid,
            "ts": micros(run, c.start),
            "dur": micros(run, end - c.start),
        }
        if c.name in ("printf", "puts") and c.end is not None:
            event["args"] = {"wrote": printed(c)}
        if c.end is None:
            event["args"] = {"state": "still blocked when the run was stopped"}
        events.append(event)
    return events


def counter(run, name, at, value):
    return {
        "ph": "C",
        "name": name,
        "pid": run.main_pid,
        "ts": micros(run, at),
        "args": {"value": value},
    }


def counters(run, views):
    """Counter tracks: each semaphore from its sem_init on, free_seat, and
    shared_var as each thread left it."""
    events = [
        counter(run, c.sem, c.start, c.args[1])
        for c in run.done("sem_init")
        if c.sem in views.start_counts and len(c.args) > 1
    ]
    events += [counter(run, c.sem, c.at, c.value) for c in views.counts]
    if views.chairs:
        events.append(counter(run, "free_seat", 0.0, views.facts["chairs"]))
        events += [counter(run, "free_seat", c.at, c.free) for c in views.chairs]
    if run.name == "tallyduel":
        events.append(counter(run, "shared_var", 0.0, 0))
        events += [
            counter(run, "shared_var", c.start, int(printed(c)))
            for c in run.done("printf")
        ]
    return events


def chrome_trace(run, views, out_dir):
    """Writes PROGRAM.json; its path."""
    trace = {
        "traceEvents": names(run, views) + spans(run) + counters(run, views),
        "displayTimeUnit": "ms",
        "otherData": {
            "program": run.name,
            "speed": run.speed,
            "times": "real; times the speed are the program's own",
        },
    }
    path = os.path.join(out_dir, f"{run.name}.json")
    with open(path, "w") as f:
        json.dump(trace, f)
    return path
