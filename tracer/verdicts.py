# SPDX-License-Identifier: MIT
"""How a rule is judged on a run, and when it is not judged at all.

A rule is a function of (run, views) that returns its breaches, added to
its program's rules with @rule; its docstring is the sentence the report prints,
with the run's facts filled in ({chairs}, {customers}, {haircut}). A rule
is not judged when a fact it speaks of is unknown; when it depends on time
and the run's pauses strayed too far from what the program asked for; or
when it speaks of the whole story and the run was stopped before its story
was told, unless nobody could move any more: a verdict must never blame a
correct program for the way it was run."""

import collections
import dataclasses

# How far a paced event may stray from its time (program seconds); and how
# far the pauses themselves may stray for a rule of pace to be judged, so
# that a correct program always keeps within SLACK.
SLACK = 0.25
DRIFT_LIMIT = SLACK / 2
# The highest --speed at which the barber's whole day is judged, on two
# cores: at 50 its pauses stray some 0.01 s; at 100 some 0.03 s, but a
# machine that holds the program back 2 ms sends one 0.2 s astray.
HIGHEST_SPEED = 50


@dataclasses.dataclass(frozen=True)
class Breach:
    at: float
    thread: str
    what: str


@dataclasses.dataclass(frozen=True)
class Rule:
    judge: object  # (run, views) -> [Breach]
    paced: bool  # depends on how long the pauses took
    whole_story: bool  # needs the run to have told its story
    needs: tuple  # facts its sentence speaks of

    def sentence(self, facts):
        return " ".join(self.judge.__doc__.split()).format(**facts)


@dataclasses.dataclass
class Verdict:
    rule: str
    breach: object = None  # the first Breach
    why_not_judged: object = None

    @property
    def holds(self):
        return self.breach is None and self.why_not_judged is None

    @property
    def broken(self):
        return self.breach is not None


def rule(rules, paced=False, whole_story=False, needs=()):
    """Adds a rule to a program's `rules`, in the order the report prints
    them."""

    def register(judge):
        rules.append(Rule(judge, paced, whole_story, needs))
        return judge

    return register


def judge(run, views):
    """Every rule of the run's program judged on the run, or said why not."""
    program = run.program
    drift, pause = views.drift
    known, why = program.facts(run, views) if program.facts else ({}, {})
    told = story(program, run.stdout, run.stderr).told
    verdicts = []
    for r in program.rules:
        text = r.sentence(collections.defaultdict(lambda: "?", known))
        missing = [k for k in r.needs if k not in known]
        if missing:
            verdicts.append(
                Verdict(text, why_not_judged="; ".join(why[k] for k in missing))
            )
        elif r.whole_story and not told and not views.stuck:
            verdicts.append(Verdict(text, why_not_judged=untold(run)))
        elif r.paced and drift > DRIFT_LIMIT:
            verdicts.append(Verdict(text, why_not_judged=strayed(run, drift, pause)))
        else:
            breaches = sorted(r.judge(run, views), key=lambda b: b.at)
            verdicts.append(Verdict(text, breaches[0] if breaches else None))
    return verdicts


def story(program, stdout, stderr):
    """The program's Story, fed the whole of a run's output."""
    found = program.told()
    found.feed(stdout)
    found.complain(stderr)
    return found


def untold(run):
    return (
        f"the run was stopped at {run.stop:.1f} s of program time, before its "
        "story was told, while its threads could still move"
    )


def strayed(run, drift, pause):
    """Why a rule of time is not judged, and which speed would judge it."""
    asked = pause.args[0] if pause.name == "sleep" else pause.args[0] / 1e6
    took = pause.end - pause.start
    # Below the highest speed the pauses stray about in proportion to it.
    faster = HIGHEST_SPEED
    if run.speed <= HIGHEST_SPEED:
        faster = max(1, int(run.speed * DRIFT_LIMIT / drift))
    return (
        f"at speed {run.speed} a {pause.name} of {asked:g} s took {took:.2f} s of "
        f"program time (more than {DRIFT_LIMIT:g} s astray): trace at --speed "
        f"{faster} or less"
    )
