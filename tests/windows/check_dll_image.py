#!/usr/bin/python3
"""Checks the built Windows DLL from the outside, as a host's loader sees it: the
module name and the exports with their ordinals, the version record, the string
table, and the imported DLLs (only the system's own). Needs python3-pefile.

Usage: check_dll_image.py DLL VERSION [MACHINE]
  VERSION as the CMake project has it, e.g. 1.0.0.1; MACHINE x86_64 (the default,
  a PE32+ image), i686 (a PE32 image for 32-bit hosts), arm64 (PE32+), armv7
  (PE32, Thumb-2) or wince (Windows CE, ARMv4; TARVELO_WINCE_OBJDUMP names the
  arm-mingw32ce objdump that disassembles it).
"""
import os
import re
import subprocess
import sys

import pefile

EXPECTED_MODULE_NAME = b"TARVELOIMAGETGA.dll"
# The export list is written once, in the module-definition file: ordinal -> name.
def def_exports(name):
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", name)
    with open(path, encoding="ascii") as definitions:
        return {
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
    "wince": ("ARM (Windows CE)", pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_ARM"], pefile.OPTIONAL_HEADER_MAGIC_PE),
}
# Windows CE: the host framework by these ordinals only, the core library by name,
# without the names CE's core library does not export.
WINCE_FRAMEWORK_ORDINALS = [88, 315, 644, 655, 699]
WINCE_ABSENT = {b"MoveFileExW", b"_errno", b"_fseeki64", b"_ftelli64", b"time", b"__rt_sdiv64", b"__rt_udiv64",
                b"_fdopen", b"strerror_s", b"GetFinalPathNameByHandleW"}
WINCE_SUBSYSTEM = 9  # WINDOWS_CE_GUI
# Instructions after ARMv4 (ARMv5, v5TE, v6 and later), by mnemonic without its
# condition: StrongARM cannot run them.
AFTER_ARMV4 = re.compile(r"^(bx|blx|bxj|clz|bkpt|ldrd|strd|pld|pli|qd?add|qd?sub|smla[bt][bt]|smlaw[bt]|"
                         r"smul[bt][bt]|smulw[bt]|smlal[bt][bt]|ldrex\w*|strex\w*|clrex|rev\w*|[su]xt\w*|"
                         r"sel|ssat\w*|usat\w*|pkh\w*|mcrr2?|mrrc2?|ldc2|stc2|mcr2|mrc2|cdp2|cps\w*|srs\w*|rfe\w*|"
                         r"movw|movt|dmb|dsb|isb|udiv|sdiv|v\w+)(eq|ne|cs|cc|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?(\.\w+)?$")
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


def check_exports(pe, check, machine):
    exports = pe.DIRECTORY_ENTRY_EXPORT
    check.expect("export table module name", exports.name, EXPECTED_MODULE_NAME)
    actual = {symbol.ordinal: symbol.name for symbol in exports.symbols}
    expected = def_exports("TarveloImageTGA_wince.def" if machine == "wince" else "TarveloImageTGA.def")
    check.expect("exports (ordinal: name), nothing else", actual, expected)


def check_wince(pe, check, path):
    check.expect("subsystem: Windows CE", pe.OPTIONAL_HEADER.Subsystem, WINCE_SUBSYSTEM)
    imports = {entry.dll.decode(): entry.imports for entry in pe.DIRECTORY_ENTRY_IMPORT}
    check.expect("imported DLLs", sorted(imports), ["COREDLL.dll", "mfcce300.dll"])
    framework = imports.get("mfcce300.dll", [])
    check.expect("framework imports by ordinal only", [i.name for i in framework if i.name], [])
    check.expect("framework ordinals", sorted(i.ordinal for i in framework), WINCE_FRAMEWORK_ORDINALS)
    core = imports.get("COREDLL.dll", [])
    check.expect("core library imports by name only", [i.ordinal for i in core if not i.name], [])
    check.expect("nothing CE's core library lacks", sorted({i.name for i in core} & WINCE_ABSENT), [])
    # Literal pools sit between the functions: a word that a pc-relative load reads
    # is data, whatever it would decode as.
    objdump = os.environ.get("TARVELO_WINCE_OBJDUMP", "arm-mingw32ce-objdump")
    listing = subprocess.run([objdump, "-d", path], check=True, capture_output=True, text=True).stdout
    # So is a word that holds an address inside the image (a switch's jump table).
    lines = [re.match(r"^\s*([0-9a-f]+):\s+([0-9a-f]{8})\s+(\S+)", line) for line in listing.splitlines()]
    data = {int(address, 16) for address in re.findall(r"@ 0x([0-9a-f]+)", listing)}
    base, size = pe.OPTIONAL_HEADER.ImageBase, pe.OPTIONAL_HEADER.SizeOfImage
    later = sorted({m.group(3) for m in lines
                    if m and int(m.group(1), 16) not in data and not base <= int(m.group(2), 16) < base + size
                    and AFTER_ARMV4.match(m.group(3))})
    check.expect("no instruction after ARMv4", later, [])


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
    check_exports(pe, check, machine_key)
    if machine_key == "wince":
        check_wince(pe, check, sys.argv[1])
    else:
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
