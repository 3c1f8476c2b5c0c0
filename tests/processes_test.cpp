#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string>

#include "harness.h"

namespace {

const std::regex
    PARENT_LINE(R"(The parent is talking at \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.)");
const std::regex
    CHILD_LINE(R"(The child is talking at \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.)");

struct Talk {
  int parent = 0;
  int child = 0;
};

// Runs the program for ten seconds of its own time and counts the lines of
// each speaker; any other line fails the test.
Talk talk_of(const Launch &launch) {
  Running run = start(launch);
  const pid_t group = run.pid;
  pump(run, 10.0 / clock_speed());
  stop(run);
  EXPECT_EQ(run.err, "");
  // Nothing of the group is left running, child.out included.
  EXPECT_EQ(kill(-group, 0), -1);
  EXPECT_EQ(errno, ESRCH);

  Talk talk;
  for (const auto &line : split_lines(run.out)) {
    if (std::regex_match(line, PARENT_LINE)) {
      talk.parent++;
    } else if (std::regex_match(line, CHILD_LINE)) {
      talk.child++;
    } else {
      ADD_FAILURE() << "unexpected line: " << line;
    }
  }
  return talk;
}

// A line about once a second: 10 or 11 in ten seconds, give or take the time
// it takes to start.
void expect_once_a_second(int lines) {
  EXPECT_GE(lines, 8);
  EXPECT_LE(lines, 12);
}

TEST(Parent, StartedBesideChildOutBothProcessesTalkOnceASecond) {
  const Talk talk = talk_of({.program = "parent", .fast_clock = true});
  expect_once_a_second(talk.parent);
  expect_once_a_second(talk.child);
}

TEST(Parent, StartedElsewhereTalksAloneAndTheFailedChildSaysNothing) {
  char folder[] = "/tmp/parent-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const Talk talk =
      talk_of({.program = "parent", .cwd = folder, .fast_clock = true});
  rmdir(folder);
  expect_once_a_second(talk.parent);
  EXPECT_EQ(talk.child, 0);
}

class Child : public testing::TestWithParam<bool> {};

TEST_P(Child, TalksOnceASecondWithOrWithoutArguments) {
  const Talk talk = talk_of(
      {.program = "child.out", .fast_clock = true, .empty_argv = GetParam()});
  EXPECT_EQ(talk.parent, 0);
  expect_once_a_second(talk.child);
}

INSTANTIATE_TEST_SUITE_P(Argv, Child, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &param) {
                           return param.param ? "Empty" : "WithItsName";
                         });

} // namespace
