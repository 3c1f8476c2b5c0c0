# SPDX-License-Identifier: MIT
"""The text of a string literal as the compiler reads it: adjacent literals
joined, every escape of C++ (simple, octal, hexadecimal, universal) read,
and the bytes taken as UTF-8. Wide, UTF-16/32 and raw literals are refused."""

import re

from .steps import SourceError

SIMPLE = {
    "n": 0x0A,
    "t": 0x09,
    "r": 0x0D,
    "a": 0x07,
    "b": 0x08,
    "f": 0x0C,
    "v": 0x0B,
    "\\": 0x5C,
    "'": 0x27,
    '"': 0x22,
    "?": 0x3F,
}
ESCAPE = re.compile(
    r"\\(?:([0-7]{1,3})|x([0-9A-Fa-f]+)|u([0-9A-Fa-f]{4})|U([0-9A-Fa-f]{8})|(.))", re.S
)


def text(tokens, where):
    """The text of the literal spelled by `tokens` (each a literal)."""
    found = bytearray()
    for token in tokens:
        body = token[2:] if token.startswith("u8") else token
        if not body.startswith('"') or not body.endswith('"') or len(body) < 2:
            raise SourceError(
                f"{where}: a string literal the reader does not read ({token})"
            )
        found += decoded(body[1:-1], where)
    return found.decode(errors="replace")


def decoded(body, where):
    out, at = bytearray(), 0
    for m in ESCAPE.finditer(body):
        out += body[at : m.start()].encode()
        octal, hexa, short, long, simple = m.groups()
        if octal is not None:
            out.append(int(octal, 8) & 0xFF)
        elif hexa is not None:
            out.append(int(hexa, 16) & 0xFF)
        elif short is not None or long is not None:
            out += chr(int(short or long, 16)).encode(errors="replace")
        elif simple in SIMPLE:
            out.append(SIMPLE[simple])
        else:
            raise SourceError(
                f"{where}: an escape the reader does not know (\\{simple})"
            )
        at = m.end()
    return out + body[at:].encode()
