#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "harness.h"

namespace {

const std::regex
    SAT_DOWN(R"(Customer whose id = (\d+) has sit down! Free seat = (-?\d+))");
const std::regex GONE_AWAY(R"(Customer whose id = (\d+) has gone away!)");
const std::string BARBER_LINE = "Barber has finished work from one customer!";

struct Tally {
  int sat = 0;
  int gone = 0;
  int served = 0;
};

Tally tally(const std::string &out) {
  Tally t;
  for (const auto &line : split_lines(out)) {
    if (line == BARBER_LINE) {
      t.served++;
    } else if (std::regex_match(line, SAT_DOWN)) {
      t.sat++;
    } else if (std::regex_match(line, GONE_AWAY)) {
      t.gone++;
    }
  }
  return t;
}

TEST(Barber, WholeDayKeepsTheRulesOfTheShop) {
  Running run = start({.program = "barber", .fast_clock = true});
  // The day is over once all 20 customers have come and every one who sat
  // down has been served. At real speed that takes 76.5 seconds.
  const bool over =
      pump(run, 100.0 / clock_speed() + 5.0, [](const Running &r) {
        const Tally t = tally(r.out);
        return t.sat + t.gone == 20 && t.served == t.sat;
      });
  const std::string day = run.out;
  // Two more haircuts' time: nothing more may come, and nothing may end.
  pump(run, 12.0 / clock_speed());
  const bool alive = !run.exited;
  stop(run);

  ASSERT_TRUE(over) << run.out;
  EXPECT_EQ(run.out, day);
  EXPECT_TRUE(alive);
  EXPECT_EQ(run.err, "");

  int lines_of[20] = {};
  int last_free = -1; // the free-seat number of the latest sit-down line
  int gone = 0;
  for (const auto &line : split_lines(run.out)) {
    std::smatch m;
    if (std::regex_match(line, m, SAT_DOWN)) {
      const int free_seat = std::stoi(m[2]);
      EXPECT_GE(free_seat, 0) << line;
      EXPECT_LE(free_seat, 5) << line;
      if (last_free < 0) {
        EXPECT_EQ(free_seat, 5) << "the first customer finds every chair free";
      }
      last_free = free_seat;
    } else if (std::regex_match(line, m, GONE_AWAY)) {
      gone++;
      EXPECT_EQ(last_free, 0) << "a customer went away with a chair free";
    } else {
      ASSERT_EQ(line, BARBER_LINE);
      continue;
    }
    const int id = std::stoi(m[1]);
    ASSERT_GE(id, 0) << line;
    ASSERT_LT(id, 20) << line;
    lines_of[id]++;
  }
  for (int id = 0; id < 20; id++) {
    EXPECT_EQ(lines_of[id], 1) << "lines of customer " << id;
  }
  // The unseeded generator gives the same day every time, and on it the
  // waiting room fills up: some customers must have found it full.
  EXPECT_GT(gone, 0);
}

TEST(Barber, FirstLineLeavesThroughAPipeAsSoonAsItIsWritten) {
  Running run = start({.program = "barber"});
  const bool got =
      pump(run, 5.0, [](const Running &r) { return !r.line_times.empty(); });
  stop(run);

  ASSERT_TRUE(got) << "nothing came through the pipe";
  // The first customer arrives after rand() % 10 = 3 half-seconds.
  EXPECT_GE(run.line_times[0], 1.5);
  EXPECT_LT(run.line_times[0], 3.0);
  EXPECT_EQ(split_lines(run.out).at(0),
            "Customer whose id = 0 has sit down! Free seat = 5");
  EXPECT_EQ(run.err, "");
}

} // namespace
