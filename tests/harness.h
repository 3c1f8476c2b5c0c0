// SPDX-License-Identifier: MIT
#pragma once

// Runs a program of the build as a black box: in its own process group, with
// stdout and stderr on pipes and stdin on /dev/null, read until a deadline,
// then interrupted and reaped together with everything it started.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct Launch {
  std::string program{};   // file name in the build folder
  std::string cwd{};       // working directory; empty: build folder
  bool fast_clock = false; // clock_speed() times faster under libfaketime
  std::string clock{};     // FAKETIME for libfaketime, if not empty
  // Room for this many thread stacks in the address space; the rest of the
  // program's threads cannot be created (0: every pthread_create fails).
  // Negative: no limit.
  int thread_room = -1;
  bool empty_argv = false;            // argument vector of only the null entry
  bool refuse_fork = false;           // every fork (and thread) fails: EAGAIN
  std::string preload{};              // a library to preload (LD_PRELOAD)
  std::vector<std::string> wrapper{}; // run under this command (valgrind)
};

// Exit statuses of the harness's own child when it cannot set the program up
// (a program's own status is 0 or 1).
constexpr int SETUP_GROUP = 121;  // setpgid
constexpr int SETUP_PIPES = 122;  // dup2 of stdin, stdout or stderr
constexpr int SETUP_LIMITS = 123; // setrlimit
constexpr int SETUP_FILTER = 124; // the seccomp filter that refuses fork
constexpr int SETUP_EXEC = 125;   // execve
constexpr int SETUP_CWD = 126;    // chdir

struct Running {
  pid_t pid = -1;
  int out_fd = -1;
  int err_fd = -1;
  std::string out;
  std::string err;
  // When each line end of stdout arrived, in seconds since the start.
  std::vector<double> line_times;
  bool exited = false; // the program itself (the group leader) has ended
  int status = 0;      // its wait status, once exited
  std::chrono::steady_clock::time_point started;
};

// The folder that holds the programs.
std::string build_dir();

// How many seconds of a fast-clock program's own time pass in one real
// second: 10 under libfaketime (4 in a sanitized build), 1 where it is not
// installed.
int clock_speed();

// Whether libfaketime is there to set a program's clock.
bool have_faketime();

Running start(const Launch &launch);

// Reads output until `done` holds (true) or `seconds` of real time pass
// (false). Without `done`, reads for the whole time, or until the program has
// ended and its pipes are closed.
bool pump(Running &run, double seconds,
          const std::function<bool(const Running &)> &done = nullptr);

// Interrupts the whole process group as Ctrl-C would, gives it `grace`
// seconds, kills what is left, reaps every process of the group and reads
// what they wrote last.
void stop(Running &run, double grace = 1.0);

std::vector<std::string> split_lines(const std::string &text);
