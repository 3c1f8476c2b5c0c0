# SPDX-License-Identifier: MIT
"""What a page of the tools shows at a position, opened in a real browser,
held to a moments block of the guide."""

import json
import os
import pathlib

from docs.blocks import moments

# Each lane's state in the page's words, and every other named thing's text.
READ = """JSON.stringify((() => {
  const seen = {};
  for (const e of document.querySelectorAll('[data-thread]'))
    seen[e.dataset.thread] = e.querySelector('.state').textContent;
  for (const e of document.querySelectorAll('[data-name]'))
    if (!(e.dataset.name in seen)) seen[e.dataset.name] = e.textContent;
  return seen;
})())"""


def says(text, words):
    """Whether a shown text is the words (a trailing ` ...` for any rest)."""
    text = " ".join(text.split())
    if words.endswith(" ..."):
        return text.startswith(words[: -len(" ...")])
    return text == words


def problems(browser, folder, block):
    """How the page a moments block names, in the scratch copy `folder`,
    differs from what the block says it shows: [sentences]."""
    path = pathlib.Path(os.path.join(folder, block.words[0]))
    if not path.exists():
        return [f"there is no {block.words[0]}"]
    found = []
    for fragment, wanted in moments(block):
        browser.open(path.as_uri() + fragment)
        seen = json.loads(browser.evaluate(READ))
        for names, words in wanted:
            missing = [n for n in names if n not in seen]
            if missing:
                found.append(f"{fragment}: the page shows no {missing[0]}")
                continue
            showing = [n for n in names if says(seen[n], words)]
            if len(showing) != 1:
                shows = "; ".join(f"{n}: {' '.join(seen[n].split())}" for n in names)
                found.append(f"{fragment}: {shows}")
    return found
