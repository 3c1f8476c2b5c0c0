# SPDX-License-Identifier: MIT
"""Files the tools write: whole or not at all (a temporary name, renamed
into place), and scratch folders whose paths hold no character a tool
downstream might split at."""

import os
import re
import shutil
import signal
import tempfile

SAFE = re.compile(r"^[A-Za-z0-9/._-]+$")


def write(path, text):
    """Writes a file whole: into a temporary name beside it, then renamed."""
    folder = os.path.dirname(path) or "."
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".part-")
    try:
        # As open() would make it: readable by whom the umask lets.
        os.fchmod(fd, 0o666 & ~umask())
        with os.fdopen(fd, "w", encoding="utf-8", errors="replace") as f:
            f.write(text)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def umask():
    """This process's umask, read without changing it."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("Umask:"):
                return int(line.split()[1], 8)
    return 0o022


def scratch(prefix):
    """A new folder of this process's own, under a path of safe characters
    only (the system's temporary folder, or /tmp where that one has a space
    or a quote in it)."""
    base = tempfile.gettempdir()
    if not SAFE.match(base):
        base = "/tmp"
    return tempfile.mkdtemp(prefix=prefix, dir=base)


def mkdtemp_in(folder, prefix):
    """A new folder of this process's own inside `folder`."""
    return tempfile.mkdtemp(prefix=prefix, dir=folder)


def remove(path):
    """Removes a file or a folder, if it is there."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


class Held:
    """Holds off SIGINT, SIGTERM and SIGHUP for a few steps that must be
    taken all or none (a signal that came meanwhile is acted on after)."""

    SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}

    def __enter__(self):
        signal.pthread_sigmask(signal.SIG_BLOCK, self.SIGNALS)

    def __exit__(self, *exc):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, self.SIGNALS)
