#include <gtest/gtest.h>
#include <sys/wait.h>

#include "harness.h"
#include "sanitized.h"

namespace {

class ThreadFailure : public testing::TestWithParam<const char *> {};

TEST_P(ThreadFailure, EndsAtOnceWithStatusZeroHavingWrittenNothing) {
  if (SANITIZED) {
    GTEST_SKIP() << "the sanitizers need the address space that the limit "
                    "making thread creation fail takes away";
  }
  Running run = start({.program = GetParam(), .no_threads = true});
  pump(run, 5.0);
  const bool ended = run.exited;
  const double took = std::chrono::duration<double>(
                          std::chrono::steady_clock::now() - run.started)
                          .count();
  stop(run);

  ASSERT_TRUE(ended) << "still running with no thread; wrote: " << run.out;
  ASSERT_TRUE(WIFEXITED(run.status)) << "wait status " << run.status;
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_LT(took, 1.0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Programs, ThreadFailure,
                         testing::Values("barber", "pairtick", "tallyduel"));

} // namespace
