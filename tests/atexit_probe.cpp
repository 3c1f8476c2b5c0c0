// SPDX-License-Identifier: MIT
// Preloaded into a program by a test: writes "exit handlers ran" on stderr
// when the process runs its exit handlers, as a return from main or exit()
// does and _exit() does not.

#include <unistd.h>

#include <cstdlib>

namespace {

void say_so() {
  constexpr char LINE[] = "exit handlers ran\n";
  const ssize_t written = write(STDERR_FILENO, LINE, sizeof LINE - 1);
  (void)written; // nothing to do if stderr is gone
}

__attribute__((constructor)) void arm() { std::atexit(say_so); }

} // namespace
