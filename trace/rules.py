# SPDX-License-Identifier: MIT
"""Every program's rules, and judging a run by them."""

from . import rules_barber, rules_pairtick, rules_parent, rules_tallyduel, verdicts

RULES = {
    "barber": rules_barber.RULES,
    "pairtick": rules_pairtick.RULES,
    "tallyduel": rules_tallyduel.RULES,
    "parent": rules_parent.RULES,
}


def judge(run, views):
    """The verdict of every rule of the run's program."""
    told = run.program.told(run.stdout, run.stderr)
    return verdicts.judge(RULES[run.name], run, views, told)
