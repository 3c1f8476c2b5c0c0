# SPDX-License-Identifier: MIT
"""The report of a traced run: what it showed, each rule's verdict, and the
first breach of every broken rule."""

from tools.cli import visible_lines

MARK = {"holds": "holds     ", "BROKEN": "BROKEN    ", "not judged": "not judged"}


def state(verdict):
    if verdict.broken:
        return "BROKEN"
    return "not judged" if verdict.why_not_judged else "holds"


def summary(run, views):
    prints = sorted(c.start for c in run.done("printf", "puts"))
    if run.program.words:
        shown = f"{len(run.stdout.split())} numbers"
    else:
        shown = f"{len(run.stdout.splitlines())} lines"
    last = prints[-1] if prints else 0.0
    lines = [
        f"{run.name}: {shown}, the last at {last:.2f} s; stopped at {run.stop:.1f} s "
        f"of program time (recorded at speed {run.speed})"
    ]
    if run.program.summary:
        lines += run.program.summary(run, views)
    stray, pause = views.drift
    if pause is not None:
        lines.append(f"  the pauses strayed at most {stray:.3f} s from what was asked")
    return lines


def report(run, views, verdicts):
    lines = summary(run, views)
    for v in verdicts:
        lines.append(f"  {MARK[state(v)]}  {v.rule}")
        if v.broken:
            b = v.breach
            lines.append(
                f"              first breach: {b.thread} at {b.at:.3f} s: {b.what}"
            )
        elif v.why_not_judged:
            lines.append(f"              because {v.why_not_judged}")
    broken = [v for v in verdicts if v.broken]
    unjudged = [v for v in verdicts if v.why_not_judged]
    if broken:
        lines.append(f"{len(broken)} of {len(verdicts)} rules broken")
    elif unjudged:
        lines.append(f"all judged rules hold; {len(unjudged)} not judged")
    else:
        lines.append("all rules hold")
    return visible_lines("\n".join(lines) + "\n")
