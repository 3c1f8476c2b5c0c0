# SPDX-License-Identifier: MIT
"""libclang, Debian's python3-clang-14: a source file parsed as the compiler
parses it, and the few questions of the C interface that the Python binding
does not ask (is a declaration the C library's, what is a constant's value,
which macro wrote an expression)."""

import bisect
import ctypes
import os
import stat

from .steps import SourceError

LIBCLANG = "/usr/lib/llvm-14/lib/libclang.so.1"
COMMON = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "common"
)
# A source larger than this is no program of this project.
LARGEST_SOURCE = 1 << 20
# clang_EvalResult_getKind's kinds.
EVAL_INT, EVAL_STRING = 1, 4


def cindex():
    """The binding, with the library loaded and the calls it lacks declared."""
    try:
        import clang.cindex as ci
    except ImportError:
        raise SourceError(
            "libclang's Python binding is missing: install it "
            "(apt-get install python3-clang-14)"
        ) from None
    if not ci.Config.loaded:
        ci.Config.set_library_file(LIBCLANG)
        lib = ci.conf.lib
        declare(
            lib, "clang_Location_isInSystemHeader", [ci.SourceLocation], ctypes.c_int
        )
        declare(lib, "clang_Cursor_Evaluate", [ci.Cursor], ctypes.c_void_p)
        declare(lib, "clang_EvalResult_getKind", [ctypes.c_void_p], ctypes.c_int)
        declare(
            lib, "clang_EvalResult_getAsLongLong", [ctypes.c_void_p], ctypes.c_longlong
        )
        declare(lib, "clang_EvalResult_getAsStr", [ctypes.c_void_p], ctypes.c_char_p)
        declare(lib, "clang_EvalResult_dispose", [ctypes.c_void_p], None)
    return ci


def declare(lib, name, argtypes, restype):
    function = getattr(lib, name)
    function.argtypes, function.restype = argtypes, restype


def checked(path):
    """The path of a source that can be read: a regular file, not too big."""
    try:
        info = os.stat(path)
    except OSError as e:
        raise SourceError(f"{path}: {e.strerror.lower()}") from None
    if not stat.S_ISREG(info.st_mode):
        raise SourceError(f"{path}: not a regular file")
    if info.st_size > LARGEST_SOURCE:
        raise SourceError(f"{path}: {info.st_size} bytes, too big to be a program here")
    if not os.access(path, os.R_OK):
        raise SourceError(f"{path}: permission denied")
    return path


def parse(path):
    """The translation unit of a C++ source, with the project's headers, and
    macro expansions kept; a SourceError for what the compiler rejects."""
    ci = cindex()
    checked(path)
    here = os.path.dirname(os.path.abspath(path))
    # The file's own folder, its sibling common/ (as in the project), and
    # the project's common/ (get_time.h), for a copy kept anywhere.
    args = ["-xc++", "-std=c++20", f"-I{here}", f"-I{here}/../common", f"-I{COMMON}"]
    try:
        unit = ci.Index.create().parse(
            path,
            args=args,
            options=ci.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD,
        )
    except ci.TranslationUnitLoadError:
        raise SourceError(f"{path}: libclang cannot parse it") from None
    for d in unit.diagnostics:
        if d.severity >= ci.Diagnostic.Error:
            where = f"{path}:{d.location.line}" if d.location.file else path
            raise SourceError(f"{where}: {d.spelling}")
    return unit


def in_system_header(cursor):
    """Whether a declaration is the system's: the C or C++ library's."""
    return bool(cindex().conf.lib.clang_Location_isInSystemHeader(cursor.location))


def evaluate(cursor):
    """The value the compiler gives a constant expression: an int, a str
    (a string literal's bytes, decoded), or None."""
    lib = cindex().conf.lib
    result = lib.clang_Cursor_Evaluate(cursor)
    if not result:
        return None
    try:
        kind = lib.clang_EvalResult_getKind(result)
        if kind == EVAL_INT:
            return lib.clang_EvalResult_getAsLongLong(result)
        if kind == EVAL_STRING:
            return lib.clang_EvalResult_getAsStr(result).decode(errors="replace")
        return None
    finally:
        lib.clang_EvalResult_dispose(result)


class Spelling:
    """The main file's tokens and macro expansions, found by offset."""

    def __init__(self, unit):
        ci = cindex()
        self.path = unit.spelling
        with open(self.path, "rb") as f:
            size = len(f.read())
        whole = unit.get_extent(self.path, (0, size))
        tokens = list(unit.get_tokens(extent=whole))
        self.starts = [t.extent.start.offset for t in tokens]
        self.tokens = [t.spelling for t in tokens]
        self.macros = []  # (start, end, name, the system's)
        for c in unit.cursor.get_children():
            if c.kind == ci.CursorKind.MACRO_INSTANTIATION and self.mine(c):
                definition = c.referenced
                system = definition is not None and in_system_header(definition)
                self.macros.append(
                    (c.extent.start.offset, c.extent.end.offset, c.spelling, system)
                )

    def mine(self, cursor):
        """Whether a cursor is written in the main file."""
        where = cursor.location.file
        return where is not None and where.name == self.path

    def token_at(self, offset):
        """The first token that starts at or after `offset`."""
        i = bisect.bisect_left(self.starts, offset)
        return self.tokens[i] if i < len(self.tokens) else ""

    def macro_of(self, cursor):
        """(name, the system's) of the macro whose expansion wrote `cursor`,
        or None when it is written out in the file."""
        start, end = cursor.extent.start.offset, cursor.extent.end.offset
        for m_start, m_end, name, system in self.macros:
            if m_start <= start and end <= m_end:
                return name, system
        return None
