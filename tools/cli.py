# SPDX-License-Identifier: MIT
"""The command-line plumbing of every tool, written once: a usage or tool
error is one line on stderr and status 2; an interrupt, a SIGTERM or a
SIGHUP (a closed terminal, a timeout, a cancelled job) stops the tool
through its own cleanups and ends it with 128 + the signal's number; a
pipe closed early ends it quietly; and whatever else goes wrong is one line
too, never a traceback. Text that came from a program reaches the terminal
only with its control characters made visible."""

import argparse
import os
import signal
import sys
import traceback

from .errors import ToolError

STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
WORDS = {
    signal.SIGINT: "interrupted",
    signal.SIGTERM: "terminated",
    signal.SIGHUP: "hung up",
}


class Stopped(BaseException):
    """A signal asked the tool to stop: raised where the tool stands, so that
    every cleanup on the way out runs."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def stop(signum, frame):
    # Once: the cleanups that follow must not be cut short by a second one.
    for s in STOPPING:
        signal.signal(s, signal.SIG_IGN)
    raise Stopped(signum)


def visible(text):
    """The text with every control character (but a tab) shown as \\xNN, so
    that what a program wrote cannot move the cursor, clear a line or set a
    terminal's title."""
    return "".join(
        c
        if c == "\t" or (c.isprintable() and not 0x7F <= ord(c) < 0xA0)
        else f"\\x{ord(c):02x}"
        for c in text
    )


def visible_lines(text):
    """Each line of a text made visible, its line ends kept."""
    return "\n".join(visible(line) for line in text.split("\n"))


def say(tool, message):
    """One line on stderr."""
    try:
        print(f"{tool}: {visible(str(message))}", file=sys.stderr, flush=True)
    except (BrokenPipeError, OSError):
        pass


class Parser(argparse.ArgumentParser):
    """argparse whose usage errors are one line and status 2."""

    def error(self, message):
        raise ToolError(f"{message} (see {self.prog} --help)")


def parser(tool, doc):
    """A Parser whose --help is the tool's docstring past its first line."""
    return Parser(
        prog=tool,
        description=doc.split("\n", 2)[2],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )


def main(tool, work):
    """Runs work(), which returns the exit status, and exits with it."""
    for s in STOPPING:
        signal.signal(s, stop)
    try:
        status = work() or 0
    except ToolError as e:
        say(tool, e)
        status = 2
    except Stopped as e:
        say(tool, WORDS[e.signum])
        status = 128 + e.signum
    except BrokenPipeError:
        status = 128 + signal.SIGPIPE
    except SystemExit as e:
        status = e.code if isinstance(e.code, int) else 2
    except Exception as e:  # noqa: BLE001: never a traceback
        where = traceback.extract_tb(e.__traceback__)[-1]
        say(
            tool,
            f"internal error: {type(e).__name__}: {e} ({os.path.basename(where.filename)}:{where.lineno})",
        )
        status = 2
    try:
        sys.stdout.flush()
    except (BrokenPipeError, OSError):
        status = status or 128 + signal.SIGPIPE
    # Nothing more may be written to a closed pipe at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    sys.exit(status)
