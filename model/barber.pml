/* SPDX-License-Identifier: MIT */
/*
 * barber.pml: what both models of the shop share, included by shop.pml
 * (a process for each customer) and shop_counted.pml (the customers
 * counted): the shop's size, the known-wrong variants, the semaphores and
 * free_seat, the semaphore operations, the barber, the watchers that check
 * the shop's state, and the liveness claim. Each model adds its customers
 * and the driver that lets them in.
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
 *   5  a customer who goes away posts cust_ready all the same;
 *   6  a customer who sits down writes no line;
 *   7  the barber never frees a chair;
 *   8  a customer who sits down posts cust_ready twice;
 *   9  a customer who goes away releases mutex twice;
 *  10  the barber posts barber_ready only when someone is left waiting
 *      (cust_ready > 0), so after a haircut that empties the room the
 *      customer just served waits for ever.
 */
#ifndef FAULT
#define FAULT 0
#endif

/*
 * With -DTRACE_OPS a simulation prints every semaphore operation and every
 * line as it happens, "op PID down mutex", "op PID line barber" and so on,
 * for model/conform to compare with what the program does. Otherwise SAY is
 * nothing at all, so the searches see the same states. It goes after a
 * statement, without a semicolon of its own.
 */
#ifdef TRACE_OPS
#define SAY(text) ; printf(text, _pid)
#else
#define SAY(text)
#endif
/* SPIN gives the number of a process that has ended to the next one: a
 * customer says "op PID begin" first, so that his operations are not taken
 * for those of the one before him. */
#ifdef TRACE_OPS
#define BEGIN_ROUTINE printf("op %d begin\n", _pid);
#else
#define BEGIN_ROUTINE
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
  atomic { mutex > 0 -> mutex--; locked = 1 SAY("op %d down mutex\n") }
}

inline up_mutex() {
  atomic {
    assert(locked);
    locked = 0;
    mutex++ SAY("op %d up mutex\n");
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
     atomic { cust_ready > 0 -> cust_ready-- SAY("op %d down cust_ready\n") };
#if FAULT != 4 && FAULT != 7
     /* Before the haircut, so the chair is free while it goes on. */
     free_a_chair();
#endif
     /* sleep(5): the haircut. */
     atomic {
       printf("Barber has finished work from one customer!\n");
       barber_lines++ SAY("op %d line barber\n");
#if FAULT == 10
       if
       :: cust_ready > 0 -> up(barber_ready) SAY("op %d up barber_ready\n")
       :: else -> skip
       fi
#else
       up(barber_ready) SAY("op %d up barber_ready\n")
#endif
     }
  od
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

/* Liveness: on every run, every customer's thread ends; a seated customer's
 * ends only once he is let through barber_ready. Every run of the shop is
 * finite (each of the barber's rounds uses up a customer's post), so this
 * needs no fairness: a run that stops with a customer still waiting breaks
 * it. Checked with a search for acceptance cycles (pan -a); the safety
 * searches leave it out (-DNOCLAIM). */
ltl every_customer_ends { <> (customers_ended == CUSTOMER_MAX) }
