// SPDX-License-Identifier: MIT
// barber: the sleeping barber, a shop run by three counting semaphores.
//
// One barber thread, a waiting room of SEAT_MAX chairs and CUSTOMER_MAX
// customer threads that arrive 0 to 4.5 seconds apart. A customer who finds a
// free chair sits down and waits for the barber; one who finds every chair
// taken goes away. The barber sleeps until someone is seated, takes him and
// cuts his hair for five seconds.
//
// Run it:  ./barber          (stop it with Ctrl-C)
//
// Watch for: every customer writes exactly one line, "has sit down!" or "has
// gone away!"; a customer goes away only after the free-seat count has reached
// 0; the barber writes one line per seated customer, five seconds after he
// took him. rand() is never seeded, so every run shows the same day. After the
// last haircut the program stays alive and silent until it is interrupted.

#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::int32_t SEAT_MAX = 6;
constexpr std::int32_t CUSTOMER_MAX = 20;

// Posted by the barber after each haircut; a seated customer waits on it
// before his thread ends. It starts at 1 because the barber is ready before
// anyone arrives: the first seated customer passes it at once.
sem_t barber_ready;
// Seated customers the barber has not taken yet: posted by each customer who
// sits down, taken by the barber.
sem_t cust_ready;
// Used as a lock, only ever 0 or 1: guards free_seat.
sem_t mutex;
// Free chairs in the waiting room; read and written only while holding mutex.
std::int32_t free_seat;

// Runs once, before any other thread exists. The last argument of sem_init
// is the count to start at; the 0 before it keeps each semaphore private to
// the threads of this process. sem_init fails only for a count above
// SEM_VALUE_MAX or a semaphore shared between processes where the system has
// none; neither can happen here, so its result is not checked.
void init() {
  sem_init(&barber_ready, 0, 1);
  sem_init(&cust_ready, 0, 0);
  sem_init(&mutex, 0, 1);
  free_seat = SEAT_MAX;
}

// P: wait until the count is positive, then lower it.
void down(sem_t &sem) { sem_wait(&sem); }

// V: raise the count, waking one waiting thread if there is one.
void up(sem_t &sem) { sem_post(&sem); }

void *_barber(void * /*arg*/) {
  for (;;) {
    down(cust_ready);
    // The customer leaves his waiting-room chair for the barber's chair, so
    // the chair is free for the next arrival while the haircut goes on.
    down(mutex);
    free_seat++;
    up(mutex);
    sleep(5);
    puts("Barber has finished work from one customer!");
    up(barber_ready);
  }
}

// No thread waits on cust_ready or barber_ready while it holds mutex: that
// is what keeps the three semaphores free of deadlock.
void *_customer(void *arg) {
  const auto *id = static_cast<const std::int32_t *>(arg);
  down(mutex);
  if (free_seat < 1) {
    up(mutex);
    printf("Customer whose id = %d has gone away!\n", *id);
    return nullptr;
  }
  free_seat--;
  // Written under the lock, so these lines come in the order the chairs were
  // taken and their free-seat numbers follow one another.
  printf("Customer whose id = %d has sit down! Free seat = %d\n", *id,
         free_seat);
  up(mutex);
  up(cust_ready);
  down(barber_ready);
  return nullptr;
}

} // namespace

int main() {
  // A signal is the only way this program ends, and it throws away whatever
  // stdout still buffers: into a pipe or a file, that can be every line.
  // Line buffering sends each line out as it is written.
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

  init();

  pthread_t barber;
  // Without a barber nobody would ever be served, and the join below would
  // wait on a thread that does not exist: say why, and end with a status
  // that tells a script the shop never opened.
  const int failed = pthread_create(&barber, nullptr, _barber, nullptr);
  if (failed != 0) {
    fprintf(stderr, "barber: cannot create the barber thread: %s\n",
            strerror(failed));
    return 1;
  }

  // main never returns past the join below, so these outlive every customer.
  std::int32_t ids[CUSTOMER_MAX];
  pthread_t customers[CUSTOMER_MAX];
  for (std::int32_t i = 0; i < CUSTOMER_MAX; i++) {
    // 0 to 4.5 seconds in steps of half a second, before every customer.
    usleep(static_cast<useconds_t>(rand() % 10 * 500000));
    ids[i] = i;
    const int refused =
        pthread_create(&customers[i], nullptr, _customer, &ids[i]);
    if (refused != 0) {
      // He never arrives; the day goes on without him.
      fprintf(stderr, "barber: cannot create customer %d: %s\n", i,
              strerror(refused));
      continue;
    }
    // Nobody joins a customer: detached, his thread gives its stack back as
    // soon as he is gone, instead of holding it for the rest of the run.
    pthread_detach(customers[i]);
  }

  // The barber never ends: the day is over when the output stops.
  pthread_join(barber, nullptr);
  return 0;
}
