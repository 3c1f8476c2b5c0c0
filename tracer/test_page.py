# SPDX-License-Identifier: MIT
"""The step-through page of a real traced day, in a real browser (Debian's
chromium, headless): walked step by step with key presses and clicks, it
must show at every step what a replay of its events in Python gives; a copy
whose replay counts a wait when it begins must fail that."""

import json
import os
import re

import pytest

from tracer import browser
from tracer.conftest import data_of, replay

pytestmark = pytest.mark.skipif(
    not browser.available(),
    reason="chromium (or python3-websocket) is not installed: the page is not "
    "tested in a browser",
)
SEMAPHORES = ("barber_ready", "cust_ready", "mutex")
# What the page's script does to count a wait, and a wrong way to do it.
COUNTED_WHEN_IT_RETURNS = 'if (e.kind === "end" && e.call === "sem_wait") {'
COUNTED_WHEN_IT_BEGINS = 'if (e.kind === "begin" && e.call === "sem_wait") {'


SHOWN = """JSON.stringify({
  names: Object.fromEntries([...document.querySelectorAll('[data-name]')]
    .map(e => [e.dataset.name, e.textContent])),
  lanes: [...document.querySelectorAll('[data-thread]')]
    .map(e => [e.dataset.thread, e.dataset.state, e.dataset.line]),
  lit: [...document.querySelectorAll('[data-lit]')].map(e => Number(e.dataset.lit)),
})"""


def shown(page):
    return json.loads(page.evaluate(SHOWN))


def differences(run, states, k, seen):
    """How what the page shows at step k differs from the replay."""
    want, found = states[k], []
    t = 0.0 if k == 0 else run["events"][k - 1]["t"]
    names = seen["names"]
    if (names["step"], names["time"]) != (str(k), f"{t:.3f}"):
        found.append(f"step {names['step']} at {names['time']}")
    for sem in SEMAPHORES:
        value = want["count"].get(sem)
        if names[sem] != ("\u2013" if value is None else str(value)):
            found.append(f"{sem} shows {names[sem]}, the replay gives {value}")
    free = "\u2013" if want["free_seat"] is None else str(want["free_seat"])
    if names["free_seat"] != free:
        found.append(f"free_seat shows {names['free_seat']}, the replay gives {free}")
    holder = "nobody" if want["holder"] is None else run["lanes"][want["holder"]]
    if names["holder"] != holder:
        found.append(f"mutex held by {names['holder']}, the replay says {holder}")
    lanes = [
        [name, lane["state"], "" if lane["line"] is None else str(lane["line"])]
        for name, lane in zip(run["lanes"], want["lanes"])
    ]
    if seen["lanes"] != lanes:
        found.append(f"lanes {seen['lanes']} where the replay gives {lanes}")
    lit = sorted({lane["line"] for lane in want["lanes"] if lane["line"] is not None})
    if sorted(seen["lit"]) != lit:
        found.append(f"lit lines {seen['lit']} where the replay gives {lit}")
    if names["output"] != want["output"]:
        found.append("the output differs")
    return found


def sane(run, k, seen):
    """What must hold at every step whatever the replay: no count below 0,
    and where a customer has just written his sit-down line, free_seat is
    the number it shows."""
    found = []
    for sem in SEMAPHORES + ("free_seat",):
        text = seen["names"][sem]
        if text != "\u2013" and int(text) < 0:
            found.append(f"{sem} is {text}")
    text = run["events"][k - 1].get("text", "") if k else ""
    sat = re.fullmatch(
        r"Customer whose id = \d+ has sit down! Free seat = (-?\d+)\n", text
    )
    if sat and sat.group(1) != seen["names"]["free_seat"]:
        found.append(f"free_seat {seen['names']['free_seat']} as {text!r} is written")
    return found


@pytest.fixture(scope="module")
def page():
    with browser.Browser() as b:
        yield b


def walk(page, run, states, stop_at_first=False):
    """Walks every step with the right arrow key; the differences found."""
    page.key("Home")
    found = []
    for k in range(len(states)):
        if k:
            page.key("ArrowRight")
        seen = shown(page)
        found += [
            f"step {k}: {d}"
            for d in differences(run, states, k, seen) + sane(run, k, seen)
        ]
        if found and stop_at_first:
            break
    return found


def test_every_step_of_a_real_day_shows_what_its_events_give(traced_day, page, build):
    _, out = traced_day
    path = out / "barber.html"
    assert path.stat().st_size < 1 << 20
    run = data_of(path)
    assert run["unlit"] is None and run["source"] is not None
    states = replay(run)
    assert page.open(path.as_uri()) < 1.0
    assert walk(page, run, states) == []
    # Back and forth with the buttons and the keys.
    last = len(states) - 1
    for button, k in (
        ("#prev", last - 1),
        ("#prev", last - 2),
        ("#next", last - 1),
        ("#first", 0),
        ("#last", last),
    ):
        page.click(button)
        assert differences(run, states, k, shown(page)) == []
    page.key("Home")
    page.key("End")
    assert differences(run, states, last, shown(page)) == []
    # The slider, once, a third of the way along.
    page.click("#slider", across=1 / 3)
    k = int(shown(page)["names"]["step"])
    assert 0 < k < last and differences(run, states, k, shown(page)) == []
    # A link to a step, and to a moment: the state after its last event.
    ready = "document.querySelector('[data-name=\"step\"]').textContent === '{}'"
    page.open(f"{path.as_uri()}#step=100", ready.format(100))
    assert differences(run, states, 100, shown(page)) == []
    k = sum(e["t"] <= 20 for e in run["events"])
    page.open(f"{path.as_uri()}#t=20", ready.format(k))
    assert differences(run, states, k, shown(page)) == []
    page.screenshot(os.path.join(build, "barber-page.png"))
    assert page.problems() == []
    assert all(url.startswith("file://") for url in page.requests())


def test_a_page_that_counts_a_wait_when_it_begins_fails(traced_day, page, tmp_path):
    _, out = traced_day
    text = (out / "barber.html").read_text()
    assert COUNTED_WHEN_IT_RETURNS in text
    wrong = tmp_path / "barber.html"
    wrong.write_text(text.replace(COUNTED_WHEN_IT_RETURNS, COUNTED_WHEN_IT_BEGINS))
    run = data_of(wrong)
    page.open(wrong.as_uri())
    assert walk(page, run, replay(run), stop_at_first=True) != []
