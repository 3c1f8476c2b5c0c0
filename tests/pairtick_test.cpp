// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "sanitized.h"
#include "stamp.h"

namespace {

TEST(Pairtick, TwoThreadsEachWriteTheirIdAndTheTimeOnceASecond) {
  Running run = start({.program = "pairtick", .fast_clock = true});
  pump(run, 10.0 / clock_speed()); // ten seconds of the program's own time
  stop(run);
  EXPECT_EQ(run.err, "");

  // "<thread id> <stamp>"
  std::map<std::string, std::vector<std::time_t>> stamps_of;
  for (const auto &line : split_lines(run.out)) {
    const auto blank = line.find(' ');
    std::time_t stamp = 0;
    ASSERT_TRUE(blank != std::string::npos && blank > 0 &&
                line.find_first_not_of("0123456789") == blank &&
                read_stamp(line.substr(blank + 1), &stamp))
        << line;
    stamps_of[line.substr(0, blank)].push_back(stamp);
  }
  ASSERT_EQ(stamps_of.size(), 2U) << run.out;
  for (const auto &[id, stamps] : stamps_of) {
    EXPECT_GE(stamps.size(), 8U) << "thread " << id;
    EXPECT_LE(stamps.size(), 12U) << "thread " << id;
    // A second's pause plus the work of a line: the next stamp is one
    // second later, or two when the work carried it over a boundary.
    for (std::size_t i = 1; i < stamps.size(); i++) {
      const auto step = stamps[i] - stamps[i - 1];
      EXPECT_TRUE(step == 1 || step == 2)
          << "thread " << id << ": " << stamps[i - 1] << " then " << stamps[i];
    }
  }
}

// Each stamp is a buffer of its own; if one were not freed, valgrind would
// count it lost once the next one replaced it. It runs a copy of pairtick
// without debug information, which valgrind cannot read from every compiler
// and the leak count does not need.
TEST(Pairtick, FreesEveryStamp) {
  if (std::string(VALGRIND).empty() || SANITIZED) {
    GTEST_SKIP() << "needs valgrind, which cannot run sanitized programs";
  }
  Running run = start({.program = "tests/pairtick-nodebug",
                       .wrapper = {VALGRIND, "--leak-check=full"}});
  // Valgrind is slow to start: wait for a few seconds of lines.
  pump(run, 15.0, [](const Running &r) { return r.line_times.size() >= 6; });
  stop(run, 10.0);

  ASSERT_GE(split_lines(run.out).size(), 6U) << run.err;
  ASSERT_NE(run.err.find("LEAK SUMMARY"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("definitely lost: 0 bytes"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("indirectly lost: 0 bytes"), std::string::npos)
      << run.err;
}

} // namespace
