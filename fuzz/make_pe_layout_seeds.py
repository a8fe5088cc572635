#!/usr/bin/env python3
"""Writes the seed corpus for the PE header fuzzer: tiny hand-made headers,
valid and broken, a few hundred bytes each. Run from anywhere; the files go
to corpus/pe_layout beside this script. Crashers found later are added there
under their own names and are not rewritten by this script."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "pe_layout")
PE = 0x80


def image(plus=False, machine=0x14C, sections=1, directories=16, size=0x300):
    b = bytearray(size)
    b[0:2] = b"MZ"
    struct.pack_into("<I", b, 0x3C, PE)
    b[PE:PE + 4] = b"PE\0\0"
    optional_size = 240 if plus else 224
    struct.pack_into("<HH", b, PE + 4, machine, sections)
    struct.pack_into("<H", b, PE + 20, optional_size)
    opt = PE + 24
    struct.pack_into("<H", b, opt, 0x20B if plus else 0x10B)
    struct.pack_into("<I", b, opt + (108 if plus else 92), directories)
    sec = opt + optional_size
    for i in range(sections):
        s = sec + 40 * i
        if s + 40 > len(b):
            break
        b[s:s + 8] = b".text\0\0\0"
        struct.pack_into("<II", b, s + 16, 0x80, 0x200)
    return b


def signed(plus=False, table=24):
    b = image(plus)
    offset = len(b)
    b += bytearray(table)
    struct.pack_into("<IHH", b, offset, table, 0x0200, 0x0002)
    b[offset + 8:offset + 10] = bytes([0x30, table - 10])
    entry = PE + 24 + (112 if plus else 96) + 32
    struct.pack_into("<II", b, entry, offset, table)
    return b


def seeds():
    yield "pe32_exe", image()
    yield "pe32plus_dll", image(plus=True, machine=0x8664)
    yield "pe32plus_arm64", image(plus=True, machine=0xAA64)
    yield "pe32_signed", signed()
    yield "pe32plus_signed", signed(plus=True, table=40)
    yield "mz_only", b"MZ"
    yield "not_pe_text", b"This program cannot be run in DOS mode.\n" * 4
    yield "truncated_dos_header", image()[:40]
    yield "truncated_optional_header", image()[:PE + 60]
    b = image()
    struct.pack_into("<I", b, 0x3C, 0xFFFFFFF0)
    yield "lfanew_out_of_range", b
    b = image()
    b[PE:PE + 2] = b"NE"
    yield "ne_program", b
    yield "four_directories", image(directories=4)
    yield "section_table_past_end", image(sections=30)
    b = signed()
    b += b"\0" * 8
    yield "table_not_at_end", b
    b = signed()
    struct.pack_into("<I", b, PE + 24 + 96 + 36, 0xFFFFFFF8)
    yield "table_size_wraps", b


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(bytes(data))


if __name__ == "__main__":
    main()
