# SPDX-License-Identifier: MIT
"""The play page, in a real browser (Debian's chromium, headless): after
every move it shows what model/day.py's day gives after the same moves;
random games on the real shop never break a property and end with the day
over; each wrong shop's run from the prover, opened as a link, ends in the
breach the prover named; a bad link opens at its last good position and
says why; a copy whose moves ignore their guards fails; and it is quick."""

import json
import os
import random
import time

import pytest

from conftest import ROOT
from model import play, search
from model.day import Day
from model.prove import shop_of
from model.test_prove import WRONG_CHECKED, edited
from tracer import browser

pytestmark = pytest.mark.skipif(
    not browser.available(),
    reason="chromium (or python3-websocket) is not installed: the page is not tested in a browser",
)
SOURCE = os.path.join(ROOT, "shop", "barber.cpp")
GUARDED = "return candidates.find((m) => value(m.enabled, this.v)) || null;"
UNGUARDED = "return candidates[0] || null;"
READY = "document.body && document.body.dataset.ready === '1'"


@pytest.fixture(scope="module")
def page():
    with browser.Browser(width=1024, height=768) as b:
        yield b


@pytest.fixture(scope="module")
def real(tmp_path_factory):
    """The real shop's play page, and how long it took to read the source
    and write it: in this process's time, which other tests on the machine
    do not stretch."""
    out = tmp_path_factory.mktemp("play") / "play.html"
    began = time.process_time()
    play.write(shop_of(SOURCE), SOURCE, str(out))
    return out, time.process_time() - began


def shown(page):
    return json.loads(page.evaluate("JSON.stringify(playShown())"))


def movers(page):
    return page.evaluate(
        "[...document.querySelectorAll('[data-move]')].map(b => b.dataset.move)"
    )


def open_at(page, path, fragment=""):
    page.open(path.as_uri() + fragment, READY)


def test_every_move_shows_what_the_day_of_the_prover_gives(page, real):
    path, _ = real
    system = shop_of(SOURCE)
    chosen = random.Random(7)
    for customers, chairs in ((3, 1), (4, 2), (2, 3)):
        open_at(page, path, f"#customers={customers}&chairs={chairs}&moves=")
        day = Day(system, customers, chairs)
        while day.movers():
            assert sorted(movers(page)) == sorted(day.movers())
            name = chosen.choice(day.movers())
            page.click(f'[data-move="{name}"]')
            day.take(name)
            assert shown(page) == day.shown(), name
        assert shown(page)["verdict"] == "done"
    assert page.problems() == []
    assert all(url.startswith("file://") for url in page.requests())


# Games of random moves, played by the page's own day; the first thing
# wrong found, if any.
GAMES = """(() => {
  let seed = 12345;
  const next = () => (seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648;
  for (const [n, s] of [[1, 1], [3, 1], [4, 2], [6, 4], [5, 1], [2, 2]]) {
    for (let game = 0; game < 10; game++) {
      const day = new Day(n, s);
      for (let moves = 0; day.movers().length; moves++) {
        if (moves > 400) return `${n} ${s}: no end after ${moves} moves`;
        const names = day.movers();
        day.take(names[Math.floor(next() * names.length)]);
        const [kind, said] = day.verdict();
        if (kind === "broken" || kind === "stuck") return `${n} ${s}: ${said}`;
      }
      if (day.verdict()[0] !== "done") return `${n} ${s}: ends ${day.verdict()}`;
    }
  }
  return "";
})()"""


def test_random_games_on_the_real_shop_break_nothing_and_end_the_day(page, real):
    path, _ = real
    open_at(page, path)
    assert page.evaluate(GAMES) == ""


def test_a_copy_whose_moves_ignore_their_guards_fails(page, real, tmp_path):
    path, _ = real
    text = path.read_text()
    assert GUARDED in text
    wrong = tmp_path / "play.html"
    wrong.write_text(text.replace(GUARDED, UNGUARDED))
    open_at(page, wrong)
    assert page.evaluate(GAMES) != ""


@pytest.mark.parametrize("entry", WRONG_CHECKED, ids=[w[0] for w in WRONG_CHECKED])
def test_the_prover_s_run_ends_on_the_page_in_the_breach_it_named(
    page, tmp_path, entry
):
    source = edited(str(tmp_path), entry[1])
    system = shop_of(source)
    found = search.search(system, 200).found
    out = tmp_path / "play.html"
    play.write(system, source, str(out))
    open_at(page, out, found.fragment)
    seen = shown(page)
    taken = page.evaluate("location.hash").split("moves=")[1]
    assert len([m for m in taken.split(",") if m]) == len(found.moves)
    named = found.broken[0]
    if named == "nothing stops before the end of the day":
        assert seen["verdict"] == "stuck"
    else:
        assert seen["verdict"] == "broken" and named in page.evaluate(
            "document.querySelector('[data-name=\"verdict\"]').textContent"
        )


def test_a_bad_link_opens_at_its_last_good_position_and_says_why(page, real):
    path, _ = real
    open_at(
        page,
        path,
        "#customers=2&chairs=1&moves=arrival,customer-0,customer-7,customer-0",
    )
    said = page.evaluate("document.querySelector('[data-name=\"says\"]').textContent")
    assert "move 3 of the link, customer-7, is no step anybody can take there" in said
    assert shown(page)["arrived"] == 1 and page.evaluate("location.hash").endswith(
        "moves=arrival,customer-0"
    )
    open_at(page, path, "#customers=9&chairs=1&moves=arrival")
    said = page.evaluate("document.querySelector('[data-name=\"says\"]').textContent")
    assert "the page takes 0 to 6 customers, and the link asks for 9" in said
    assert shown(page)["arrived"] == 0


def test_the_page_is_small_opens_at_once_and_answers_a_move_quickly(page, real):
    path, took = real
    assert took < 1.0 and path.stat().st_size < 1 << 20
    open_at(page, path, "#customers=6&chairs=4&moves=")
    # By the page's own clock, from its navigation on: not the round trips
    # of the protocol that drives the browser.
    assert page.evaluate("performance.now()") < 1000
    # The median of 40 moves: one move the machine held back is not the
    # page's pace.
    took = page.evaluate(
        "(() => { const took = []; for (let k = 0; k < 40 && day.movers().length; k++) {"
        " const t = performance.now(); step(day.movers()[0]); took.push(performance.now() - t); }"
        " return took.sort((a, b) => a - b); })()"
    )
    assert len(took) == 40 and took[len(took) // 2] < 50
