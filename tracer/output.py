# SPDX-License-Identifier: MIT
"""What the program really wrote, lined up with the prints uftrace saw.

The program's standard output is the truth: uftrace cuts a string longer
than 97 characters and escapes neither quotes nor backslashes. Each print
call wrote one piece of it (a line; a number and its blank for a program
that writes words), so each recorded print is given, in the order the
prints began, the first piece not yet given that it can have written: the
same text, or, where uftrace cut the text or a value, one that begins with
as much of it as is known, values filled in (two threads whose prints begin
in one order may write their lines in the other).
A print given no piece, or a piece no print was given, is for the output
rule to judge."""

import collections

from .calls import as_recorded, cut, filled, kept, values_of


def pieces(stdout, words):
    """The output cut into what one print writes: lines with their line
    ends, or numbers with their blank."""
    if words:
        return [w + " " for w in stdout.split(" ") if w]
    return stdout.splitlines(keepends=True)


def could_be(call, piece):
    """Whether a recorded print can have written `piece`."""
    if not call.args or not isinstance(call.args[0], str):
        return False
    said = call.args[0]
    if call.name == "puts":
        return piece.endswith("\n") and as_recorded(piece[:-1]) == said
    if call.name == "putchar":
        return len(piece) == 1
    text, whole = filled(kept(said), values_of(call))
    return text == piece if whole and not cut(said) else piece.startswith(text)


def line_up(calls, stdout, words):
    """Gives every print the piece of the output it wrote (call.wrote);
    ([prints given none], [pieces given to none])."""
    left = pieces(stdout, words)
    free = collections.deque(range(len(left)))
    taken = set()
    unshown = []
    for call in sorted(
        (
            c
            for c in calls
            if c.name in ("printf", "puts", "putchar") and c.end is not None
        ),
        key=lambda c: (c.start, c.tid),
    ):
        match = next(
            (i for i in free if i not in taken and could_be(call, left[i])), None
        )
        if match is None:
            unshown.append(call)
            continue
        taken.add(match)
        call.wrote = left[match]
        while free and free[0] in taken:
            free.popleft()
    unprinted = [left[i] for i in range(len(left)) if i not in taken]
    return unshown, unprinted
