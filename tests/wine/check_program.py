#!/usr/bin/env python3
"""Checks the built quillmark.exe as a Windows loader would see it: a console
program for the expected machine (PE32 on i686, PE32+ on x86_64) that
imports kernel32, crypt32 and msvcrt and nothing else, so it runs without
any runtime DLL of the compiler.

  check_program.py PROGRAM 32|64
Exit status: 0 when it holds, 1 otherwise."""

import struct
import sys

EXPECTED = {32: (0x14C, 0x10B), 64: (0x8664, 0x20B)}  # machine, optional header magic
IMPORTS = {"kernel32.dll", "crypt32.dll", "msvcrt.dll"}
CONSOLE = 3


def read_program(data):
    """(machine, magic, subsystem, [imported DLL names]) of a PE image."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    machine, sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    directories = opt + (96 if magic == 0x10B else 112)
    import_rva = struct.unpack_from("<I", data, directories + 8)[0]
    table = opt + opt_size
    spans = [struct.unpack_from("<IIII", data, table + 40 * i + 8) for i in range(sections)]

    def offset(rva):
        for vsize, vaddr, rawsize, rawptr in spans:
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return rawptr + rva - vaddr
        raise ValueError("RVA %#x is in no section" % rva)

    names = []
    entry = offset(import_rva)
    while True:
        fields = struct.unpack_from("<IIIII", data, entry)
        if not any(fields):
            break
        start = offset(fields[3])
        names.append(data[start:data.index(b"\0", start)].decode("ascii"))
        entry += 20
    return machine, magic, subsystem, names


def main():
    path, bits = sys.argv[1], int(sys.argv[2])
    with open(path, "rb") as f:
        machine, magic, subsystem, names = read_program(f.read())
    problems = []
    if (machine, magic) != EXPECTED[bits]:
        problems.append("machine %#x, header magic %#x: not a %d-bit program" % (machine, magic, bits))
    if subsystem != CONSOLE:
        problems.append("subsystem %d, not the console" % subsystem)
    extra = sorted(n for n in names if n.lower() not in IMPORTS)
    if extra:
        problems.append("imports %s besides %s" % (", ".join(extra), ", ".join(sorted(IMPORTS))))
    for problem in problems:
        print("FAIL %s: %s" % (path, problem))
    if not problems:
        print("ok   %s: %d-bit console program importing %s" % (path, bits, ", ".join(names)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
