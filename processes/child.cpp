// SPDX-License-Identifier: MIT
// child: the program that parent starts in its new process.
//
// It writes a time-stamped line once a second, for ever. It reads no
// arguments, so it runs the same whether started by parent (with an empty
// argument vector) or by itself.
//
// Run it:  ./child.out       (stop it with Ctrl-C)
//
// Watch for: one line a second, each with the time of writing.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "get_time.h"

int main() {
  // A signal is the only way this program ends, and it throws away whatever
  // stdout still buffers: into a pipe or a file, that can be every line.
  // Line buffering sends each line out as it is written.
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

  for (;;) {
    char *stamp = get_time();
    // No stamp (out of memory, or a clock past any date): no line this
    // second, but the talk goes on.
    if (stamp != nullptr) {
      printf("The child is talking at %s.\n", stamp);
      free(stamp);
    }
    sleep(1);
  }
}
