# SPDX-License-Identifier: MIT
"""The ten wrong shops that model/check builds into the models, made here as
edits of shop/barber.cpp instead: each (old, new) text of the source, the
property it must break, and what the fault is. model/prove must fail on
each with a real run to the error; the safe reorderings after them must
still be proved."""

GONE = '    printf("Customer whose id = %d has gone away!\\n", *id);\n'
SAT = (
    '  printf("Customer whose id = %d has sit down! Free seat = %d\\n", *id,\n'
    "         free_seat);\n"
)

WRONG = [
    (
        1,
        "a customer who goes away keeps mutex",
        [("    up(mutex);\n" + GONE, GONE)],
        "nothing stops before the end of the day",
    ),
    (
        2,
        "a customer waits on barber_ready holding mutex",
        [
            (
                "  up(mutex);\n  up(cust_ready);\n  down(barber_ready);\n",
                "  up(cust_ready);\n  down(barber_ready);\n  up(mutex);\n",
            )
        ],
        "nobody waits on cust_ready or barber_ready while holding mutex",
    ),
    (
        3,
        "a customer sits when free_seat is 0",
        [("if (free_seat < 1)", "if (free_seat < 0)")],
        "a sit-down line shows 0 to S - 1",
    ),
    (
        4,
        "the barber frees a chair before he waits for a customer",
        [
            ("    down(cust_ready);\n", ""),
            (
                "    up(mutex);\n    sleep(5);",
                "    up(mutex);\n    down(cust_ready);\n    sleep(5);",
            ),
        ],
        "whenever mutex is free, 0 <= free_seat <= S",
    ),
    (
        5,
        "a customer who goes away posts cust_ready anyway",
        [(GONE, GONE + "    up(cust_ready);\n")],
        "whenever mutex is free, 0 <= free_seat <= S",
    ),
    (
        6,
        "a customer who sits writes no line",
        [(SAT, "")],
        "each customer writes exactly one line",
    ),
    (
        7,
        "the barber never frees a chair",
        [("    free_seat++;\n", "")],
        "at the end of the day every chair is free",
    ),
    (
        8,
        "a customer who sits posts cust_ready twice",
        [("  up(cust_ready);\n", "  up(cust_ready);\n  up(cust_ready);\n")],
        "whenever mutex is free, 0 <= free_seat <= S",
    ),
    (
        9,
        "a customer who goes away releases mutex twice",
        [("    up(mutex);\n" + GONE, "    up(mutex);\n    up(mutex);\n" + GONE)],
        "only the holder releases mutex",
    ),
    (
        10,
        "the barber posts barber_ready only when someone is left waiting",
        [
            (
                "    up(barber_ready);\n",
                "    if (free_seat < SEAT_MAX) {\n      up(barber_ready);\n    }\n",
            )
        ],
        "at the end of the day every chair is free",
    ),
]

# Changes of order that stay safe, which must still be proved.
SAFE = [
    (
        "a customer posts cust_ready before he releases mutex",
        [("  up(mutex);\n  up(cust_ready);\n", "  up(cust_ready);\n  up(mutex);\n")],
    ),
    (
        "the barber frees the chair after the haircut",
        [
            (
                "    down(mutex);\n    free_seat++;\n    up(mutex);\n    sleep(5);\n",
                "    sleep(5);\n    down(mutex);\n    free_seat++;\n    up(mutex);\n",
            )
        ],
    ),
    (
        "barber_ready starts at 0",
        [("sem_init(&barber_ready, 0, 1);", "sem_init(&barber_ready, 0, 0);")],
    ),
]
