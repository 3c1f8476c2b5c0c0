# SPDX-License-Identifier: MIT
"""The page to step through a recorded run beside the program's source:
PROGRAM.html, one file that works opened from disk in any current browser,
with the run's events inline and its own script and style (page.html,
page.css, page.js). The page replays the events itself; this module only
lists them, each with the line of the source it was made on."""

import dataclasses
import json
import os

from .calls import printed
from .errors import ToolError
from .mapping import MATCHED, map_run
from . import executable as elf
from . import source as reader

HERE = os.path.dirname(os.path.abspath(__file__))
# Calls a thread waits in: shown as a begin and an end.
BLOCKING = ("sem_wait", "sleep", "usleep", "pthread_join")


@dataclasses.dataclass
class Event:
    t: float
    lane: int
    kind: str  # "begin", "end", "at" (a call that does not wait) or "gone"
    call: object  # the Call; None for "gone"
    line: object = None
    changes: tuple = ()


def lanes(run, views):
    """The threads (and processes) shown, in the order they were created."""
    return [t for t in run.threads() if t in views.names]


def events(run, views, mapping):
    """Every shown moment of the run, in order of time."""
    shown = lanes(run, views)
    found = []
    for c in run.calls:
        if c.tid not in shown or c.name not in MATCHED:
            continue
        place = mapping.place(c) if mapping else None
        line, changes = (place.line, place.changes) if place else (None, ())
        lane = shown.index(c.tid)
        if c.name in BLOCKING:
            found.append(Event(c.start, lane, "begin", c, line, changes))
            if c.end is not None:
                found.append(Event(c.end, lane, "end", c, line))
        else:
            found.append(Event(c.start, lane, "at", c, line, changes))
    for lane, tid in enumerate(shown):
        mine = [e for e in found if e.lane == lane]
        if tid not in run.alive and mine and mine[-1].call.end is not None:
            found.append(Event(mine[-1].call.end, lane, "gone", None))
    order = {id(e): k for k, e in enumerate(found)}
    return sorted(found, key=lambda e: (e.t, order[id(e)]))


def number(value, constants):
    """A (constant's name or None, number) value as a number."""
    name, offset = value
    return offset + (constants.get(name, 0) if name else 0)


def as_data(e, constants):
    """An event as the page's script reads it."""
    data = {"t": round(e.t, 6), "lane": e.lane, "kind": e.kind, "line": e.line}
    if e.call is not None:
        data["call"] = e.call.name
        if e.call.sem:
            data["sem"] = e.call.sem
        if e.call.name in ("printf", "puts") and e.call.end is not None:
            data["text"] = printed(e.call)
        if e.call.name == "sem_init" and len(e.call.args) > 1:
            data["count"] = e.call.args[1]
    if e.changes:
        data["changes"] = [
            [var, op, number(v, constants) if op == "=" else v]
            for var, (op, v) in e.changes
        ]
    return data


def read_source(run, executable):
    """The program's Source and the Mapping of the run onto it, or (None,
    why not)."""
    path = elf.source_of(executable, "main")
    if path is None:
        return None, "the executable does not say where its source is"
    try:
        source = reader.read(path)
    except ToolError as e:
        return None, f"its source cannot be read: {e}"
    mapping = map_run(run, source)
    return (source, mapping), mapping.why_not


def data_of(run, views, executable):
    read, why_not = read_source(run, executable)
    source, mapping = read if read else (None, None)
    constants = {**(source.constants if source else {}), **run.constants}
    shown = lanes(run, views)
    counters = {"barber": ["barber_ready", "cust_ready", "mutex", "free_seat"]}
    return {
        "program": run.name,
        "speed": run.speed,
        "stop": round(run.stop, 6),
        "source": {"path": source.path, "lines": source.lines} if source else None,
        "unlit": why_not,
        "lanes": [views.name(t) for t in shown],
        "counters": counters.get(
            run.name, ["shared_var"] if run.name == "tallyduel" else []
        ),
        "events": [as_data(e, constants) for e in events(run, views, mapping)],
    }, why_not


def asset(name):
    with open(os.path.join(HERE, name)) as f:
        return f.read()


def html(data):
    """The page, with the data inline; nothing in it can close its script."""
    inline = json.dumps(data, separators=(",", ":")).replace("<", "\\u003c")
    page = asset("page.html").replace("{{program}}", data["program"])
    for mark, text in (
        ("/*STYLE*/", asset("page.css")),
        ("/*SCRIPT*/", asset("page.js")),
        ("/*DATA*/", inline),
    ):
        page = page.replace(mark, text, 1)
    return page


def write_page(run, views, executable, out_dir):
    """Writes PROGRAM.html; (its path, why no line is lit or None)."""
    data, why_not = data_of(run, views, executable)
    path = os.path.join(out_dir, f"{run.name}.html")
    with open(path, "w") as f:
        f.write(html(data))
    return path, why_not
