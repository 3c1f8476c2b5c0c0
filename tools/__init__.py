# SPDX-License-Identifier: MIT
"""What every tool of the project shares: its errors and its command-line
plumbing."""
