# SPDX-License-Identifier: MIT
"""Watch a real run of one of the programs from inside: record it with
uftrace (record), read the recording back (recording), check the program's
rules on it (rules_*), and show it as a report, a picture, a trace for a
trace viewer and a page to step through."""
