#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"
#include "sanitized.h"

namespace {

const std::regex TICK(R"((\d+) (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d))");

std::time_t seconds_of(const std::string &stamp) {
  std::tm fields{};
  strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &fields);
  return timegm(&fields);
}

TEST(Pairtick, TwoThreadsEachWriteTheirIdAndTheTimeOnceASecond) {
  Running run = start({.program = "pairtick", .fast_clock = true});
  pump(run, 10.0 / clock_speed()); // ten seconds of the program's own time
  stop(run);
  EXPECT_EQ(run.err, "");

  std::map<std::string, std::vector<std::string>> stamps_of;
  for (const auto &line : split_lines(run.out)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, TICK)) << line;
    stamps_of[m[1]].push_back(m[2]);
  }
  ASSERT_EQ(stamps_of.size(), 2U) << run.out;
  for (const auto &[id, stamps] : stamps_of) {
    EXPECT_GE(stamps.size(), 8U) << "thread " << id;
    EXPECT_LE(stamps.size(), 12U) << "thread " << id;
    // A second's pause plus the work of a line: the next stamp is one
    // second later, or two when the work carried it over a boundary.
    for (std::size_t i = 1; i < stamps.size(); i++) {
      const auto step = seconds_of(stamps[i]) - seconds_of(stamps[i - 1]);
      EXPECT_TRUE(step == 1 || step == 2)
          << "thread " << id << ": " << stamps[i - 1] << " then " << stamps[i];
    }
  }
}

// Each stamp is a buffer of its own; if one were not freed, valgrind would
// count it lost once the next one replaced it.
TEST(Pairtick, FreesEveryStamp) {
  if (std::string(VALGRIND).empty() || SANITIZED) {
    GTEST_SKIP() << "needs valgrind, which cannot run sanitized programs";
  }
  Running run = start(
      {.program = "pairtick", .wrapper = {VALGRIND, "--leak-check=full"}});
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
