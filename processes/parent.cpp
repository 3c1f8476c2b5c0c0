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
// new process finds no ./child.out and ends silently.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "get_time.h"

int main() {
  // Stopping by a signal throws away whatever stdout still buffers. Line
  // buffering sends each line out as it is written, and so keeps the lines
  // of parent and child whole and in time order when both write into one
  // pipe or file.
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

  // Split before anything is written, so that no buffered output is copied
  // into the new process.
  if (fork() == 0) {
    // The new program gets no arguments at all, not even its own name; the
    // environment passes on unchanged.
    char *const no_args[] = {nullptr};
    execv("./child.out", no_args);
    // Only reached when there is no runnable ./child.out: end quietly and
    // leave the parent to talk alone.
    return 0;
  }

  // Here on every other result of fork(): a failed split leaves the parent
  // talking alone, as a failed exec does.
  for (;;) {
    char *stamp = get_time();
    // Out of memory: no line this second, but the talk goes on.
    if (stamp != nullptr) {
      printf("The parent is talking at %s.\n", stamp);
      free(stamp);
    }
    sleep(1);
  }
}
