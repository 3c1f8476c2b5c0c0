# SPDX-License-Identifier: MIT
"""The shop's models and the tools that check them against the program:
conform (a traced run against the models) and prove (the program's own
routines, for every number of customers and chairs)."""
