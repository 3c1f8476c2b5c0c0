# SPDX-License-Identifier: MIT
"""What the tracer's tests (and the exercises') share: running trace/run,
one real day of the barber traced once for all the tests that read it, and
a replay in Python of the events a page holds, to hold the page to."""

import json
import os
import re
import subprocess

import pytest

RUN = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "trace", "run"
)


def trace(*args, env=None, cwd=None):
    """trace/run with these arguments, to its end."""
    return subprocess.run(
        [RUN, *args], capture_output=True, text=True, env=env, cwd=cwd, timeout=120
    )


def broken(stdout):
    """The report's lines of broken rules."""
    return [line for line in stdout.splitlines() if line.startswith("  BROKEN")]


@pytest.fixture(scope="session")
def day_speed():
    """The speed the real day is traced at."""
    return 20


@pytest.fixture(scope="session")
def traced_day(build, day_speed, tmp_path_factory):
    """(the finished trace/run, its folder) of the real barber's day."""
    out = tmp_path_factory.mktemp("day")
    result = trace("--speed", str(day_speed), "--out", str(out), f"{build}/barber")
    return result, out


def data_of(path):
    """The run's data inline in a page trace/run wrote."""
    text = path.read_text()
    inline = re.search(
        r'<script type="application/json" id="run">(.*?)</script>', text, re.S
    )
    return json.loads(inline.group(1))


def replay(run):
    """The state after each event of the page's data, worked out here: a
    post counts when it is made, a wait when it returns."""
    lanes = [
        {"state": "running" if i == 0 else "not-started", "line": None}
        for i in range(len(run["lanes"]))
    ]
    count, free, holder, output = {}, None, None, ""
    states = []

    def snapshot():
        states.append(
            json.loads(
                json.dumps(
                    {
                        "lanes": lanes,
                        "count": count,
                        "free_seat": free,
                        "holder": holder,
                        "output": output,
                    }
                )
            )
        )

    snapshot()
    for e in run["events"]:
        lane = lanes[e["lane"]]
        for name, op, value in e.get("changes", []):
            if name == "free_seat":
                free = value if op == "=" else free + (-value if op == "-" else value)
        if e["kind"] == "gone":
            lane.update(state="gone", line=None)
            snapshot()
            continue
        lane["line"] = e["line"]
        call, sem = e.get("call"), e.get("sem")
        if call == "sem_init":
            count[sem] = e["count"]
        elif call == "sem_post":
            count[sem] += 1
            if sem == "mutex" and holder == e["lane"]:
                holder = None
        elif call == "sem_wait" and e["kind"] == "end":
            count[sem] -= 1
            if sem == "mutex":
                holder = e["lane"]
        output += e.get("text", "")
        if e["kind"] == "begin":
            if call == "sem_wait":
                lane["state"] = f"waiting-{sem}"
            elif call == "sleep":
                barber = run["lanes"][e["lane"]] == "barber"
                lane["state"] = "cutting-hair" if barber else "sleeping"
            else:
                lane["state"] = {"usleep": "pausing", "pthread_join": "joining"}[call]
        else:
            lane["state"] = "holding-mutex" if holder == e["lane"] else "running"
        snapshot()
    return states
