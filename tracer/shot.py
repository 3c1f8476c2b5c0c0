# SPDX-License-Identifier: MIT
"""trace/shot: a picture of a page that trace/run or model/play wrote, at
one moment, as headless chromium shows it.

  trace/shot PAGE.html PICTURE.png [MOMENT]

MOMENT is the part of the page's address after its #: #step=K or
#t=SECONDS on a run's page, #customers=N&chairs=S&moves=... on a play page
(default: the start).

Exit status: 0 when the picture is written; 2, with one line, for a page
that is missing or no page of these tools, a moment without its #, a
picture that cannot be written, or no chromium; 128 + the signal's number
when stopped by one.
"""

import os
import pathlib

from tools import cli, files
from tools.errors import ToolError

from . import browser

TOOL = "trace/shot"
# What every page of the tools holds: its data, inline.
MARKS = (
    '<script type="application/json" id="run">',
    '<script type="application/json" id="shop">',
)


def arguments():
    parser = cli.parser(TOOL, __doc__)
    parser.add_argument("page", help="a page trace/run or model/play wrote")
    parser.add_argument("picture", help="the PNG file to write")
    parser.add_argument(
        "moment",
        nargs="?",
        default="",
        help="#step=K, #t=SECONDS or a play page's moves",
    )
    return parser.parse_args()


def page_of(path):
    """The page's address, once it is known to be a page of these tools."""
    try:
        with open(path, "rb") as f:
            head = f.read(1 << 20).decode(errors="replace")
    except IsADirectoryError:
        raise ToolError(f"{path}: a folder, not a page") from None
    except OSError as e:
        raise ToolError(f"{path}: {e.strerror.lower()}") from None
    if not any(mark in head for mark in MARKS):
        raise ToolError(f"{path}: not a page trace/run or model/play wrote")
    return pathlib.Path(os.path.abspath(path)).as_uri()


def work():
    args = arguments()
    if args.moment and not args.moment.startswith("#"):
        raise ToolError(
            f"the moment {args.moment!r} must start with # (see {TOOL} --help)"
        )
    url = page_of(args.page)
    folder = os.path.dirname(os.path.abspath(args.picture))
    if not os.access(folder, os.W_OK):
        raise ToolError(
            f"cannot write {args.picture}: its folder is not there or not writable"
        )
    if not browser.available():
        raise ToolError(
            "chromium not found: install it (apt-get install chromium python3-websocket)"
        )
    part = os.path.join(folder, f".part-{os.path.basename(args.picture)}")
    try:
        with browser.Browser() as b:
            b.open(url + args.moment)
            b.screenshot(part)
        os.replace(part, args.picture)
    except browser.BrowserError as e:
        raise ToolError(f"chromium: {e}") from None
    except OSError as e:
        raise ToolError(f"cannot write {args.picture}: {e.strerror}") from None
    finally:
        files.remove(part)
    return 0


def main():
    cli.main(TOOL, work)


if __name__ == "__main__":
    main()
