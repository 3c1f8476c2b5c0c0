# SPDX-License-Identifier: MIT
"""The guide's pages read and their commands run, for its tests."""
