// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

TEST(Tallyduel, EveryValueShowsAtOnceAndTheCounterDriftsDown) {
  Running run = start({.program = "tallyduel", .fast_clock = true});
  // Twenty seconds of the program's own time: about 10 raises (at 0, 2, ...,
  // 18 s) and 20 lowerings (at 0, 1, ..., 19 s).
  pump(run, 20.0 / clock_speed());
  const std::string shown = run.out; // what had come through before the stop
  stop(run);

  EXPECT_EQ(run.err, "");
  EXPECT_EQ(shown.find('\n'), std::string::npos) << "a line end was written";
  // Numbers, each followed by exactly one blank.
  std::vector<int> values;
  for (const char *p = shown.c_str(); *p != '\0';) {
    const char *digits = *p == '-' ? p + 1 : p;
    char *end = nullptr;
    const long value = std::strtol(p, &end, 10);
    ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(*digits)) != 0 &&
                *end == ' ')
        << "not a number and one blank at " << p - shown.c_str() << ": "
        << shown;
    values.push_back(static_cast<int>(value));
    p = end + 1;
  }
  ASSERT_FALSE(values.empty());
  const auto n = static_cast<int>(values.size());
  EXPECT_GE(n, 26) << shown;
  EXPECT_LE(n, 34) << shown;
  // 1 or -1 when one thread writes before the other changes the counter; 0
  // when both change it before either writes.
  EXPECT_LE(std::abs(values.front()), 1) << shown;
  // Two writers may swap a pair of numbers, so neighbours differ by at most
  // two rather than exactly one.
  for (std::size_t i = 1; i < values.size(); i++) {
    EXPECT_LE(std::abs(values[i] - values[i - 1]), 2) << shown;
  }
  // Two lowerings for every raise: the counter ends near minus a third of
  // the changes.
  EXPECT_NEAR(values.back(), -n / 3.0, 2.5) << shown;
}

} // namespace
