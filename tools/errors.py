# SPDX-License-Identifier: MIT
"""The one error the tools tell their user about in a line of their own."""


class ToolError(Exception):
    """A usage or tool error: one line for the user, exit status 2."""
