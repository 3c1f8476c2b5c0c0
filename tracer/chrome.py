# SPDX-License-Identifier: MIT
"""The run as a Chrome/Perfetto trace (the Trace Event Format's JSON).

Every time in it is the recording's real time, so every duration is what
the call really took; the speed the run was recorded at is in the trace's
otherData and in each process's name (times the speed are the program's own
seconds). Beside the lanes are counter tracks: the three semaphores' counts
and the free chairs of barber, the value of shared_var of tallyduel."""

import json
import os

from tools import files

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
    """Counter tracks: each semaphore from its sem_init on, and what the
    program's timeline draws under its lanes (the free chairs, the
    counter), as they stand after every change."""
    events = [
        counter(run, c.sem, c.start, c.args[1])
        for c in run.done("sem_init")
        if c.sem in views.start_counts and len(c.args) > 1
    ]
    events += [counter(run, c.sem, c.at, c.value) for c in views.counts]
    names = {"free chairs": "free_seat", "shared_var": "shared_var"}
    for label, _, steps in run.program.tracks(run, views) if run.program.tracks else []:
        if label in names:
            events += [counter(run, names[label], at, v) for at, v in steps]
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
    files.write(path, json.dumps(trace))
    return path
