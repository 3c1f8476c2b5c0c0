# SPDX-License-Identifier: MIT
"""Every command of the guide, run as printed: each command block in bash,
in a scratch copy of the project of its own (a few side by side); each must
end with its status (or still run at its
deadline and end at Ctrl-C), leave nothing behind, and write what the page
shows after it; each moment a page names must be what the traced page
shows. Every block has a kind, and a command block that is not run says
why. (The exercises' commands are run with their changes made, by
test_exercises.py.)"""

import concurrent.futures

import pytest

from docs import seen, shell
from docs.blocks import KINDS, blocks, mismatch, pages, shown_after
from tracer import browser

EXERCISES = "docs/exercises.md"
RUN = [p for p in pages() if p != EXERCISES]
COMMANDS = [b for p in RUN for b in blocks(p) if b.kind == "sh" and not b.unrun]
MOMENTS = [b for p in RUN for b in blocks(p) if b.kind == "moments"]
# Most blocks wait on a program's pace more than they work: three at once
# keep two cores busy without making the paces stray.
WORKERS = 3


def run_block(block, folder, build):
    """Runs a command block in a copy of its own."""
    shell.scratch(folder, build)
    deadline = block.option("deadline")
    return shell.run(block.text, folder, None if deadline is None else float(deadline))


@pytest.fixture(scope="module")
def ran(build, tmp_path_factory):
    """block -> (its Ran, its copy): the blocks side by side, each in a copy
    of its own, as every one starts from the root; those that only wait for
    their deadline all at once, the others a few at a time."""
    waiting = [b for b in COMMANDS if b.option("deadline")]
    working = [b for b in COMMANDS if not b.option("deadline")]
    with concurrent.futures.ThreadPoolExecutor(len(waiting) or 1) as waiters:
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as workers:
            jobs = {}
            for pool, some in ((waiters, waiting), (workers, working)):
                for block in some:
                    folder = str(tmp_path_factory.mktemp("block"))
                    job = pool.submit(run_block, block, folder, build)
                    jobs[block.where] = (job, folder)
            return {where: (job.result(), f) for where, (job, f) in jobs.items()}


def made_by(block):
    """The command block a moments block reads the pages of: the one before
    it on its page."""
    return [b for b in COMMANDS if b.page == block.page and b.line < block.line][-1]


def test_every_block_has_a_kind_and_every_command_not_run_says_why():
    for page in pages():
        for block in blocks(page):
            assert block.kind in KINDS, f"{block.where}: a block of no known kind"
            if block.unrun:
                assert block.kind == "sh", f"{block.where}: only commands go unrun"


@pytest.mark.parametrize("block", COMMANDS, ids=lambda b: b.where)
def test_each_command_runs_as_printed(ran, block):
    done, _ = ran[block.where]
    assert shell.problems(block, done) == [], done.output
    shown = shown_after(blocks(block.page), block)
    if shown is not None:
        problem = mismatch(shown, done.output)
        assert problem is None, problem


@pytest.mark.skipif(not browser.available(), reason="chromium is not installed")
def test_each_moment_named_is_what_the_page_shows(ran):
    with browser.Browser(width=1024, height=768) as page:
        for block in MOMENTS:
            folder = ran[made_by(block).where][1]
            assert seen.problems(page, folder, block) == [], block.where
