#!/usr/bin/python3
"""Checks the built Windows DLL from the outside, as a host's loader sees it: the
module name and the exports with their ordinals, the version record, the string
table, and the imported DLLs (only the system's own). Needs python3-pefile.

Usage: check_dll_image.py DLL VERSION [MACHINE]
  VERSION as the CMake project has it, e.g. 1.0.0.1; MACHINE x86_64 (the default,
  a PE32+ image), i686 (a PE32 image for 32-bit hosts), arm64 (PE32+) or armv7
  (PE32, Thumb-2).
"""
import os
import re
import sys

import pefile

EXPECTED_MODULE_NAME = b"TARVELOIMAGETGA.dll"
# The export list is written once, in the module-definition file: ordinal -> name.
DEF_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "TarveloImageTGA.def")
with open(DEF_FILE, encoding="ascii") as definitions:
    EXPECTED_EXPORTS = {
        int(match.group(2)): match.group(1).encode("ascii")
        for match in (re.match(r"^\s+(\w+)\s+@(\d+)", line) for line in definitions)
        if match
    }
# Lower case; the C runtime is msvcrt.dll, libgcc/libstdc++/winpthread are linked in.
# advapi32.dll: the sweep of stray temporary files reads a file's owner and the
# process's user.
ALLOWED_IMPORTS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll"}
LANG_EN_US = 0x409
# Per machine: the COFF machine type and the optional header's magic.
MACHINES = {
    "x86_64": ("x86-64", pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"], pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS),
    "i686": ("i386", pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], pefile.OPTIONAL_HEADER_MAGIC_PE),
    "arm64": ("ARM64", pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_ARM64"], pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS),
    "armv7": ("ARMv7 (Thumb-2)", pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_ARMNT"], pefile.OPTIONAL_HEADER_MAGIC_PE),
}
# The x86 DLLs run on Windows Vista: nothing they import may come from a later
# Windows (ARM Windows is 8 or later, so the ARM DLLs may use these).
AFTER_VISTA = {b"GetSystemTimePreciseAsFileTime", b"WaitOnAddress", b"WakeByAddressAll",
               b"WakeByAddressSingle", b"GetCurrentThreadStackLimits", b"CreateFile2"}
RT_STRING = pefile.RESOURCE_TYPE["RT_STRING"]
RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]


class Checker:
    def __init__(self):
        self.failures = []

    def expect(self, what, actual, expected):
        if actual == expected:
            print(f"ok    {what}: {actual!r}")
        else:
            print(f"FAIL  {what}: {actual!r}, expected {expected!r}")
            self.failures.append(what)


def version_strings(version):
    numbers = [int(part) for part in version.split(".")]
    numbers += [0] * (4 - len(numbers))
    return numbers, ", ".join(str(n) for n in numbers)


def check_exports(pe, check):
    exports = pe.DIRECTORY_ENTRY_EXPORT
    check.expect("export table module name", exports.name, EXPECTED_MODULE_NAME)
    actual = {symbol.ordinal: symbol.name for symbol in exports.symbols}
    check.expect("exports (ordinal: name), nothing else", actual, EXPECTED_EXPORTS)


def check_imports(pe, check, machine):
    dlls = sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)
    check.expect("imported DLLs are system DLLs", [d for d in dlls if d not in ALLOWED_IMPORTS], [])
    check.expect("imports the C runtime and the kernel", {"kernel32.dll", "msvcrt.dll"} <= set(dlls), True)
    if machine in ("x86_64", "i686"):
        names = {i.name for entry in pe.DIRECTORY_ENTRY_IMPORT for i in entry.imports}
        check.expect("imports nothing newer than Windows Vista", sorted(names & AFTER_VISTA), [])


def resource_languages(pe, type_id):
    for resource_type in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if resource_type.id == type_id:
            for resource in resource_type.directory.entries:
                for language in resource.directory.entries:
                    yield resource, language


def check_version(pe, check, version):
    numbers, text = version_strings(version)
    fixed = pe.VS_FIXEDFILEINFO[0]
    packed = (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3])
    check.expect("file version", (fixed.FileVersionMS, fixed.FileVersionLS), packed)
    check.expect("product version", (fixed.ProductVersionMS, fixed.ProductVersionLS), packed)
    check.expect("flags mask", fixed.FileFlagsMask, 0x3F)
    check.expect("flags", fixed.FileFlags, 0)
    check.expect("OS: 32-bit Windows", fixed.FileOS, 0x4)
    check.expect("type: DLL", fixed.FileType, 0x2)
    check.expect("subtype", fixed.FileSubtype, 0)
    check.expect("version resource language",
                 [language.id for _, language in resource_languages(pe, RT_VERSION)], [LANG_EN_US])

    string_tables, translations = [], []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            string_tables += info.StringTable
        elif info.Key == b"VarFileInfo":
            translations += [var.entry for var in info.Var]
    check.expect("string blocks", [table.LangID for table in string_tables], [b"040904B0"])
    values = {k.decode(): v.decode() for k, v in string_tables[0].entries.items()} if string_tables else {}
    copyright_text = values.get("LegalCopyright", "")
    check.expect("LegalCopyright names the project", "TarveloImageTGA" in copyright_text, True)
    check.expect("string block values", values, {
        "CompanyName": "",
        "FileDescription": "TarveloImageTGA DLL",
        "FileVersion": text,
        "InternalName": "TarveloImageTGA",
        "LegalCopyright": copyright_text,
        "LegalTrademarks": "",
        "OriginalFilename": "TarveloImageTGA.DLL",
        "ProductName": "TarveloImageTGA Dynamic Link Library",
        "ProductVersion": text,
        "OLESelfRegister": "",
    })
    check.expect("translation", translations, [{b"Translation": "0x0409 0x04b0"}])


def check_string_table(pe, check):
    strings, languages = {}, []
    for resource, language in resource_languages(pe, RT_STRING):
        languages.append(language.id)
        strings.update(getattr(resource.directory, "strings", {}))
    check.expect("string table language", languages, [LANG_EN_US])
    check.expect("string table", strings, {101: "Windows sockets initialization failed."})


def main():
    if len(sys.argv) not in (3, 4) or (len(sys.argv) == 4 and sys.argv[3] not in MACHINES):
        print(__doc__, file=sys.stderr)
        return 2
    machine_key = sys.argv[3] if len(sys.argv) == 4 else "x86_64"
    machine_name, machine, magic = MACHINES[machine_key]
    pe = pefile.PE(sys.argv[1])
    check = Checker()
    check.expect(f"machine: {machine_name}", pe.FILE_HEADER.Machine, machine)
    check.expect(f"optional header magic ({machine_name})", pe.OPTIONAL_HEADER.Magic, magic)
    check.expect("is a DLL", pe.is_dll(), True)
    check_exports(pe, check)
    check_imports(pe, check, machine_key)
    check_version(pe, check, sys.argv[2])
    check_string_table(pe, check)
    if check.failures:
        print(f"{len(check.failures)} check(s) failed: {', '.join(check.failures)}")
        return 1
    print("DLL image: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
