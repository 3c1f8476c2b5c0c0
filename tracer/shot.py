# SPDX-License-Identifier: MIT
"""trace/shot: a picture of a page that trace/run wrote, at one moment, as
headless chromium shows it.

  trace/shot PAGE.html PICTURE.png [MOMENT]

MOMENT is #step=K or #t=SECONDS (default: the start). Exit status 2, with
one line, when the page or chromium is missing.
"""

import os
import sys

from . import browser


def main():
    args = sys.argv[1:]
    if len(args) not in (2, 3) or args[0] in ("-h", "--help"):
        print(
            __doc__.split("\n", 2)[2].strip(),
            file=sys.stderr if args[:1] != ["--help"] else sys.stdout,
        )
        sys.exit(0 if args[:1] in (["-h"], ["--help"]) else 2)
    page, picture = os.path.abspath(args[0]), args[1]
    moment = args[2] if len(args) == 3 else ""
    if not os.path.isfile(page):
        sys.exit(f"trace/shot: {args[0]}: no such page")
    if not browser.available():
        sys.exit(
            "trace/shot: chromium not found: install it (apt-get install chromium python3-websocket)"
        )
    with browser.Browser() as b:
        b.open(f"file://{page}{moment}")
        b.screenshot(picture)


if __name__ == "__main__":
    main()
