#!/usr/bin/env python3
"""Writes the export list of a system DLL, as the drop-in loader for it must
reproduce it: one line per exported ordinal, "ORDINAL NAME", or "ORDINAL -"
for an export that has no name (reached by ordinal only).

    derive_exports.py SYSTEM.DLL > dropin/exports/NAME.txt

The lists under dropin/exports/ were made this way from the 32-bit system
DLLs of the build machine (Wine's i386 builtins, found with
`dpkg -L libwine:i386 | grep i386-windows/NAME.dll`). The script reads the
PE export directory itself: ordinal base, address table, name table."""
import struct
import sys


def main(path):
    data = open(path, "rb").read()
    (e_lfanew,) = struct.unpack_from("<I", data, 0x3C)
    if data[e_lfanew:e_lfanew + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE file")
    file_header = e_lfanew + 4
    machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, file_header)
    if machine != 0x14C:
        sys.exit(f"{path}: not a 32-bit x86 DLL")
    optional = file_header + 20
    export_rva, _ = struct.unpack_from("<II", data, optional + 96)
    table = optional + optional_size
    spans = []
    for k in range(sections):
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, table + 40 * k + 8)
        spans.append((vaddr, max(vsize, rawsize), rawptr))

    def at(rva):
        for vaddr, size, rawptr in spans:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + rawptr
        sys.exit(f"{path}: RVA {rva:#x} outside every section")

    def text(rva):
        start = at(rva)
        return data[start:data.index(b"\0", start)].decode("ascii")

    d = at(export_rva)
    base, functions, names, functions_rva, names_rva, ordinals_rva = struct.unpack_from(
        "<IIIIII", data, d + 16)
    named = {}
    for k in range(names):
        (name_rva,) = struct.unpack_from("<I", data, at(names_rva) + 4 * k)
        (index,) = struct.unpack_from("<H", data, at(ordinals_rva) + 2 * k)
        named[index] = text(name_rva)
    for index in range(functions):
        (rva,) = struct.unpack_from("<I", data, at(functions_rva) + 4 * index)
        if rva == 0:
            continue  # a gap in the ordinals
        print(base + index, named.get(index, "-"))


if __name__ == "__main__":
    main(sys.argv[1])
