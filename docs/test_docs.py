# SPDX-License-Identifier: MIT
"""Every command of the guide, run as printed: each page's command blocks
in bash, in order, in a scratch copy of the project of its own (the pages
side by side); each must end with its status (or still run at its
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


def run_page(page, folder, build):
    """Runs a page's command blocks in order in a copy of its own: block ->
    Ran."""
    shell.scratch(folder, build)
    ran = {}
    for block in blocks(page):
        if block.kind == "sh" and not block.unrun:
            deadline = block.option("deadline")
            ran[block.where] = shell.run(
                block.text, folder, None if deadline is None else float(deadline)
            )
    return ran


@pytest.fixture(scope="module")
def ran(build, tmp_path_factory):
    """(block -> Ran, page -> its scratch copy), every page at once."""
    folders = {p: str(tmp_path_factory.mktemp(p.replace("/", "-"))) for p in RUN}
    with concurrent.futures.ThreadPoolExecutor(len(RUN)) as pool:
        jobs = [pool.submit(run_page, p, folders[p], build) for p in RUN]
        results = {}
        for job in jobs:
            results.update(job.result())
    return results, folders


def test_every_block_has_a_kind_and_every_command_not_run_says_why():
    for page in pages():
        for block in blocks(page):
            assert block.kind in KINDS, f"{block.where}: a block of no known kind"
            if block.unrun:
                assert block.kind == "sh", f"{block.where}: only commands go unrun"


@pytest.mark.parametrize("block", COMMANDS, ids=lambda b: b.where)
def test_each_command_runs_as_printed(ran, block):
    done = ran[0][block.where]
    assert shell.problems(block, done) == [], done.output
    shown = shown_after(blocks(block.page), block)
    if shown is not None:
        assert mismatch(shown, done.output) is None


@pytest.mark.skipif(not browser.available(), reason="chromium is not installed")
def test_each_moment_named_is_what_the_page_shows(ran):
    with browser.Browser(width=1024, height=768) as page:
        for block in MOMENTS:
            assert seen.problems(page, ran[1][block.page], block) == [], block.where
