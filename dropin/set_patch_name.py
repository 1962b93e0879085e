#!/usr/bin/env python3
"""Writes the patch DLL's file name into a drop-in loader (loader_settings.h):
the loader then loads that file from its own folder.

    set_patch_name.py LOADER.DLL NAME.dll

The name is a file name (no folder), ending in .dll, of at most 63
characters; the loader's field follows the marker that only it holds."""
import sys

MARKER = b"xp3patch:patch-dll-name:\0"
CAPACITY = 64  # wide characters, terminator included


def main(loader, name):
    if any(c in name for c in "\\/:") or not name.lower().endswith(".dll") or len(name) > 4 + 59:
        sys.exit(f"set_patch_name.py: not a DLL's file name of at most 63 characters: {name}")
    data = bytearray(open(loader, "rb").read())
    at = data.find(MARKER)
    if at < 0 or data.find(MARKER, at + 1) >= 0:
        sys.exit(f"set_patch_name.py: {loader} is not a drop-in loader (no single name field)")
    field = at + len(MARKER)
    field += field % 2  # the wide field starts at an even offset
    encoded = name.encode("utf-16-le")
    if len(encoded) // 2 >= CAPACITY:
        sys.exit(f"set_patch_name.py: name too long: {name}")
    data[field:field + 2 * CAPACITY] = encoded + b"\0" * (2 * CAPACITY - len(encoded))
    open(loader, "wb").write(data)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
