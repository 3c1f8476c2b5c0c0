/* SPDX-License-Identifier: MIT */
/*
 * shop.pml: the barber shop of shop/barber.cpp as a Promela model, so that
 * SPIN can check its protocol on every interleaving instead of the one day a
 * run shows.
 *
 * Each thread is a process and does what its C routine does, in the same
 * order: the same downs and ups, the chair freed before the haircut, the
 * sit-down line written under the lock and the gone-away line after it.
 * Time is left out: the driver's pauses and the five-second haircut become
 * "any thread may run next", so every order of arrivals and haircuts is
 * explored. A semaphore is a counter whose down waits until it is positive.
 *
 * The grain: every down and up of cust_ready and barber_ready is a step of
 * its own, so any other thread may run between two of them. What a thread
 * does while it holds mutex, from its down(mutex) to its up(mutex), is one
 * step (atomic): nobody else can touch free_seat meanwhile, so cutting that
 * stretch finer would only add orders that lead to the same states. Writing
 * a line touches nothing another thread reads, so it goes with the step
 * beside it. Without this grouping the 6-chair shop is out of reach at 8
 * customers, the fewest that can find it full.
 *
 * Left out: a customer whose thread cannot be created never arrives, which
 * makes a day with fewer customers; model/check checks every day from one
 * customer up.
 *
 * What is checked, on every reachable state:
 *   - no thread waits on cust_ready or barber_ready while it holds mutex;
 *   - mutex never counts above 1, and only its holder releases it;
 *   - whenever mutex is free, 0 <= free_seat <= SEAT_MAX;
 *   - a sit-down line shows 0 to SEAT_MAX - 1;
 *   - each customer writes exactly one line;
 *   - no deadlock: the only state with nothing left to run is the end of the
 *     day, with every customer thread ended, the barber waiting on cust_ready
 *     (end_idle) and the driver waiting on him (end_join); any other such
 *     state is an invalid end state;
 *   - at the end of the day every customer has written one line, the barber
 *     one per seated customer, every chair is free again and barber_ready is
 *     back at 1.
 *
 * Check it with model/check. The shop's size is set with -D, as in
 *   spin -a -DSEAT_MAX=2 -DCUSTOMER_MAX=5 model/shop.pml
 * and one of the faults below can be put in with -DFAULT=n to see it caught.
 */

#ifndef SEAT_MAX
#define SEAT_MAX 6
#endif
#ifndef CUSTOMER_MAX
#define CUSTOMER_MAX 20
#endif

/*
 * Known-wrong variants, each of which the check must catch:
 *   1  a customer who goes away forgets to release mutex;
 *   2  a customer waits on barber_ready before he releases mutex;
 *   3  a customer sits down when free_seat is 0 (tests < 0, not < 1);
 *   4  the barber frees a chair before he waits on cust_ready;
 *   5  a customer who goes away posts cust_ready all the same.
 */
#ifndef FAULT
#define FAULT 0
#endif

/* init() of the program: the values the semaphores and the count start at. */
byte barber_ready = 1;
byte cust_ready = 0;
byte mutex = 1;
/* Wider than the program needs, so that an overdrawn count shows as -1. */
short free_seat = SEAT_MAX;

/* What the output would show, counted for the end-of-day check. */
byte sat_lines = 0;
byte gone_lines = 0;
byte barber_lines = 0;
byte customers_ended = 0;

/* Each thread keeps "do I hold mutex" in its own local bit, locked. */
inline down_mutex() {
  atomic { mutex > 0 -> mutex--; locked = 1 }
}

inline up_mutex() {
  atomic {
    assert(locked);
    locked = 0;
    mutex++;
    assert(mutex <= 1)
  }
}

/* up() on cust_ready or barber_ready. */
inline up(sem) {
  sem++
}

/* The customer leaves his waiting-room chair for the barber's. */
inline free_a_chair() {
  atomic {
    down_mutex();
    free_seat++;
    up_mutex()
  }
}

proctype barber() {
  bit locked = 0;
  do
  :: assert(!locked);
#if FAULT == 4
     free_a_chair();
#endif
end_idle:
     atomic { cust_ready > 0 -> cust_ready-- };
#if FAULT != 4
     /* Before the haircut, so the chair is free while it goes on. */
     free_a_chair();
#endif
     /* sleep(5): the haircut. */
     atomic {
       printf("Barber has finished work from one customer!\n");
       barber_lines++;
       up(barber_ready)
     }
  od
}

inline customer_ends() {
  assert(lines == 1);
  customers_ended++
}

proctype customer(byte id) {
  bit locked = 0;
  byte lines = 0;
  atomic {
    down_mutex();
    if
#if FAULT == 3
    :: free_seat < 0 ->
#else
    :: free_seat < 1 ->
#endif
#if FAULT != 1
       up_mutex();
#endif
       printf("Customer whose id = %d has gone away!\n", id);
       gone_lines++;
       lines++;
#if FAULT == 5
       up(cust_ready);
#endif
       customer_ends();
       goto done
    :: else ->
       free_seat--;
       assert(free_seat >= 0 && free_seat < SEAT_MAX);
       printf("Customer whose id = %d has sit down! Free seat = %d\n", id,
              free_seat);
       sat_lines++;
       lines++;
#if FAULT != 2
       up_mutex()
#endif
    fi
  };
  up(cust_ready);
  assert(!locked);
  atomic {
    barber_ready > 0 -> barber_ready--;
#if FAULT == 2
    up_mutex();
#endif
    customer_ends()
  };
done:
  skip
}

/* The driver: start the barber, let the customers in one after the other,
 * then join the barber, who never ends. */
init {
  byte i;
  run barber();
  for (i : 0 .. CUSTOMER_MAX - 1) {
    run customer(i)
  }
end_join:
  false
}

/* mutex is never above 1, and whenever it is free the count of free chairs
 * is in range. */
#define CHAIRS_IN_RANGE \
  (mutex <= 1 && (mutex == 0 || (free_seat >= 0 && free_seat <= SEAT_MAX)))

/* Never moves unless CHAIRS_IN_RANGE is broken, in whatever state that is. */
active proctype chairs_in_range() {
end_watch:
  atomic { !CHAIRS_IN_RANGE -> assert(CHAIRS_IN_RANGE) }
}

/* Once every customer thread has ended and the barber sleeps with nobody
 * waiting, the day is over: nothing can run any more. */
active proctype end_of_day() {
end_watch:
  atomic {
    customers_ended == CUSTOMER_MAX && cust_ready == 0 &&
    barber@end_idle ->
    assert(sat_lines + gone_lines == CUSTOMER_MAX);
    assert(barber_lines == sat_lines);
    assert(free_seat == SEAT_MAX && mutex == 1 && barber_ready == 1)
  }
}
