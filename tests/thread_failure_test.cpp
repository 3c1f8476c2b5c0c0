// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "harness.h"
#include "sanitized.h"

namespace {

constexpr const char *SANITIZERS_NEED_SPACE =
    "the sanitizers need the address space that the limit making thread "
    "creation fail takes away";

struct Refusal {
  const char *program;
  const char *what; // the failed step, as the program names it
};

class ThreadFailure : public testing::TestWithParam<Refusal> {};

TEST_P(ThreadFailure, EndsAtOnceWithStatusOneAndSaysWhyOnStderr) {
  if (SANITIZED) {
    GTEST_SKIP() << SANITIZERS_NEED_SPACE;
  }
  const Refusal refusal = GetParam();
  Running run = start({.program = refusal.program, .thread_room = 0});
  pump(run, 5.0);
  const bool ended = run.exited;
  const double took = std::chrono::duration<double>(
                          std::chrono::steady_clock::now() - run.started)
                          .count();
  stop(run);

  ASSERT_TRUE(ended) << "still running with no thread; wrote: " << run.out;
  ASSERT_TRUE(WIFEXITED(run.status)) << "wait status " << run.status;
  EXPECT_EQ(WEXITSTATUS(run.status), 1);
  EXPECT_LT(took, 1.0);
  EXPECT_EQ(run.out, "");
  // One line in the usual "program: what: why" form, why being strerror's.
  EXPECT_EQ(run.err, std::string(refusal.program) + ": " + refusal.what +
                         ": Resource temporarily unavailable\n");
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ThreadFailure,
    testing::Values(Refusal{"barber", "cannot create the barber thread"},
                    Refusal{"pairtick", "cannot create the second thread"},
                    Refusal{"tallyduel", "cannot create the second thread"}),
    [](const testing::TestParamInfo<Refusal> &param) {
      return std::string(param.param.program);
    });

// Room for the barber's thread alone: every customer is refused, each one is
// named on stderr, and the shop stays open, empty, for the rest of the run.
TEST(ThreadFailure, EachCustomerWhoCannotComeIsNamedAndTheDayGoesOn) {
  if (SANITIZED) {
    GTEST_SKIP() << SANITIZERS_NEED_SPACE;
  }
  Running run =
      start({.program = "barber", .fast_clock = true, .thread_room = 1});
  // The last customer is due at 44 s.
  pump(run, 50.0 / clock_speed() + 1.0, [](const Running &r) {
    return r.err.find("customer 19:") != std::string::npos;
  });
  const bool alive = !run.exited;
  stop(run);

  EXPECT_TRUE(alive);
  EXPECT_EQ(run.out, "");
  std::string expected;
  for (int id = 0; id < 20; id++) {
    expected += "barber: cannot create customer " + std::to_string(id) +
                ": Resource temporarily unavailable\n";
  }
  EXPECT_EQ(run.err, expected);
}

// A customer's stack must come back when he is gone. Room for 11 stacks fits
// the most threads the day ever has at once (the barber, six waiting, one in
// the chair and one arriving), but not the twenty customers' stacks if none
// is given back.
TEST(ThreadFailure, EndedCustomersGiveTheirStacksBack) {
  if (SANITIZED) {
    GTEST_SKIP() << SANITIZERS_NEED_SPACE;
  }
  Running run =
      start({.program = "barber", .fast_clock = true, .thread_room = 11});
  pump(run, 85.0 / clock_speed() + 5.0, [](const Running &r) {
    return r.line_times.size() >= 35 || !r.err.empty();
  });
  stop(run);

  EXPECT_EQ(run.err, "");
  EXPECT_EQ(split_lines(run.out).size(), 35U) << run.out;
}

} // namespace
