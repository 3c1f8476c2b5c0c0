// SPDX-License-Identifier: MIT
// pairtick: two threads of one process, side by side.
//
// The main thread starts a second thread; from then on each of them writes,
// once a second, its own thread identifier and the local time.
//
// Run it:  ./pairtick        (stop it with Ctrl-C)
//
// Watch for: two different identifiers, each about once a second, each with
// the time of writing; within one second the order of the two lines is
// whatever the scheduler chose. Lines never mix, because each one is written
// by a single printf call.

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "get_time.h"

namespace {

// The second thread's handle: the main thread counts as thread 0, so the one
// it starts is thread1. Written once by pthread_create and not used
// afterwards; the main thread never joins it.
pthread_t thread1;

// One line: who is talking and when. A second without a stamp (out of
// memory, or a clock past any date) gets no line; the clock carries on.
void tick() {
  char *stamp = get_time();
  if (stamp != nullptr) {
    // pthread_t is an unsigned long on Linux, so it prints as a number.
    printf("%lu %s\n", static_cast<unsigned long>(pthread_self()), stamp);
    free(stamp);
  }
  sleep(1);
}

void *child_thread(void * /*arg*/) {
  for (;;) {
    tick();
  }
}

} // namespace

int main() {
  // A signal is the only way this program ends, and it throws away whatever
  // stdout still buffers: into a pipe or a file, that can be every line.
  // Line buffering sends each line out as it is written.
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

  const int failed = pthread_create(&thread1, nullptr, child_thread, nullptr);
  if (failed != 0) {
    // Without the second thread there is nothing to show; say why, and let
    // the exit status tell a script that the program did not run.
    fprintf(stderr, "pairtick: cannot create the second thread: %s\n",
            strerror(failed));
    return 1;
  }
  for (;;) {
    tick();
  }
}
