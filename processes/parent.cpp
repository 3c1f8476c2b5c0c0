// SPDX-License-Identifier: MIT
// parent: a process that splits in two and turns the new half into another
// program.
//
// fork() makes a copy of this process; the copy replaces itself with the
// program ./child.out, and from then on both processes write a time-stamped
// line once a second. The parent neither waits for the child nor signals it.
//
// Run it from the folder that holds child.out, since "./child.out" is looked
// up in the working directory, not beside parent:
//
//   cd build/default && ./parent      (stop both with Ctrl-C)
//
// Watch for: a parent line and a child line about every second, in either
// order within the second. Started anywhere else, only the parent talks: the
// new process finds no ./child.out, says so on stderr and ends. When no
// second process can be made at all, the parent says so and talks alone.

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "get_time.h"

int main() {
  // A signal is the only way this program ends, and it throws away whatever
  // stdout still buffers: into a pipe or a file, that can be every line.
  // Line buffering sends each line out as it is written.
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

  // The parent never waits for its child. With SIGCHLD ignored the kernel
  // reaps the child as soon as it ends, so a child that failed or was killed
  // does not stay behind as a zombie for the parent's whole life.
  signal(SIGCHLD, SIG_IGN);

  // Split before anything is written, so that no buffered output is copied
  // into the new process.
  const pid_t child = fork();
  if (child == 0) {
    // child.out starts with the disposition every program expects.
    signal(SIGCHLD, SIG_DFL);
    // The new program gets no arguments at all, not even its own name; the
    // environment passes on unchanged.
    char *const no_args[] = {nullptr};
    execv("./child.out", no_args);
    // Only reached when there is no runnable ./child.out. Say why, and end
    // as a shell does with a command it cannot run; the parent talks alone.
    // _exit, not a return from main: this is a copy of the parent, and the
    // parent's exit handlers and buffers are not its to run.
    fprintf(stderr, "parent: cannot run ./child.out: %s\n", strerror(errno));
    _exit(127);
  }
  if (child < 0) {
    // No second process: say so, and talk alone, as after a failed exec.
    fprintf(stderr, "parent: cannot start a second process: %s\n",
            strerror(errno));
  }

  for (;;) {
    char *stamp = get_time();
    // No stamp (out of memory, or a clock past any date): no line this
    // second, but the talk goes on.
    if (stamp != nullptr) {
      printf("The parent is talking at %s.\n", stamp);
      free(stamp);
    }
    sleep(1);
  }
}
