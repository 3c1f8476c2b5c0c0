# SPDX-License-Identifier: MIT
"""Draws a recorded run: a timeline with one lane per thread (and per
process for parent) in the program's seconds, and for barber the free chairs
and the waiting customers under it; also the same run as a Chrome/Perfetto
trace to zoom into."""

import json
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

from record import printed  # noqa: E402
from rules import GONE, SAT, SEAT_MAX  # noqa: E402

# Spans of a few microseconds would not show: this is the narrowest drawn.
NARROWEST = 0.3
HOLDS_MUTEX = "takes and holds mutex (drawn 0.3 s wide at least)"
COLOURS = {
    "sleeps on cust_ready": "#4a7fb5",
    "cuts hair (sleep 5)": "#e08a2c",
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
    if call.name == "sleep" and role == "barber":
        return "cuts hair (sleep 5)"
    if call.name == "usleep":
        return "pauses (usleep)"
    if call.name == "sleep":
        return "sleeps"
    if call.name == "pthread_join":
        return "joins the barber (pthread_join)"
    return None


def lane_label(run, tid, role):
    """A customer's lane says how his visit went."""
    for c in run.calls_of(tid, "printf"):
        if c.end is None:
            continue
        m = SAT.match(printed(c))
        if m:
            return f"{role}: sits, {m.group(2)} free"
        if GONE.match(printed(c)):
            return f"{role}: goes away"
    return role


def mutex_spans(run, tid):
    spans, since = [], None
    for c in run.calls_of(tid, "sem_wait", "sem_post"):
        if c.sem != "mutex":
            continue
        if c.name == "sem_wait":
            since = c.start
        elif since is not None:
            spans.append((since, c.start))
            since = None
    return spans


def chairs_over_day(run, names):
    """Free chairs and waiting customers after each change: a sit-down line
    takes a chair and adds a waiting customer; the barber's take gives the
    chair back (he frees it in the next microseconds) and takes one away."""
    barber = next((t for t, n in names.items() if n == "barber"), None)
    changes = []
    for tid in names:
        for c in run.calls_of(tid, "printf"):
            if c.end is not None and SAT.match(printed(c)):
                changes.append((c.start, -1, +1))
        if tid == barber:
            for c in run.calls_of(tid, "sem_wait"):
                if c.sem == "cust_ready" and c.end is not None:
                    changes.append((c.end, +1, -1))
    times, free, waiting = [0.0], [SEAT_MAX], [0]
    for at, chair, wait in sorted(changes):
        times.append(at)
        free.append(free[-1] + chair)
        waiting.append(waiting[-1] + wait)
    times.append(run.stop)
    free.append(free[-1])
    waiting.append(waiting[-1])
    return times, free, waiting


def timeline(run, names, verdicts, out_dir):
    lanes = [t for t in run.threads() if t in names]
    roles = [names[t] for t in lanes]
    shop = run.program == "barber"
    counter = run.program == "tallyduel"
    height = 1.2 + 0.32 * len(lanes) + (2.4 if shop or counter else 0)
    if shop or counter:
        fig, (ax, below) = plt.subplots(
            2,
            1,
            figsize=(13, height),
            sharex=True,
            gridspec_kw={"height_ratios": [0.32 * len(lanes), 2.0]},
        )
    else:
        fig, ax = plt.subplots(figsize=(13, height))
        below = None
    used = set()
    for row, tid in enumerate(lanes):
        y = len(lanes) - 1 - row
        for c in run.calls_of(tid):
            kind = span_kind(c, roles[row])
            if kind is None:
                continue
            end = run.stop if c.end is None else c.end
            ax.broken_barh(
                [(c.start, max(end - c.start, 0.02))],
                (y - 0.35, 0.7),
                color=COLOURS[kind],
            )
            used.add(kind)
        for a, r in mutex_spans(run, tid):
            ax.broken_barh(
                [(a, max(r - a, NARROWEST))],
                (y - 0.2, 0.4),
                color=COLOURS[HOLDS_MUTEX],
            )
            used.add(HOLDS_MUTEX)
        for c in run.calls_of(tid, "printf", "puts", "execv", "pthread_create", "fork"):
            if c.name == "execv":
                mark = "execv ./child.out"
            elif c.name in ("pthread_create", "fork"):
                mark = "creates a thread or process"
            elif c.end is None:
                continue
            elif SAT.match(printed(c)):
                mark = "sits down"
            elif GONE.match(printed(c)):
                mark = "goes away"
            else:
                mark = "writes (printf, puts)"
            ax.plot(c.start, y, ls="", **MARKS[mark])
            used.add(mark)
    ax.set_yticks(range(len(lanes)))
    ax.set_yticklabels(
        [lane_label(run, t, r) for t, r in reversed(list(zip(lanes, roles)))]
    )
    ax.set_ylim(-0.7, len(lanes) - 0.3)
    broken = [v for v in verdicts if not v.holds]
    verdict = "all rules hold" if not broken else f"{len(broken)} rule(s) broken"
    ax.set_title(
        f"{run.program}: a traced run at speed {run.speed}, in the program's seconds: {verdict}"
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
    if shop:
        times, free, waiting = chairs_over_day(run, names)
        below.step(times, free, where="post", label="free chairs", color="#4a7fb5")
        below.step(
            times, waiting, where="post", label="customers waiting", color="#c0392b"
        )
        below.set_ylim(-0.5, SEAT_MAX + 0.5)
        below.set_ylabel("count")
    if counter:
        values = sorted(
            (c.start, int(printed(c)))
            for c in run.calls
            if c.name == "printf" and c.end is not None
        )
        below.step(
            [0.0] + [t for t, _ in values] + [run.stop],
            [0] + [v for _, v in values] + [values[-1][1] if values else 0],
            where="post",
            label="shared_var as written",
            color="#7b4fa0",
        )
        below.set_ylabel("value")
    if below is not None:
        below.grid(alpha=0.3)
        below.legend(
            loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False
        )
        below.set_xlabel("program time (s)")
    else:
        ax.set_xlabel("program time (s)")
    ax.set_xlim(-0.01 * run.stop, run.stop)
    fig.tight_layout()
    paths = []
    for ext in ("svg", "png"):
        path = os.path.join(out_dir, f"{run.program}.{ext}")
        fig.savefig(path, dpi=110)
        paths.append(path)
    plt.close(fig)
    return paths


def chrome_trace(run, names, out_dir):
    """The run as Chrome trace events, in microseconds of program time."""
    events = []
    for tid in run.threads():
        pid = run.pid_of.get(tid, tid)
        name = names.get(tid, f"thread {tid}")
        events.append(
            {
                "ph": "M",
                "name": "thread_name",
                "pid": pid,
                "tid": tid,
                "args": {"name": name},
            }
        )
    for pid, exe in run.exe_of.items():
        events.append(
            {
                "ph": "M",
                "name": "process_name",
                "pid": pid,
                "args": {"name": os.path.basename(exe)},
            }
        )
    for c in run.calls:
        label = c.name + (f" {c.sem}" if c.sem else "")
        end = run.stop if c.end is None else c.end
        event = {
            "ph": "X",
            "name": label,
            "pid": c.pid,
            "tid": c.tid,
            "ts": round(c.start * 1e6, 3),
            "dur": round((end - c.start) * 1e6, 3),
        }
        if c.name in ("printf", "puts") and c.end is not None:
            event["args"] = {"wrote": printed(c)}
        if c.end is None:
            event["args"] = {"state": "still blocked when the run was stopped"}
        events.append(event)
    if run.program == "barber":
        times, free, waiting = chairs_over_day(run, names)
        for at, f, w in zip(times, free, waiting):
            events.append(
                {
                    "ph": "C",
                    "name": "shop",
                    "pid": run.main_pid,
                    "ts": round(at * 1e6, 3),
                    "args": {"free chairs": f, "customers waiting": w},
                }
            )
    path = os.path.join(out_dir, f"{run.program}.json")
    with open(path, "w") as f:
        json.dump({"traceEvents": events, "displayTimeUnit": "ms"}, f)
    return path
