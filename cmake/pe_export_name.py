#!/usr/bin/python3
"""Sets the module name in a DLL's export table to the one its .def file gives.

Usage: pe_export_name.py DLL DEF

lld names the export table after the output file (TarveloImageTGA.dll), while GNU ld
takes the .def's LIBRARY name; hosts that compare the names see the .def's on every
build. Only the letters' case may differ, so the name is rewritten in place, same
length; anything else is refused rather than patched.
"""
import re
import struct
import sys


def library_name(def_path):
    with open(def_path, encoding="ascii") as file:
        for line in file:
            match = re.match(r'\s*LIBRARY\s+"?([^"\s]+)"?', line)
            if match:
                return match.group(1).encode("ascii")
    raise SystemExit(f"{def_path}: no LIBRARY line")


def export_name_offset(image):
    (pe_offset,) = struct.unpack_from("<I", image, 0x3C)
    if image[pe_offset : pe_offset + 4] != b"PE\0\0":
        raise SystemExit("not a PE image")
    sections, optional_size = struct.unpack_from("<H12xH", image, pe_offset + 6)
    optional = pe_offset + 24
    (magic,) = struct.unpack_from("<H", image, optional)
    directories = optional + (96 if magic == 0x10B else 112)
    export_rva, export_size = struct.unpack_from("<II", image, directories)
    if export_size == 0:
        raise SystemExit("no export table")
    table = optional + optional_size

    def file_offset(rva):
        for index in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<8xIIII", image, table + 40 * index)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise SystemExit(f"address {rva:#x} is in no section")

    (name_rva,) = struct.unpack_from("<I", image, file_offset(export_rva) + 12)
    return file_offset(name_rva)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    wanted = library_name(sys.argv[2])
    with open(sys.argv[1], "r+b") as file:
        image = bytearray(file.read())
        offset = export_name_offset(image)
        end = image.index(b"\0", offset)
        current = bytes(image[offset:end])
        if current == wanted:
            return 0
        if current.lower() != wanted.lower():
            print(f"export table names {current!r}, the .def {wanted!r}: not only in case", file=sys.stderr)
            return 1
        file.seek(offset)
        file.write(wanted)
    return 0


if __name__ == "__main__":
    sys.exit(main())
