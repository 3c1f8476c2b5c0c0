# SPDX-License-Identifier: MIT
"""How fast a run may go: just below the highest speed the help names, the
whole day is judged; far above it, what time has distorted is not judged,
and nothing is blamed on the program. The pauses of a run stray further on
a busy machine, so CTest runs these with no other test beside them."""

from tracer.conftest import broken, trace
from tracer.verdicts import HIGHEST_SPEED


# At that speed a pause strays too far when the machine holds the program
# back a millisecond: of this many runs, one must be judged whole, and none
# may blame the program.
RUNS = 3


def test_just_below_the_highest_speed_every_rule_is_judged(build, tmp_path):
    for run in range(RUNS):
        result = trace(
            "--speed",
            str(HIGHEST_SPEED * 9 // 10),
            "--out",
            str(tmp_path / str(run)),
            f"{build}/barber",
        )
        assert result.returncode == 0, result.stdout + result.stderr
        assert broken(result.stdout) == []
        if result.stdout.splitlines()[-2] == "all rules hold":
            return
    assert result.stdout.splitlines()[-2] == "all rules hold"


def test_far_too_fast_a_run_is_not_blamed_on_the_program(build, tmp_path):
    result = trace("--speed", "10000", "--out", str(tmp_path), f"{build}/barber")
    assert result.returncode == 0, result.stdout + result.stderr
    assert broken(result.stdout) == []
    assert "  not judged  the barber writes his line 5 s after" in result.stdout
    assert f"trace at --speed {HIGHEST_SPEED} or less" in result.stdout
