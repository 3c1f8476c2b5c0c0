# SPDX-License-Identifier: MIT
"""The page to step through a recorded run beside the program's source:
PROGRAM.html, one file that works opened from disk in any current browser,
with the run's events inline and its own script and style (page.html,
view.js, page.js, page.css). The page replays the events itself; this
module lists them, each with the line of the source it was made on and the
sentence that tells it (told.py).

The steps between a thread's calls that no call shows, its tests of shared
variables and their changes, are steps of their own, read from the source
(the mapping) and placed between the calls around them."""

import json
import os

import reader
from reader import expr as E
from tools import files

from . import executable as elf
from .calls import printed
from .mapping import MATCHED
from .programs import barber
from .told import Teller
from .verdicts import story

HERE = os.path.dirname(os.path.abspath(__file__))
# The most of one printed text the page shows.
CLIP = 4000
# Calls a thread waits in: shown as a begin and an end.
BLOCKING = ("sem_wait", "sleep", "usleep", "pthread_join")


def lanes(run, views):
    """The threads (and processes) shown, in the order they were created."""
    return [t for t in run.threads() if t in views.names]


def clipped(text):
    """A printed text as the page shows it: a line of a few thousand
    characters at most, so that a program that writes megabytes still gets
    a page that opens."""
    if len(text) <= CLIP:
        return text
    return text[:CLIP] + f"\u2026 ({len(text) - CLIP} characters more)\n"


def of_call(c, lane, kind, t, line, lane_of):
    """An event of a call: its begin, its end, or the call ("at")."""
    e = {"t": t, "lane": lane, "kind": kind, "line": line, "call": c.name}
    if c.sem:
        e["sem"] = c.sem
    if c.name in ("printf", "puts", "putchar") and c.end is not None:
        e["text"] = clipped(printed(c) or "")
    if c.name == "execv" and c.args:
        e["runs"] = str(c.args[0])
    if c.name == "sem_init" and len(c.args) > 1:
        e["count"] = c.args[1]
    if c.name in ("sleep", "usleep") and c.args:
        e["seconds"] = c.args[0] * (1e-6 if c.name == "usleep" else 1)
    if c.from_stop:
        e["known"] = True
    return e


def of_step(step, way, lane, t, counter):
    """An event of a step no call shows: a test (and the way it went) or a
    change of a shared variable."""
    if step.kind == "test":
        e = {
            "t": t,
            "lane": lane,
            "kind": "test",
            "line": step.line,
            "cond": step.cond.c,
            "way": way,
        }
        read = [n.name for n in E.names(step.cond) if isinstance(n, E.Shared)]
        if counter in read:
            e.update(var=counter, chairs=True, means=meaning(step, counter))
        elif read:
            e["var"] = read[0]
        return e
    e = {
        "t": t,
        "lane": lane,
        "kind": "change",
        "line": step.line,
        "var": step.var,
        "op": step.op,
    }
    e["amount"] = E.value(step.value)
    if step.var == counter:
        e["chairs"] = True
    return e


def meaning(step, counter):
    """What a test of the chair counter finds when it holds: no free chair,
    or a free one (as it holds with none left, or not)."""
    return "none free" if E.value(step.cond, {counter: 0}) else "one free"


def thread_events(run, views, tid, lane, lane_of, counter):
    """Every shown moment of one thread, in its order."""
    found, before = [], None
    creation = run.created.get(tid)
    if creation is not None and creation.end is not None:
        before = creation.end
    for c in run.calls_of(tid):
        if c.name not in MATCHED:
            continue
        place = views.mapping.place(c)
        line = place.line if place else None
        if place and place.passed:
            began = before if before is not None else c.start
            n = len(place.passed)
            for k, (step, way) in enumerate(place.passed):
                t = began + (k + 1) * (c.start - began) / (n + 1)
                found.append(of_step(step, way, lane, t, counter))
        if c.name in BLOCKING:
            found.append(of_call(c, lane, "begin", c.start, line, lane_of))
            if c.end is not None:
                found.append(of_call(c, lane, "end", c.end, line, lane_of))
        else:
            found.append(of_call(c, lane, "at", c.start, line, lane_of))
        if c.name == "pthread_create":
            started = [t for t, made in run.created.items() if made is c]
            if started and started[0] in lane_of:
                found[-1]["started"] = lane_of[started[0]]
        before = c.end if c.end is not None else c.start
    if tid not in run.alive and found and before is not None:
        found.append({"t": before, "lane": lane, "kind": "gone", "line": None})
    return found


def folded(found):
    """A wait that returned before anything else happened is one step: the
    thread took the semaphore at once."""
    kept = []
    for e in found:
        last = kept[-1] if kept else None
        if (
            last is not None
            and e["kind"] == "end"
            and e.get("call") == "sem_wait"
            and last["kind"] == "begin"
            and last.get("call") == "sem_wait"
            and last["lane"] == e["lane"]
            and not last.get("known")
        ):
            kept[-1] = dict(e, kind="take")
        else:
            kept.append(e)
    return kept


def events(run, views):
    """Every shown moment of the run, in order of time."""
    shown = lanes(run, views)
    lane_of = {tid: i for i, tid in enumerate(shown)}
    source, _ = views.source
    counter = (
        barber.chair_counter(source)
        if source is not None and run.name == "barber"
        else None
    )
    found = []
    for lane, tid in enumerate(shown):
        found += thread_events(run, views, tid, lane, lane_of, counter)
    order = {id(e): k for k, e in enumerate(found)}
    found = folded(sorted(found, key=lambda e: (e["t"], order[id(e)])))
    for e in found:
        e["t"] = round(e["t"], 6)
    return found


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


def ending(run, views, data):
    """How the run ended, as the last step's verdict says it: ("done",
    "stuck" or "going", the sentence)."""
    if story(run.program, run.stdout, run.stderr).told:
        return "done", run.program.over
    if views.stuck:
        states = Teller(data).states()[-1]
        waiting = [
            f"{name} waits on {lane.state[len('waiting-'):]}"
            for name, lane in zip(data["lanes"], states.lanes)
            if lane.state.startswith("waiting-")
        ]
        return "stuck", "nobody can move, and the day is not over: " + "; ".join(
            waiting
        )
    return "going", "the run was stopped here, with threads that could still move"


def breaches(verdicts):
    return [
        {
            "t": round(v.breach.at, 6),
            "rule": v.rule,
            "thread": v.breach.thread,
            "what": v.breach.what,
        }
        for v in verdicts or []
        if v.broken
    ]


def data_of(run, views, verdicts=None):
    path, lines = source_lines(run, views)
    why_not = views.mapping.why_not
    data = {
        "program": run.name,
        "speed": run.speed,
        "stop": round(run.stop, 6),
        "source": {"path": path, "lines": lines} if lines is not None else None,
        "unlit": why_not,
        "lanes": [views.name(t) for t in lanes(run, views)],
        "counters": list(run.program.counters),
        "events": events(run, views),
        "breaches": breaches(verdicts),
    }
    for e, said in zip(data["events"], Teller(data).told()):
        e["says"] = said
    data["end"] = dict(zip(("verdict", "says"), ending(run, views, data)))
    return data, why_not


def asset_path(folder, name):
    """A file of a page's: the tracer's own (folder None) or another's."""
    return os.path.join(folder or HERE, name)


def asset(path):
    with open(path) as f:
        return f.read()


def inline(data):
    """The data as the page carries it: nothing in it can close its script."""
    return json.dumps(data, separators=(",", ":")).replace("<", "\\u003c")


def html(data, template=None, scripts=None):
    """A page, with its data, style and scripts inline."""
    template = template or asset_path(None, "page.html")
    scripts = scripts or (asset_path(None, "view.js"), asset_path(None, "page.js"))
    page = asset(template).replace("{{program}}", data.get("program", "barber"))
    for mark, text in (
        ("/*STYLE*/", asset(asset_path(None, "page.css"))),
        ("/*SCRIPT*/", "\n".join(asset(s) for s in scripts)),
        ("/*DATA*/", inline(data)),
    ):
        page = page.replace(mark, text, 1)
    return page


def write_page(run, views, out_dir, verdicts=None):
    """Writes PROGRAM.html; (its path, why no line is lit or None)."""
    data, why_not = data_of(run, views, verdicts)
    path = os.path.join(out_dir, f"{run.name}.html")
    files.write(path, html(data))
    return path, why_not
