# SPDX-License-Identifier: MIT
# Input: "loop time" lines, grouped by loop. Prints each loop's mean period
# and the shortest and longest gap between its ticks.
function flush() {
  if (n > 1)
    printf "%s%s %.4f (%.4f..%.4f)", sep, key, (last - first) / (n - 1), lo, hi
  sep = ", "
}
$1 != key { if (NR > 1) flush(); key = $1; n = 0; lo = 1e9; hi = 0 }
{
  if (n == 0) first = $2
  else { gap = $2 - last; if (gap < lo) lo = gap; if (gap > hi) hi = gap }
  last = $2; n++
}
END { flush() }
