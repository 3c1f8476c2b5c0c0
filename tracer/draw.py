# SPDX-License-Identifier: MIT
"""Draws a recorded run: a timeline with one lane per thread (and per
process for parent) in the program's seconds, and under it, for barber, the
free chairs and the customers waiting to be taken, for tallyduel the
counter."""

import atexit
import os

from tools import files


def config_folder():
    """Where matplotlib keeps its cache: its own folder, or one of this
    process's where the user's is not writable (a HOME that is not theirs),
    so that it does not warn."""
    if os.environ.get("MPLCONFIGDIR"):
        return
    home = os.path.expanduser("~")
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(home, ".config")
    mine = os.path.join(config, "matplotlib")
    for folder in (mine, config, home):
        if os.path.exists(folder):
            if os.access(folder, os.W_OK):
                return
            break
    os.environ["MPLCONFIGDIR"] = files.scratch("matplotlib-")
    atexit.register(files.remove, os.environ["MPLCONFIGDIR"])


config_folder()

from matplotlib.figure import Figure  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

from .calls import printed  # noqa: E402
from .programs.barber import customer_line  # noqa: E402

# Spans of a few microseconds would not show: this is the narrowest drawn.
NARROWEST = 0.3
HOLDS_MUTEX = "holds mutex (drawn 0.3 s wide at least)"
COLOURS = {
    "sleeps on cust_ready": "#4a7fb5",
    "cuts hair (sleep)": "#e08a2c",
    HOLDS_MUTEX: "#7b4fa0",
    "waits on barber_ready": "#5aa05a",
    "pauses (usleep)": "#c8c8c8",
    "sleeps": "#c8c8c8",
    "joins the barber (pthread_join)": "#ececec",
}
MARKS = {
    "creates a thread or process": dict(marker="^", color="black", ms=5),
    "sits down": dict(marker="o", color="black", ms=5),
    "goes away": dict(marker="x", color="#c0392b", ms=8, mew=2),
    "writes (printf, puts)": dict(marker="|", color="black", ms=9, mew=1.5),
    "execv ./child.out": dict(marker="D", color="black", ms=6),
}


def span_kind(call, role):
    if call.name == "sem_wait" and call.sem == "cust_ready":
        return "sleeps on cust_ready"
    if call.name == "sem_wait" and call.sem == "barber_ready":
        return "waits on barber_ready"
    if call.name == "sleep" and role.startswith("barber"):
        return "cuts hair (sleep)"
    if call.name == "usleep":
        return "pauses (usleep)"
    if call.name == "sleep":
        return "sleeps"
    if call.name == "pthread_join":
        return "joins the barber (pthread_join)"
    return None


def mark_of(call):
    if call.name == "execv":
        return "execv ./child.out"
    if call.name in ("pthread_create", "fork"):
        return "creates a thread or process"
    if call.end is None:
        return None
    line = customer_line(printed(call))
    if line is None:
        return "writes (printf, puts)"
    return "sits down" if line[1] is not None else "goes away"


def lane_label(views, tid):
    """A customer's lane says how his visit went."""
    role = views.name(tid)
    for c in views.prints(tid):
        line = customer_line(printed(c))
        if line is not None:
            return f"{role}: " + (
                "goes away" if line[1] is None else f"sits, {line[1]} free"
            )
    return role


def draw_lane(ax, run, views, tid, y, used):
    """One thread's lane: its waits and pauses, its holds of mutex over
    them, and its marks; each kind drawn at once (a few shapes for a lane,
    not one a call)."""
    role = views.name(tid)
    spans, marks = {}, {}
    for c in run.calls_of(tid):
        kind = span_kind(c, role)
        if kind is not None:
            end = run.stop if c.end is None else c.end
            spans.setdefault(kind, []).append((c.start, max(end - c.start, 0.02)))
    for kind, found in spans.items():
        ax.broken_barh(found, (y - 0.35, 0.7), color=COLOURS[kind])
    held = [
        (s.acquired, max(s.released - s.acquired, NARROWEST))
        for s in views.sections[0]
        if s.tid == tid
    ]
    if held:
        ax.broken_barh(held, (y - 0.2, 0.4), color=COLOURS[HOLDS_MUTEX])
        spans[HOLDS_MUTEX] = held
    for c in run.calls_of(tid, "printf", "puts", "execv", "pthread_create", "fork"):
        mark = mark_of(c)
        if mark is not None:
            marks.setdefault(mark, []).append(c.start)
    for mark, times in marks.items():
        ax.plot(times, [y] * len(times), ls="", **MARKS[mark])
    used.update(spans, marks)


def steps(ax, points, stop, **style):
    """A step line through (time, value) points, held until `stop`."""
    times = [t for t, _ in points] + [stop]
    values = [v for _, v in points] + [points[-1][1]]
    ax.step(times, values, where="post", **style)


def draw_below(below, tracks, run):
    """What the program draws under its lanes: the free chairs and the
    customers waiting, or the counter."""
    for label, colour, points in tracks:
        steps(below, points, run.stop, label=label, color=colour)
    below.set_ylabel("count" if len(tracks) > 1 else "value")
    below.grid(alpha=0.3)
    below.legend(
        loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False
    )
    below.set_xlabel("program time (s)")


def timeline(run, views, verdicts, out_dir):
    """Draws the run into PROGRAM.svg and PROGRAM.png; their paths."""
    lanes = [t for t in run.threads() if t in views.names]
    tracks = [
        t
        for t in (run.program.tracks(run, views) if run.program.tracks else [])
        if t[2]
    ]
    counted = bool(tracks)
    height = 1.2 + 0.32 * len(lanes) + (2.4 if counted else 0)
    # A figure of its own, outside pyplot: nothing to show, nothing to close.
    fig = Figure(figsize=(13, height))
    if counted:
        ax, below = fig.subplots(
            2,
            1,
            sharex=True,
            gridspec_kw={"height_ratios": [0.32 * len(lanes), 2.0]},
        )
    else:
        ax = fig.subplots()
    used = set()
    for row, tid in enumerate(lanes):
        draw_lane(ax, run, views, tid, len(lanes) - 1 - row, used)
    ax.set_yticks(range(len(lanes)))
    ax.set_yticklabels([lane_label(views, t) for t in reversed(lanes)])
    ax.set_ylim(-0.7, len(lanes) - 0.3)
    broken = sum(v.broken for v in verdicts)
    verdict = f"{broken} rule(s) broken" if broken else "no rule broken"
    ax.set_title(
        f"{run.name}: a traced run at speed {run.speed}, in the program's seconds: "
        f"{verdict}"
    )
    ax.grid(axis="x", alpha=0.3)
    handles = [Patch(color=COLOURS[k], label=k) for k in COLOURS if k in used]
    handles += [Line2D([], [], ls="", label=k, **MARKS[k]) for k in MARKS if k in used]
    ax.legend(
        handles=handles,
        loc="upper left",
        bbox_to_anchor=(1.01, 1.0),
        fontsize=8,
        frameon=False,
    )
    if counted:
        draw_below(below, tracks, run)
    else:
        ax.set_xlabel("program time (s)")
    ax.set_xlim(-0.01 * run.stop, run.stop)
    fig.tight_layout()
    paths = []
    for ext in ("svg", "png"):
        path = os.path.join(out_dir, f"{run.name}.{ext}")
        part = os.path.join(out_dir, f".part-{run.name}.{ext}")
        fig.savefig(part, dpi=110, format=ext)
        os.replace(part, path)
        paths.append(path)
    return paths
