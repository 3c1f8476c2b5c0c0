# SPDX-License-Identifier: MIT
"""The reader on the forms a learner writes, on what it must refuse, and on
how it counts lines: each form becomes the step it is, in its place, with
nothing of the statement left out; what it cannot follow is refused with
the file, the line and what it reads instead."""

import os

import pytest

import reader
from conftest import ROOT

SHOP = os.path.join(ROOT, "shop", "barber.cpp")


def read_with(tmp_path, old, new, name="barber.cpp"):
    with open(SHOP) as f:
        text = f.read()
    assert old in text
    path = tmp_path / name
    path.write_text(text.replace(old, new, 1))
    return reader.read(str(path), also=("init",))


def changes(source, routine):
    return [
        (s.var, s.op, reader.expr.value(s.value), s.form)
        for s in source.routines[routine].steps.values()
        if s.kind == "change"
    ]


@pytest.mark.parametrize(
    "written,op,amount,form",
    [
        ("free_seat--;", "-", 1, "x--"),
        ("--free_seat;", "-", 1, "--x"),
        ("free_seat -= 1;", "-", 1, "x -= k"),
        ("free_seat = free_seat - 1;", "-", 1, "x = x - k"),
        ("free_seat += -1;", "+", -1, "x += k"),
        ("free_seat = -1 + free_seat;", "+", -1, "x = x + k"),
        ("free_seat = 0x0'1 - 2 + free_seat;", "+", -1, "x = x + k"),
    ],
)
def test_every_form_of_a_change_is_the_change_it_is(
    tmp_path, written, op, amount, form
):
    source = read_with(tmp_path, "  free_seat--;\n", f"  {written}\n")
    assert changes(source, "_customer") == [("free_seat", op, amount, form)]


@pytest.mark.parametrize(
    "written,value",
    [
        ("01", 1),
        ("010 - 7", 1),
        ("0x1", 1),
        ("0b1", 1),
        ("1'0 - 9", 1),
        ("'\\x01'", 1),
        ("SEAT_MAX - 5", 1),
    ],
)
def test_a_number_is_what_the_compiler_makes_of_it(tmp_path, written, value):
    source = read_with(tmp_path, "if (free_seat < 1)", f"if (free_seat < {written})")
    (test,) = [
        s for s in source.routines["_customer"].steps.values() if s.kind == "test"
    ]
    assert reader.expr.value(test.cond.right) == value


def test_puts_and_printf_of_a_line_write_the_same_line(tmp_path):
    source = read_with(
        tmp_path,
        '    puts("Barber has finished work from one customer!");',
        '    printf("Barber has finished work from one customer!\\n");',
    )
    (line,) = [s for s in source.routines["_barber"].steps.values() if s.prints]
    assert (
        line.function == "printf"
        and line.prints == "Barber has finished work from one customer!\n"
    )
    real = reader.read(SHOP)
    (puts,) = [s for s in real.routines["_barber"].steps.values() if s.prints]
    assert puts.prints == line.prints


def test_while_true_is_for_ever(tmp_path):
    source = read_with(
        tmp_path,
        "  for (;;) {\n    down(cust_ready);",
        "  while (true) {\n    down(cust_ready);",
    )
    real = reader.read(SHOP)
    shape = lambda s: [
        (x.kind, x.function, x.sem, x.line)
        for x in s.routines["_barber"].steps.values()
    ]  # noqa: E731
    assert shape(source) == shape(real)


def test_a_routine_of_the_file_is_written_out_where_it_is_called():
    source = reader.read(SHOP)
    waits = [
        s
        for s in source.routines["_customer"].steps.values()
        if s.function == "sem_wait"
    ]
    # down(mutex) and down(barber_ready) keep the customer's lines.
    assert sorted(
        (s.sem, s.routine, source.lines[s.line - 1].strip()) for s in waits
    ) == [
        ("barber_ready", "down", "down(barber_ready);"),
        ("mutex", "down", "down(mutex);"),
    ]


def test_every_argument_of_every_call_is_read():
    source = reader.read(SHOP)
    (sit,) = [
        s
        for s in source.routines["_customer"].steps.values()
        if s.prints and "sit down" in s.prints
    ]
    assert [v.c for v in sit.values] == ["*id", "free_seat"]
    create = [
        s for s in source.routines["main"].steps.values() if s.starts == "_customer"
    ][0]
    assert [a.c for a in create.args] == [
        "&customers[i]",
        "nullptr",
        "_customer",
        "&ids[i]",
    ]


@pytest.mark.parametrize(
    "old,new,said",
    [
        (
            "  free_seat--;\n",
            "  switch (free_seat) {\n  default:\n    break;\n  }\n",
            "(switch_stmt)",
        ),
        (
            "  free_seat--;\n",
            "  free_seat = free_seat > 0 ? free_seat - 1 : 0;\n",
            "(conditional_operator)",
        ),
        (
            "  free_seat--;\n",
            "  free_seat *= 1;\n",
            "a change of free_seat the reader does not follow (free_seat *= ...)",
        ),
        (
            "  free_seat--;\n",
            "  free_seat;\n",
            "an expression that does nothing (free_seat)",
        ),
        (
            "  free_seat--;\n",
            "  static int seen = 0;\n  seen++;\n  free_seat--;\n",
            "a static seen, shared by every thread",
        ),
        (
            "  free_seat--;\n",
            "  for (;;) {\n  }\n",
            "a loop that does nothing, for ever",
        ),
        (
            "void down(sem_t &sem) { sem_wait(&sem); }",
            "void down(sem_t &mutex) { sem_wait(&mutex); }",
            "a local mutex hides the file's own mutex",
        ),
    ],
)
def test_what_it_cannot_follow_is_refused_with_its_line(tmp_path, old, new, said):
    with pytest.raises(reader.SourceError) as refused:
        read_with(tmp_path, old, new)
    message = str(refused.value)
    assert message.startswith(f"{tmp_path}/barber.cpp:") and said in message, message


def test_lines_are_counted_as_the_compiler_counts_them(tmp_path):
    # A form feed and a vertical tab do not end a line; a carriage return
    # alone does.
    source = read_with(
        tmp_path, "namespace {\n", "// \f a page and \v a tab\r// a line\nnamespace {\n"
    )
    real = reader.read(SHOP)
    moved = {
        s.function: s.line
        for s in source.routines["_barber"].steps.values()
        if s.kind == "call"
    }
    before = {
        s.function: s.line
        for s in real.routines["_barber"].steps.values()
        if s.kind == "call"
    }
    assert {f: n - before[f] for f, n in moved.items()} == {f: 2 for f in moved}
    assert source.lines[moved["puts"] - 1] == real.lines[before["puts"] - 1]


def test_every_program_is_read(tmp_path):
    for path in (
        "threads/pairtick.cpp",
        "threads/tallyduel.cpp",
        "processes/parent.cpp",
        "processes/child.cpp",
    ):
        source = reader.read(os.path.join(ROOT, path))
        assert "main" in source.routines
