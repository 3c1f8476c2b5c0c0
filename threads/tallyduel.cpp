// SPDX-License-Identifier: MIT
// tallyduel: two threads of one process share one global counter.
//
// The main thread raises shared_var by one every two seconds; a second thread
// lowers it by one every second. Each writes the value it left behind.
//
// Run it:  ./tallyduel       (stop it with Ctrl-C)
//
// Watch for: one growing line of numbers. It starts at 1 or -1 (or 0, when
// both threads change the counter before either writes) and drifts down by
// about one every two seconds, since there are two decreases for each
// increase: after a minute the numbers lie near -30. Each number shows at once
// although no line end ever follows it, because every one is flushed.

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The counter both threads change. Atomic, so that each change and the read
// of the value to be written are one indivisible step: ++ and -- return the
// value this thread left, whatever the other thread does at the same time.
std::atomic<std::int32_t> shared_var{0};

// The second thread's handle: the main thread counts as thread 0, so the one
// it starts is thread1. Written once by pthread_create and not used
// afterwards; the main thread never joins it.
pthread_t thread1;

// No line end follows a number, so nothing would leave the stdout buffer
// without the flush.
void show(std::int32_t value) {
  printf("%d ", value);
  fflush(stdout);
}

void *child_thread(void * /*arg*/) {
  for (;;) {
    show(--shared_var);
    sleep(1);
  }
}

} // namespace

int main() {
  const int failed = pthread_create(&thread1, nullptr, child_thread, nullptr);
  if (failed != 0) {
    // Without the second thread there is nothing to show; say why, and let
    // the exit status tell a script that the program did not run.
    fprintf(stderr, "tallyduel: cannot create the second thread: %s\n",
            strerror(failed));
    return 1;
  }
  for (;;) {
    show(++shared_var);
    sleep(2);
  }
}
