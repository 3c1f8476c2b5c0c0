# SPDX-License-Identifier: MIT
"""The step-through page of a real traced day, in a real browser (Debian's
chromium, headless): at every step it must show what the Python replay of
its events gives, tell the step in its sentence, mark the thread that
moved, and keep every lit line in view, at 1024x768 and at 1400x1000, with
no sideways scroll and no label cut; a copy whose replay counts a wait when
it begins must fail that. A stuck shop's page shows its blocked customers
waiting and says at the end that nobody can move."""

import decimal
import json
import re

import pytest

from tracer import browser
from tracer.conftest import data_of, replay, trace

pytestmark = pytest.mark.skipif(
    not browser.available(),
    reason="chromium (or python3-websocket) is not installed: the page is not "
    "tested in a browser",
)
SEMAPHORES = ("barber_ready", "cust_ready", "mutex")
# What the page's script does to count a wait, and a wrong way to do it.
COUNTED_WHEN_IT_RETURNS = 'if ((e.kind === "end" || e.kind === "take") && e.call === "sem_wait" && e.sem in s.count) {'
COUNTED_WHEN_IT_BEGINS = 'if ((e.kind === "begin" || e.kind === "take") && e.call === "sem_wait" && e.sem in s.count) {'
# Exercise 5's shop: a customer waits on barber_ready holding mutex.
STUCK = (
    "  up(mutex);\n  up(cust_ready);\n  down(barber_ready);\n",
    "  up(cust_ready);\n  down(barber_ready);\n  up(mutex);\n",
)

SHOWN = """(() => {
  const pane = document.querySelector('[data-name="source"]').getBoundingClientRect();
  const lit = [...document.querySelectorAll('[data-lit]')];
  const inside = (r) => { const b = r.getBoundingClientRect();
    return b.height > 0 && b.top >= pane.top - 1 && b.bottom <= pane.bottom + 1; };
  const cut = [...document.querySelectorAll('.lane .who, .lane .state, .lane .at, .src[data-lit] .who, #says, #verdict')]
    .filter((e) => e.scrollWidth > e.clientWidth + 1).map((e) => e.textContent);
  return {
    names: Object.fromEntries([...document.querySelectorAll('[data-name]')]
      .map(e => [e.dataset.name, e.textContent])),
    lanes: [...document.querySelectorAll('[data-thread]')]
      .map(e => [e.dataset.thread, e.dataset.state, e.dataset.line]),
    lit: lit.map(e => Number(e.dataset.lit)),
    moved: [...document.querySelectorAll('[data-moved]')].map(e => e.dataset.thread),
    verdict: document.querySelector('[data-name="verdict"]').dataset.verdict,
    inView: lit.every(inside) && pane.top >= 0 && pane.bottom <= innerHeight + 1,
    sideways: document.documentElement.scrollWidth > innerWidth,
    codeWidth: pane.width,
    cut: cut,
  };
})()"""
# Every step at once, walked by the page's own go().
WALK = (
    "JSON.stringify([...Array(run.events.length + 1).keys()].map((k) => { go(k, true); return %s; }))"
    % SHOWN
)


def shown(page):
    return json.loads(page.evaluate(f"JSON.stringify({SHOWN})"))


def to_fixed(t):
    """A time as the page's toFixed(3) writes it: a tie rounded up, where
    Python's format rounds it to even."""
    return str(
        decimal.Decimal(t).quantize(decimal.Decimal("0.001"), decimal.ROUND_HALF_UP)
    )


def differences(run, states, k, seen):
    """How what the page shows at step k differs from the replay."""
    want, found = states[k], []
    t = 0.0 if k == 0 else run["events"][k - 1]["t"]
    names = seen["names"]
    if (names["step"], names["time"]) != (str(k), to_fixed(t)):
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
    if sorted(set(seen["lit"])) != lit:
        found.append(f"lit lines {seen['lit']} where the replay gives {lit}")
    if names["output"] != want["output"]:
        found.append("the output differs")
    return found


def told(run, k, seen):
    """What every step must tell: its sentence, the lane that moved, every
    lit line in view, and nothing cut or sideways."""
    found = []
    said = "Nothing has happened yet." if k == 0 else run["events"][k - 1]["says"]
    if not said or seen["names"]["says"] != said:
        found.append(f"says {seen['names']['says']!r}, not {said!r}")
    moved = [] if k == 0 else [run["lanes"][run["events"][k - 1]["lane"]]]
    if seen["moved"] != moved:
        found.append(f"marks {seen['moved']} as moved, not {moved}")
    if not seen["inView"]:
        found.append("a lit line is out of view")
    if seen["sideways"] or seen["codeWidth"] < 480 or seen["cut"]:
        found.append(
            f"sideways {seen['sideways']}, code {seen['codeWidth']} px, cut {seen['cut']}"
        )
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
    with browser.Browser(width=1024, height=768) as b:
        yield b


def walked(page, run, states, checks):
    """Every step, shown by the page's own go(): the differences found."""
    found = []
    for k, seen in enumerate(json.loads(page.evaluate(WALK))):
        found += [f"step {k}: {d}" for check in checks for d in check(run, k, seen)]
    return found


def test_every_step_of_a_real_day_shows_tells_and_keeps_its_lines_in_view(
    traced_day, page, build
):
    _, out = traced_day
    path = out / "barber.html"
    assert path.stat().st_size < 1 << 20
    run = data_of(path)
    assert run["unlit"] is None and run["source"] is not None
    states = replay(run)
    page.size(1024, 768)
    assert page.open(path.as_uri()) < 1.0
    full = (
        lambda r, k, s: differences(r, states, k, s),
        told,
        sane,
    )
    assert walked(page, run, states, full) == []
    assert run["end"]["verdict"] == "done" and shown(page)["verdict"] == "done"
    page.size(1400, 1000)
    assert walked(page, run, states, (told,)) == []
    page.size(1024, 768)
    # Step by step with the keys and the buttons, and the slider once.
    page.key("Home")
    for k in range(1, 25):
        page.key("ArrowRight")
        assert differences(run, states, k, shown(page)) == []
    last = len(states) - 1
    for button, k in (
        ("#last", last),
        ("#prev", last - 1),
        ("#next", last),
        ("#first", 0),
    ):
        page.click(button)
        assert differences(run, states, k, shown(page)) == []
    page.key("End")
    assert differences(run, states, last, shown(page)) == []
    page.click("#slider", across=1 / 3)
    k = int(shown(page)["names"]["step"])
    assert 0 < k < last and differences(run, states, k, shown(page)) == []
    # A lane's line is a link to it.
    page.click('.lane[data-thread="barber"] .at')
    assert page.evaluate("document.querySelector('.src.flash') !== null")
    # A link to a step, and to a moment: the state after its last event.
    ready = "document.querySelector('[data-name=\"step\"]').textContent === '{}'"
    page.open(f"{path.as_uri()}#step=100", ready.format(100))
    assert differences(run, states, 100, shown(page)) == []
    k = sum(e["t"] <= 20 for e in run["events"])
    page.open(f"{path.as_uri()}#t=20", ready.format(k))
    assert (
        differences(run, states, k, shown(page)) == []
        and told(run, k, shown(page)) == []
    )
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
    states = replay(run)
    assert (
        walked(page, run, states, (lambda r, k, s: differences(r, states, k, s),)) != []
    )


def test_a_stuck_shop_shows_its_blocked_customers_waiting_and_says_nobody_can_move(
    changed, page, tmp_path
):
    shop = changed("shop/barber.cpp", [STUCK])
    result = trace("--speed", "100", "--out", str(tmp_path / "out"), shop)
    assert result.returncode == 1, result.stdout + result.stderr
    run = data_of(tmp_path / "out" / "barber.html")
    assert run["end"]["verdict"] == "stuck"
    page.open((tmp_path / "out" / "barber.html").as_uri())
    page.key("End")
    seen = shown(page)
    assert seen["verdict"] == "stuck" and seen["names"]["verdict"].startswith(
        "nobody can move"
    )
    # The customers blocked in their first call wait from when they made it,
    # after they came.
    waiting = [name for name, state, _ in seen["lanes"] if state == "waiting-mutex"]
    assert waiting
    created = {}
    for e in run["events"]:
        if e.get("started") is not None:
            created[run["lanes"][e["started"]]] = e["t"]
    first_call = []
    for name in waiting:
        mine = [e for e in run["events"] if e["lane"] == run["lanes"].index(name)]
        if len(mine) == 1:
            first_call.append(name)
            assert mine[0].get("known") and mine[0]["t"] >= created[name], (
                name,
                mine,
            )
    assert first_call, "no customer blocks in his first call"
