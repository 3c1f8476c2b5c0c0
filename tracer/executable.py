# SPDX-License-Identifier: MIT
"""What an executable file contains: its symbols, which of the programs it
is, the constants its debug information keeps, and the source it was built
from. Read with binutils (nm, readelf, addr2line)."""

import dataclasses
import os
import re
import subprocess

from tools.errors import ToolError

from .programs import all_programs, looked_for


@dataclasses.dataclass
class Executable:
    path: str
    defined: dict  # name -> offset in the file, of what it defines
    imported: set  # library functions it calls
    position_independent: bool

    def offsets_of(self, names):
        """offset -> name, for those of `names` it defines."""
        return {self.defined[n]: n for n in names if n in self.defined}


def tool(command, executable):
    """The output of a binutils command, or a ToolError naming the package."""
    try:
        return subprocess.run(
            command, capture_output=True, text=True, check=True
        ).stdout
    except FileNotFoundError:
        raise ToolError(f"{command[0]} not found: install binutils") from None
    except subprocess.CalledProcessError:
        raise ToolError(f"{command[0]} cannot read {executable}") from None


NM_LINE = re.compile(r"(?:([0-9a-f]+) )?\s*([A-Za-z]) (.+)$")


def base_name(symbol):
    """_customer of "(anonymous namespace)::_customer(void*)", fork of
    "fork@GLIBC_2.2.5"; a name in a named namespace keeps it
    ("decoy::_customer"), as the reader of the source keeps it apart."""
    symbol = symbol.split("@")[0]
    symbol = re.sub(r"\([^()]*\)( const)?$", "", symbol)
    return symbol.replace("(anonymous namespace)::", "")


def read(path):
    """An Executable, or a ToolError when the file is not one."""
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        raise ToolError(f"{path}: not an executable file")
    with open(path, "rb") as f:
        head = f.read(18)
    if head[:4] != b"\x7fELF" or len(head) < 18:
        raise ToolError(f"{path}: not an ELF executable")
    defined, imported = {}, set()
    for line in tool(["nm", "-C", path], path).splitlines():
        m = NM_LINE.match(line)
        if not m:
            continue
        address, kind, symbol = m.groups()
        if kind == "U":
            imported.add(base_name(symbol))
        elif address is not None:
            defined.setdefault(base_name(symbol), int(address, 16))
    return Executable(path, defined, imported, head[16] == 3)  # e_type ET_DYN


def identify(executable):
    """The Program an executable is, whatever its file is called."""
    for program in all_programs():
        if (
            all(name in executable.defined for name in program.defines)
            and not any(name in executable.defined for name in program.lacks)
            and all(name in executable.imported for name in program.calls)
        ):
            return program
    raise ToolError(
        f"{executable.path} is none of the programs this tool knows{why_unknown(executable)} (it looked for {looked_for()})"
    )


def why_unknown(executable):
    """What makes an executable hard to know, said first."""
    if not executable.defined and not executable.imported:
        return ": it has no symbols at all (stripped?)"
    if not executable.imported:
        return ": it calls no shared library (statically linked?), and uftrace sees only calls into one"
    if not executable.defined:
        return ": it keeps no symbols of its own (stripped?)"
    return ""


def constants(executable, names):
    """name -> value of those named constants that the debug information
    keeps (a constexpr's DW_AT_const_value); none without debug information."""
    info = tool(["readelf", "--debug-dump=info", executable.path], executable.path)
    found, current = {}, None
    for line in info.splitlines():
        if "DW_TAG_" in line:
            current = None
        elif "DW_AT_name" in line:
            current = line.rsplit(":", 1)[-1].strip()
        elif "DW_AT_const_value" in line and current in names:
            m = re.search(r": (-?\d+)\s*$", line)
            if m:
                found.setdefault(current, int(m.group(1)))
    return found


def source_of(executable, routine):
    """The source file that defines `routine`, from the debug information;
    None when the executable has none or the file is gone."""
    path = said_source(executable, routine)
    return path if path is not None and os.path.isfile(path) else None


def said_source(executable, routine):
    if routine not in executable.defined:
        return None
    out = tool(
        ["addr2line", "-e", executable.path, hex(executable.defined[routine])],
        executable.path,
    )
    path = out.strip().rsplit(":", 1)[0]
    return None if path.startswith("??") or not path else path


def why_no_source(executable, routine):
    """Why source_of found nothing."""
    path = said_source(executable, routine)
    if path is None:
        return "the executable does not say where its source is (built without -g?)"
    return f"its source {path} is gone"
