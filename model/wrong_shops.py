# SPDX-License-Identifier: MIT
"""Changed shops, each made as edits of shop/barber.cpp ((old, new) texts,
each made once), with the verdict model/prove must give it:

- WRONG: a shop that breaks a property; the prover must fail it with a run
  that ends where that property, and only it, is broken (exit 1).
- SAFE: a correct change (another order, another way to write a line, a
  counter, a second barber); it must be proved (exit 0).
- REFUSED: what the prover cannot follow, or a name that would make a
  reader who goes by spelling see the wrong thing; it must refuse it with
  the file and line and these words (exit 2).

The first ten wrong shops are model/check's -DFAULT=1..10."""

GONE = '    printf("Customer whose id = %d has gone away!\\n", *id);\n'
SAT = (
    '  printf("Customer whose id = %d has sit down! Free seat = %d\\n", *id,\n'
    "         free_seat);\n"
)
SAT_LINE = '"Customer whose id = %d has sit down! Free seat = %d\\n"'
CUTS = '    puts("Barber has finished work from one customer!");\n'
BARBER_STARTS = (
    "  const int failed = pthread_create(&barber, nullptr, _barber, nullptr);\n"
)
FREES = "    down(mutex);\n    free_seat++;\n    up(mutex);\n"
TEST = "  if (free_seat < 1) {\n"
SITS = "  up(mutex);\n  up(cust_ready);\n  down(barber_ready);\n"
COUNTER = (
    "std::int32_t free_seat;\n",
    "std::int32_t free_seat;\nstd::int32_t haircuts;\n",
)

# (name, edits, the property the run must break)
WRONG = [
    (
        "a customer who goes away keeps mutex",
        [("    up(mutex);\n" + GONE, GONE)],
        "stops",
    ),
    (
        "a customer waits on barber_ready holding mutex",
        [(SITS, "  up(cust_ready);\n  down(barber_ready);\n  up(mutex);\n")],
        "lock",
    ),
    (
        "a customer sits when free_seat is 0",
        [(TEST, "  if (free_seat < 0) {\n")],
        "shown",
    ),
    (
        "the barber frees a chair before he waits for a customer",
        [
            ("    down(cust_ready);\n", ""),
            (
                "    up(mutex);\n    sleep(5);",
                "    up(mutex);\n    down(cust_ready);\n    sleep(5);",
            ),
        ],
        "chairs",
    ),
    (
        "a customer who goes away posts cust_ready anyway",
        [(GONE, GONE + "    up(cust_ready);\n")],
        "chairs",
    ),
    ("a customer who sits writes no line", [(SAT, "")], "one line"),
    ("the barber never frees a chair", [("    free_seat++;\n", "")], "end counts"),
    (
        "a customer who sits posts cust_ready twice",
        [("  up(cust_ready);\n", "  up(cust_ready);\n  up(cust_ready);\n")],
        "chairs",
    ),
    (
        "a customer who goes away releases mutex twice",
        [("    up(mutex);\n" + GONE, "    up(mutex);\n    up(mutex);\n" + GONE)],
        "holder",
    ),
    (
        "the barber posts barber_ready only when someone is left waiting",
        [
            (
                "    up(barber_ready);\n",
                "    down(mutex);\n    if (free_seat < SEAT_MAX) {\n      up(barber_ready);\n    }\n    up(mutex);\n",
            )
        ],
        "end counts",
    ),
    # What a search of small edits found proved by a reader that went by
    # spelling and skipped what it did not know.
    (
        "the sit-down line shows SEAT_MAX",
        [(SAT, f"  printf({SAT_LINE}, *id,\n         SEAT_MAX);\n")],
        "shown",
    ),
    (
        "the sit-down line shows one chair more than is left",
        [(SAT, f"  printf({SAT_LINE}, *id,\n         free_seat + 1);\n")],
        "shown",
    ),
    (
        "the sit-down line is written after up(mutex)",
        [(SAT + "  up(mutex);\n", "  up(mutex);\n" + SAT)],
        "guarded",
    ),
    (
        "a test of octal arithmetic lets a customer sit on no chair",
        [(TEST, "  if (free_seat < 010 - 9) {\n")],
        "shown",
    ),
    (
        "the shop opens with one chair taken",
        [("  free_seat = SEAT_MAX;\n", "  free_seat = SEAT_MAX - 1;\n")],
        "end counts",
    ),
    (
        "the barber writes the gone-away line",
        [(CUTS, '    printf("Customer whose id = %d has gone away!\\n", 0);\n')],
        "end counts",
    ),
    (
        "mutex starts at 2",
        [("sem_init(&mutex, 0, 1);", "sem_init(&mutex, 0, 2);")],
        "mutex",
    ),
    (
        "the barber reads free_seat without holding mutex",
        [(CUTS, CUTS + "    if (free_seat < 0) {\n      sleep(1);\n    }\n")],
        "guarded",
    ),
    (
        "a customer waits on a semaphore of his own holding mutex",
        [
            ("sem_t mutex;\n", "sem_t mutex;\nsem_t door;\n"),
            (
                "  sem_init(&mutex, 0, 1);\n",
                "  sem_init(&mutex, 0, 1);\n  sem_init(&door, 0, 1);\n",
            ),
            ("  free_seat--;\n", "  down(door);\n  up(door);\n  free_seat--;\n"),
        ],
        "lock",
    ),
    (
        "a barber who never waits for a customer",
        [("    down(cust_ready);\n", "    sleep(1);\n    continue;\n")],
        "ends",
    ),
    (
        "the barber goes round serving nobody while a chair is free",
        [
            (
                "    down(cust_ready);\n",
                "    down(mutex);\n    if (free_seat == SEAT_MAX) {\n      up(mutex);\n      continue;\n    }\n"
                "    up(mutex);\n    down(cust_ready);\n",
            )
        ],
        "ends",
    ),
    (
        "two customers at once can take the last chair",
        [
            (SITS, "  up(cust_ready);\n  down(barber_ready);\n"),
            ("  free_seat--;\n", "  up(mutex);\n  free_seat--;\n"),
        ],
        "guarded",
    ),
]

# (name, edits)
SAFE = [
    (
        "a customer posts cust_ready before he releases mutex",
        [(SITS, "  up(cust_ready);\n  up(mutex);\n  down(barber_ready);\n")],
    ),
    (
        "a customer posts cust_ready before he takes his chair",
        [
            ("  free_seat--;\n", "  up(cust_ready);\n  free_seat--;\n"),
            (SITS, "  up(mutex);\n  down(barber_ready);\n"),
        ],
    ),
    (
        "the barber frees the chair after the haircut",
        [(FREES + "    sleep(5);\n", "    sleep(5);\n" + FREES)],
    ),
    (
        "barber_ready starts at 0",
        [("sem_init(&barber_ready, 0, 1);", "sem_init(&barber_ready, 0, 0);")],
    ),
    (
        "a customer waits on barber_ready first",
        [
            ("  down(mutex);\n  if", "  down(barber_ready);\n  down(mutex);\n  if"),
            (SITS, "  up(mutex);\n  up(cust_ready);\n"),
        ],
    ),
    (
        "the test written >= 1, the sitting first",
        [
            (
                TEST
                + "    up(mutex);\n"
                + GONE
                + "    return nullptr;\n  }\n  free_seat--;\n"
                + "  // Written under the lock, so these lines come in the order the chairs were\n  // taken and their free-seat numbers follow one another.\n"
                + SAT
                + SITS
                + "  return nullptr;\n",
                "  if (free_seat >= 1) {\n    free_seat--;\n"
                + SAT.replace("  printf", "    printf").replace(
                    "         free", "           free"
                )
                + "    up(mutex);\n    up(cust_ready);\n    down(barber_ready);\n    return nullptr;\n  }\n  up(mutex);\n"
                + GONE.replace("    printf", "  printf")
                + "  return nullptr;\n",
            )
        ],
    ),
    ("the test written 0 >= free_seat", [(TEST, "  if (0 >= free_seat) {\n")]),
    ("the test written free_seat == 0", [(TEST, "  if (free_seat == 0) {\n")]),
    ("the test written !(free_seat != 0)", [(TEST, "  if (!(free_seat != 0)) {\n")]),
    (
        "the test written with hex and a digit separator",
        [(TEST, "  if (free_seat < 0x0'1) {\n")],
    ),
    (
        "the test made twice",
        [
            (
                TEST,
                TEST + "    up(mutex);\n" + GONE + "    return nullptr;\n  }\n" + TEST,
            )
        ],
    ),
    (
        "free_seat -= 1 and free_seat = free_seat + 1",
        [
            ("  free_seat--;\n", "  free_seat -= 1;\n"),
            ("    free_seat++;\n", "    free_seat = free_seat + 1;\n"),
        ],
    ),
    (
        "free_seat = free_seat - 1 and free_seat += 1",
        [
            ("  free_seat--;\n", "  free_seat = free_seat - 1;\n"),
            ("    free_seat++;\n", "    free_seat += 1;\n"),
        ],
    ),
    (
        "the barber's line written with printf",
        [(CUTS, '    printf("Barber has finished work from one customer!\\n");\n')],
    ),
    (
        "the barber's loop written while (true)",
        [
            (
                "  for (;;) {\n    down(cust_ready);\n",
                "  while (true) {\n    down(cust_ready);\n",
            )
        ],
    ),
    (
        "a haircut counter in the barber's hold of mutex",
        [COUNTER, ("    free_seat++;\n", "    free_seat++;\n    haircuts++;\n")],
    ),
    (
        "a haircut counter in a hold of mutex of its own",
        [COUNTER, (CUTS, CUTS + "    down(mutex);\n    haircuts++;\n    up(mutex);\n")],
    ),
    (
        "two barbers",
        [
            (
                BARBER_STARTS,
                "  pthread_t second;\n  pthread_create(&second, nullptr, _barber, nullptr);\n"
                + BARBER_STARTS,
            )
        ],
    ),
]

# (name, edits, words the refusal must have)
REFUSED = [
    (
        "a local copy of free_seat shown",
        [
            (
                "  free_seat--;\n",
                "  const std::int32_t left = free_seat;\n  free_seat--;\n",
            ),
            (SAT, f"  printf({SAT_LINE}, *id,\n         left);\n"),
        ],
        "a variable of the thread's own (left)",
    ),
    (
        "the id shown as the free-seat number",
        [(SAT, f"  printf({SAT_LINE}, *id,\n         *id);\n")],
        "a line showing *id",
    ),
    (
        "a local free_seat hides the shared one",
        [
            (
                "  down(mutex);\n  if",
                "  std::int32_t free_seat = 1;\n  down(mutex);\n  if",
            )
        ],
        "a local free_seat hides",
    ),
    (
        "a local reference named mutex hides the shared one",
        [
            (
                "  down(mutex);\n  if",
                "  sem_t &mutex = cust_ready;\n  down(mutex);\n  if",
            )
        ],
        "a local mutex hides",
    ),
    (
        "a second _customer in another namespace",
        [
            (
                "} // namespace\n",
                "} // namespace\n\nnamespace decoy {\nvoid *_customer(void *) { return nullptr; }\n} // namespace decoy\n",
            )
        ],
        "decoy::_customer takes the name",
    ),
    (
        "decoy::free_seat changed",
        [
            (
                "namespace {\n",
                "namespace decoy {\nstd::int32_t free_seat;\n} // namespace decoy\n\nnamespace {\n",
            ),
            ("  free_seat--;\n", "  free_seat--;\n  decoy::free_seat++;\n"),
        ],
        "decoy::free_seat takes the name",
    ),
    (
        "a call the prover does not know",
        [("  free_seat--;\n", "  free_seat--;\n  rand();\n")],
        "a call the prover does not know (rand)",
    ),
    (
        "a test written through a macro",
        [
            (
                "namespace {\n",
                "#define EMPTY (free_seat < 1)\nnamespace {\n",
            ),
            (TEST, "  if (EMPTY) {\n"),
        ],
        "the macro EMPTY",
    ),
    ("SEAT_MAX below one chair", [("SEAT_MAX = 6;", "SEAT_MAX = -1;")], "SEAT_MAX"),
    (
        "main starts barbers in a loop",
        [
            (
                BARBER_STARTS,
                "  for (int k = 0; k < 2; k++) {\n    pthread_t more;\n    pthread_create(&more, nullptr, _barber, nullptr);\n  }\n"
                + BARBER_STARTS,
            )
        ],
        "main starts barbers in a loop",
    ),
    (
        "a change of free_seat by a counter",
        [COUNTER, ("    free_seat++;\n", "    free_seat += haircuts;\n")],
        "the prover follows changes by a number",
    ),
]
