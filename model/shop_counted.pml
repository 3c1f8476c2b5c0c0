/* SPDX-License-Identifier: MIT */
/*
 * shop_counted.pml: the barber shop with its customers counted rather than
 * run one process each, so that SPIN can search the program's own size, 20
 * customers in the 6-chair shop, on every interleaving.
 *
 * Customers differ only in their number, which nothing in the protocol
 * reads: two customers at the same step of the customer routine can take
 * the same steps from there on. So the state need only say how many stand at
 * each step, not which (a counter abstraction): at the door (created, before
 * down(mutex)), seated (left the lock, before up(cust_ready)), waiting
 * (posted cust_ready, waiting on barber_ready), or ended. A single process,
 * customers, takes the next step of any one customer at any step, which is
 * every choice the twenty processes of shop.pml could make. The barber, the
 * driver, the semaphores and free_seat are those of shop.pml, from
 * barber.pml, and so is the grain: what a customer does while holding mutex
 * is one step.
 *
 * The one customer who may hold mutex outside that step (only in a wrong
 * shop: faults 1 and 2) is followed apart from the counts, in held, so that
 * the lock rule and "only the holder releases mutex" keep their meaning.
 *
 * One line per customer keeps a sound form: every customer leaves the door
 * once and never comes back, so "each customer writes exactly one line" is
 * "every step writes as many lines as it lets customers leave the door",
 * checked after every step as: lines written = customers who have left the
 * door. A customer's id is not modelled; the program prints id i for the
 * i-th arrival, which no interleaving changes.
 *
 * Check it with model/check, which also checks it against shop.pml at every
 * size both can search.
 */

#include "barber.pml"

/* How many customers stand at each step of the customer routine. */
byte at_door = 0;
byte seated = 0;
byte waiting = 0;
byte arrived = 0;

/* Where the customer who holds mutex outside his step stands, if one does. */
mtype = { nobody, holder_seated, holder_waiting, holder_ended };
mtype held = nobody;

/* Lines written = customers who have left the door. */
#define ONE_LINE_EACH (sat_lines + gone_lines == arrived - at_door)

active proctype customers() {
  /* In each step: does the customer taking it hold mutex. */
  bit locked = 0;
  do
  :: atomic {
       at_door > 0 && mutex > 0 -> at_door--;
       down_mutex();
       if
#if FAULT == 3
       :: free_seat < 0 ->
#else
       :: free_seat < 1 ->
#endif
#if FAULT != 1
          up_mutex();
#else
          locked = 0;
          held = holder_ended;
#endif
#if FAULT == 9
          up_mutex();
#endif
          printf("Customer has gone away!\n");
          gone_lines++;
#if FAULT == 5
          up(cust_ready);
#endif
          customers_ended++
       :: else ->
          free_seat--;
          assert(free_seat >= 0 && free_seat < SEAT_MAX);
#if FAULT != 6
          printf("Customer has sit down! Free seat = %d\n", free_seat);
          sat_lines++;
#endif
#if FAULT != 2
          up_mutex();
          seated++
#else
          locked = 0;
          held = holder_seated
#endif
       fi;
       assert(ONE_LINE_EACH)
     }
  :: atomic {
       seated > 0 -> seated--;
       up(cust_ready);
#if FAULT == 8
       up(cust_ready);
#endif
       waiting++
     }
#if FAULT == 2
  :: atomic {
       held == holder_seated -> up(cust_ready);
       held = holder_waiting
     }
#endif
  :: atomic {
       waiting > 0 && barber_ready > 0 -> assert(!locked);
       waiting--;
       barber_ready--;
       customers_ended++
     }
#if FAULT == 2
  :: atomic {
       /* The holder reaches his wait on barber_ready. */
       held == holder_waiting -> locked = 1;
       assert(!locked)
     }
#endif
  :: atomic {
       /* Every customer has ended: so has this process. Until then it is
        * not at a valid end, so a day that stops with a customer left
        * anywhere but ended is an invalid end state, as in shop.pml. */
       arrived == CUSTOMER_MAX && at_door + seated + waiting == 0 &&
       (held == nobody || held == holder_ended) -> break
     }
  od
}

/* The driver: start the barber, let the customers in one after the other,
 * then join the barber, who never ends. */
init {
  run barber();
  do
  :: arrived < CUSTOMER_MAX -> atomic { arrived++; at_door++ }
  :: else -> break
  od;
end_join:
  false
}
