// SPDX-License-Identifier: MIT
/*
 * What recording a call costs: times 200000 rounds of an uncontended
 * sem_post and sem_wait, the calls trace/run records most. Run it bare and
 * under uftrace with trace/run's arguments and compare the two figures
 * (--force: uftrace records the library calls of a program built without
 * -pg, as trace/run does):
 *
 *   cc -O2 -pthread -o tracecost bench/tracecost.c && ./tracecost
 *   LD_BIND_NOW=1 uftrace record --force -d /tmp/tc.data -A sem_wait@arg1 \
 *     -A sem_post@arg1 ./tracecost
 */
#include <semaphore.h>
#include <stdio.h>
#include <time.h>

int main(void) {
  enum { ROUNDS = 200000 };
  sem_t sem;
  sem_init(&sem, 0, 0);
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  for (int i = 0; i < ROUNDS; i++) {
    sem_post(&sem);
    sem_wait(&sem);
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  const double ns = (double)(t1.tv_sec - t0.tv_sec) * 1e9 +
                    (double)(t1.tv_nsec - t0.tv_nsec);
  printf("%.1f ns a call\n", ns / (2.0 * ROUNDS));
  return 0;
}
