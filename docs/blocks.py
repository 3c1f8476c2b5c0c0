# SPDX-License-Identifier: MIT
"""The guide's fenced blocks, as its pages hold them, and what a shown
output accepts.

Each block's info string starts with its kind:

  sh        commands, run by the tests in bash from a scratch copy of the
            project's root, as printed; `deadline=N` for a program that never
            ends (it must still run after N seconds, and Ctrl-C then ends all
            of it), `status=N` when its last command fails on purpose,
            `within=N` when the page says how long it takes (N seconds, with
            room for a busy machine), `paced` when it records a program's
            pace (the tests run few of those at once). A paragraph `*Not run by the tests:
            REASON.*` right before it says why it is not run instead.
  output    what the sh block before it writes (stdout and stderr, as on a
            terminal): line by line, a line `...` standing for any number of
            lines and `...` in a line for any text; `any-numbers` makes every number stand for any number,
            `any-times` every number with a decimal point, `about=X` lets
            each such number be X off; `some-order` takes the lines in any
            order.
  moments   positions of a page (the first word: its path from the root) and
            what it shows there: `#t=20  customer 4: waits on barber_ready;
            free_seat: 2`, each item a lane or a named value of the page, and
            `A or B: words` for exactly one of the two.
  usage     how a command is called, not a command.
  diff      an exercise's change to the file named after it.
  answer    an exercise's answer, `name: value` a line.
  text      shown as an example, not a command.
"""

import dataclasses
import glob
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KINDS = ("sh", "output", "moments", "usage", "diff", "answer", "text")
NOT_RUN = re.compile(r"^\*Not run by the tests: (.+)\.\*$", re.S)
FENCE = re.compile(r"^```(.*)$")
NUMBER = re.compile(r"(-?\d+(?:\.\d+)?)")
DECIMAL = re.compile(r"(-?\d+\.\d+)")


@dataclasses.dataclass
class Block:
    page: str  # its path from the root
    line: int  # the line of its opening fence
    kind: str
    words: list  # the rest of its info string
    text: str
    unrun: object  # why it is not run, as the line before it says

    def option(self, name, default=None):
        for word in self.words:
            if word.startswith(name + "="):
                return word.split("=", 1)[1]
        return default

    @property
    def where(self):
        return f"{self.page}:{self.line}"


def pages():
    """Every page of the guide, from the root."""
    found = ["README.md", "CONTRIBUTING.md"]
    found += sorted(
        os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "docs", "*.md"))
    )
    return found


def blocks(page):
    """The fenced blocks of a page, in order."""
    with open(os.path.join(ROOT, page)) as f:
        lines = f.read().split("\n")
    found, i = [], 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        end = lines.index("```", i + 1)
        info = opening.group(1).split()
        unrun = NOT_RUN.match(paragraph_before(lines, i))
        found.append(
            Block(
                page,
                i + 1,
                info[0] if info else "",
                info[1:],
                "\n".join(lines[i + 1 : end]) + "\n",
                unrun.group(1) if unrun else None,
            )
        )
        i = end + 1
    return found


def paragraph_before(lines, i):
    """The paragraph above line i, on one line."""
    j = i - 1
    while j >= 0 and not lines[j].strip():
        j -= 1
    k = j
    while k >= 0 and lines[k].strip():
        k -= 1
    return " ".join(x.strip() for x in lines[k + 1 : j + 1])


def shown_after(page_blocks, block):
    """The output block right after a command block, if any."""
    k = page_blocks.index(block)
    if k + 1 < len(page_blocks) and page_blocks[k + 1].kind == "output":
        return page_blocks[k + 1]
    return None


def line_pattern(line, words):
    """A shown line as a pattern, `...` in it standing for any text; (the
    pattern, the numbers of it to hold within `about`)."""
    if "any-numbers" in words:
        number = NUMBER
    elif "any-times" in words or any(w.startswith("about=") for w in words):
        number = DECIMAL
    else:
        number = None
    pieces, numbers = [], []
    for piece in line.split("..."):
        parts = number.split(piece) if number else [piece]
        pieces.append(
            "".join(
                f"({NUMBER.pattern})" if k % 2 else re.escape(part)
                for k, part in enumerate(parts)
            )
        )
        numbers += parts[1::2]
    return "[^\n]*".join(pieces), numbers


def mismatch(shown, actual):
    """Why `actual` (text) is not what the output block `shown` shows, or
    None."""
    text = "\n".join(x.rstrip() for x in actual.rstrip("\n").split("\n")) + "\n"
    if "some-order" in shown.words:
        return unordered_mismatch(shown, text)
    pattern, numbers = "", []
    for line in shown.text.rstrip("\n").split("\n"):
        if line == "...":
            pattern += "(?:[^\n]*\n)*?"
            continue
        line_re, line_numbers = line_pattern(line.rstrip(), shown.words)
        pattern += line_re + "\n"
        numbers += line_numbers
    found = re.fullmatch(pattern, text)
    if not found:
        return f"the output is not what {shown.where} shows:\n{actual}"
    about = shown.option("about")
    if about is not None:
        for want, got in zip(numbers, found.groups()):
            if abs(float(want) - float(got)) > float(about):
                return f"{got} is more than {about} off the {want} {shown.where} shows"
    return None


def unordered_mismatch(shown, text):
    """As mismatch, each shown line matching a line of its own anywhere."""
    left = text.rstrip("\n").split("\n")
    lines = shown.text.rstrip("\n").split("\n")
    for line in (x for x in lines if x != "..."):
        pattern, _ = line_pattern(line.rstrip(), shown.words)
        match = next((x for x in left if re.fullmatch(pattern, x)), None)
        if match is None:
            return f"no line of the output is {line!r} ({shown.where}):\n{text}"
        left.remove(match)
    if left and "..." not in lines:
        return f"the output has more lines than {shown.where} shows:\n{text}"
    return None


def moments(block):
    """[(fragment, [(names, words)])] of a moments block: what the page
    shows at each position, `names` one or two (exactly one of them)."""
    found = []
    for line in block.text.strip().split("\n"):
        fragment, _, items = line.partition(" ")
        wanted = []
        for item in items.strip().split("; "):
            names, _, words = item.partition(": ")
            wanted.append((names.split(" or "), words))
        found.append((fragment, wanted))
    return found
