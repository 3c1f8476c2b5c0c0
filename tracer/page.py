# SPDX-License-Identifier: MIT
"""The page to step through a recorded run beside the program's source:
PROGRAM.html, one file that works opened from disk in any current browser,
with the run's events inline and its own script and style (page.html,
page.css, page.js). The page replays the events itself; this module only
lists them, each with the line of the source it was made on."""

import dataclasses
import json
import os

import reader
from reader import expr as E
from tools import files

from . import executable as elf
from .calls import printed
from .mapping import MATCHED

HERE = os.path.dirname(os.path.abspath(__file__))
# The most of one printed text the page shows.
CLIP = 4000
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


def as_data(e):
    """An event as the page's script reads it."""
    data = {"t": round(e.t, 6), "lane": e.lane, "kind": e.kind, "line": e.line}
    if e.call is not None:
        data["call"] = e.call.name
        if e.call.sem:
            data["sem"] = e.call.sem
        if e.call.name in ("printf", "puts", "putchar") and e.call.end is not None:
            data["text"] = clipped(printed(e.call) or "")
        if e.call.name == "sem_init" and len(e.call.args) > 1:
            data["count"] = e.call.args[1]
    if e.changes:
        data["changes"] = [[s.var, s.op, E.value(s.value)] for s in e.changes]
    return data


def clipped(text):
    """A printed text as the page shows it: a line of a few thousand
    characters at most, so that a program that writes megabytes still gets
    a page that opens."""
    if len(text) <= CLIP:
        return text
    return text[:CLIP] + f"\u2026 ({len(text) - CLIP} characters more)\n"


def source_lines(run, views):
    """The source's lines, shown whether or not the reader could read it."""
    source, _ = views.source
    if source is not None:
        return source.path, source.lines
    path = elf.source_of(run.executable, "main")
    if path is None:
        return None, None
    try:
        return path, reader.lines_of(path)
    except OSError:
        return None, None


def data_of(run, views):
    path, lines = source_lines(run, views)
    why_not = views.mapping.why_not
    shown = lanes(run, views)
    return {
        "program": run.name,
        "speed": run.speed,
        "stop": round(run.stop, 6),
        "source": {"path": path, "lines": lines} if lines is not None else None,
        "unlit": why_not,
        "lanes": [views.name(t) for t in shown],
        "counters": list(run.program.counters),
        "events": [as_data(e) for e in events(run, views, views.mapping)],
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


def write_page(run, views, out_dir):
    """Writes PROGRAM.html; (its path, why no line is lit or None)."""
    data, why_not = data_of(run, views)
    path = os.path.join(out_dir, f"{run.name}.html")
    files.write(path, html(data))
    return path, why_not
