# SPDX-License-Identifier: MIT
"""The calls a run was stopped in, read from the kernel's word: only a wait
the kernel's arguments tell apart is named."""

from tracer.recording import SYS_CLOCK_NANOSLEEP, SYS_FUTEX, blocked_calls

SEM = 0x5000
MAIN, BARBER, CUSTOMER, TALKER, SLEEPER = 10, 11, 12, 13, 14


def test_a_stopped_thread_s_wait_is_named_only_when_the_kernel_tells_which():
    blocked = {
        MAIN: (MAIN, SYS_FUTEX, 0x7000, BARBER),  # waits for the barber's id
        CUSTOMER: (MAIN, SYS_FUTEX, SEM, 0),
        TALKER: (MAIN, SYS_FUTEX, 0x6000, 2),  # a lock of stdout
        SLEEPER: (MAIN, SYS_CLOCK_NANOSLEEP, 0, 0),
        99: (99, SYS_FUTEX, SEM, 0),  # no thread of the run
    }
    pid_of = {t: MAIN for t in (MAIN, BARBER, CUSTOMER, TALKER, SLEEPER)}
    found = blocked_calls(
        blocked, [], pid_of, {(MAIN, SEM): "mutex"}, 3.0, {"mutex"}, {}
    )
    assert {(c.tid, c.name, c.sem) for c in found} == {
        (MAIN, "pthread_join", None),
        (CUSTOMER, "sem_wait", "mutex"),
        (SLEEPER, "sleep", None),
    }
    assert all(c.from_stop and c.end is None for c in found)
