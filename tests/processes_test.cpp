// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "stamp.h"

namespace {

// Whether `line` is "The <who> is talking at <stamp>."
bool talks(const std::string &line, const std::string &who) {
  const std::string head = "The " + who + " is talking at ";
  std::time_t seconds = 0;
  return line.size() == head.size() + STAMP_LENGTH + 1 &&
         line.compare(0, head.size(), head) == 0 && line.back() == '.' &&
         read_stamp(line.substr(head.size(), STAMP_LENGTH), &seconds);
}

struct Talk {
  int parent = 0;
  int child = 0;
};

// The processes whose parent is `parent`, from /proc, zombies included.
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) {
      continue;
    }
    // "pid (name) state ppid ...", where the name may hold blanks.
    const auto after_name = line.rfind(") ");
    if (after_name == std::string::npos || after_name + 4 >= line.size()) {
      continue;
    }
    char *end = nullptr;
    const long ppid = std::strtol(line.c_str() + after_name + 4, &end, 10);
    if (*end == ' ' && ppid == parent) {
      children.push_back(static_cast<pid_t>(std::stol(line)));
    }
  }
  return children;
}

// Runs the program for ten seconds of its own time, lets `meanwhile` look at
// it while it still runs, and counts the lines of each speaker; any other
// line fails the test, and so does anything on stderr but `err`.
Talk talk_of(const Launch &launch, const std::string &err = "",
             const std::function<void(Running &)> &meanwhile = nullptr) {
  Running run = start(launch);
  const pid_t group = run.pid;
  pump(run, 10.0 / clock_speed());
  if (meanwhile) {
    meanwhile(run);
  }
  stop(run);
  EXPECT_EQ(run.err, err);
  // Nothing of the group is left running, child.out included.
  EXPECT_EQ(kill(-group, 0), -1);
  EXPECT_EQ(errno, ESRCH);

  Talk talk;
  for (const auto &line : split_lines(run.out)) {
    if (talks(line, "parent")) {
      talk.parent++;
    } else if (talks(line, "child")) {
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

// The parent never waits for its child, so the kernel must reap a child
// that ends: none may be left as a zombie.
TEST(Parent, StartedBesideChildOutBothTalkOnceASecondAndNoKilledChildLingers) {
  const Talk talk =
      talk_of({.program = "parent", .fast_clock = true}, "", [](Running &run) {
        const auto children = children_of(run.pid);
        ASSERT_EQ(children.size(), 1U);
        kill(children[0], SIGKILL);
        pump(run, 0.5,
             [&](const Running &r) { return children_of(r.pid).empty(); });
        EXPECT_TRUE(children_of(run.pid).empty()) << "a zombie child stays";
      });
  expect_once_a_second(talk.parent);
  expect_once_a_second(talk.child);
}

TEST(Parent, StartedElsewhereTalksAloneAndTheChildSaysWhyItCouldNotRun) {
  char folder[] = "/tmp/parent-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  // The new process is a copy of the parent: it must end without running
  // the exit handlers it inherited, which the probe would report.
  const Talk talk =
      talk_of({.program = "parent",
               .cwd = folder,
               .fast_clock = true,
               .preload = ATEXIT_PROBE},
              "parent: cannot run ./child.out: No such file or directory\n",
              [](Running &run) {
                EXPECT_TRUE(children_of(run.pid).empty())
                    << "a zombie child stays";
              });
  rmdir(folder);
  expect_once_a_second(talk.parent);
  EXPECT_EQ(talk.child, 0);
}

TEST(Parent, WithNoSecondProcessSaysSoAndTalksAlone) {
  const Talk talk =
      talk_of({.program = "parent", .fast_clock = true, .refuse_fork = true},
              "parent: cannot start a second process: Resource temporarily "
              "unavailable\n");
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

// A clock the stamp cannot show: some two billion years ahead, past what a
// struct tm holds; a five-digit year; and a year past the largest int, which
// strftime would wrap into a negative one. No line is better than a garbled
// date.
class UnusableClock : public testing::TestWithParam<const char *> {};

TEST_P(UnusableClock, ChildWritesNoLineWhileTheClockIsPastAnyStamp) {
  if (!have_faketime()) {
    GTEST_SKIP() << "needs libfaketime to move the clock";
  }
  Running run = start({.program = "child.out", .clock = GetParam()});
  pump(run, 0.5);
  const bool alive = !run.exited;
  stop(run);
  EXPECT_TRUE(alive);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Clocks, UnusableClock,
                         testing::Values("+2200000000y x10", "+8000y x10",
                                         "+67767976233316800"));

INSTANTIATE_TEST_SUITE_P(Argv, Child, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &param) {
                           return param.param ? "Empty" : "WithItsName";
                         });

} // namespace
