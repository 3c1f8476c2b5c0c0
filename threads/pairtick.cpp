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

#include "get_time.h"

namespace {

// Written once by pthread_create and not used afterwards; the main thread
// never joins the second thread.
pthread_t thread1;

// One line: who is talking and when. A second without a stamp buffer (out of
// memory) gets no line; the clock carries on.
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
  // Stopping by a signal throws away whatever stdout still buffers; through a
  // pipe or into a file, line buffering sends each line out as it is written.
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

  if (pthread_create(&thread1, nullptr, child_thread, nullptr) != 0) {
    return 0;
  }
  for (;;) {
    tick();
  }
}
