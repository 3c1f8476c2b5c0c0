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
 * customers; with it, 8 is as far as this model goes (9 take 40 million
 * states). shop_counted.pml counts the customers instead and reaches 20;
 * model/check checks the two against each other at every size this one
 * reaches. The state, the barber and the checks of the shop's state come
 * from barber.pml, which both include.
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
 *     back at 1;
 *   - and on every run, every customer's thread ends (the liveness claim in
 *     barber.pml).
 *
 * Check it with model/check. The shop's size is set with -D, as in
 *   spin -a -DSEAT_MAX=2 -DCUSTOMER_MAX=5 model/shop.pml
 * and one of the faults listed in barber.pml can be put in with -DFAULT=n
 * to see it caught.
 */

#include "barber.pml"

inline customer_ends() {
  assert(lines == 1);
  customers_ended++
}

proctype customer(byte id) {
  bit locked = 0;
  byte lines = 0;
  atomic {
    BEGIN_ROUTINE
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
#if FAULT == 9
       up_mutex();
#endif
       printf("Customer whose id = %d has gone away!\n", id);
       gone_lines++ SAY("op %d line gone-away\n");
       lines++;
#if FAULT == 5
       up(cust_ready) SAY("op %d up cust_ready\n");
#endif
       customer_ends();
       goto done
    :: else ->
       free_seat--;
       assert(free_seat >= 0 && free_seat < SEAT_MAX);
#if FAULT != 6
       printf("Customer whose id = %d has sit down! Free seat = %d\n", id,
              free_seat);
       sat_lines++ SAY("op %d line sit-down\n");
       lines++;
#endif
#if FAULT != 2
       up_mutex()
#endif
    fi
  };
  up(cust_ready) SAY("op %d up cust_ready\n");
#if FAULT == 8
  up(cust_ready) SAY("op %d up cust_ready\n");
#endif
  assert(!locked);
  atomic {
    barber_ready > 0 -> barber_ready-- SAY("op %d down barber_ready\n");
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

