#!/usr/bin/env python3
"""Writes a Windows zip's own README.md and its CMake package into a staged zip folder.

Usage: stage_extras.py ARCH VERSION DEF_FILE INCLUDE_DIR STAGE_DIR

ARCH is the zip's architecture name (x86_64, x86, arm64, armv7). The README's export table comes from the
module definition, so it lists exactly what the DLL exports; each export's header is found in INCLUDE_DIR.
"""

import pathlib
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent

# What each architecture's zip says about itself: the platform, its pointer size, the Windows it needs and the
# MinGW-w64 compiler prefix for it.
ARCHITECTURES = {
    "x86_64": ("64-bit x86 (x64)", 64, "Windows Vista or later, 64-bit (x64)", "x86_64-w64-mingw32"),
    "x86": ("32-bit x86", 32, "Windows Vista or later, 32-bit or 64-bit (x86)", "i686-w64-mingw32"),
    "arm64": ("64-bit ARM (ARM64)", 64, "Windows 10 or later on ARM64", "aarch64-w64-mingw32"),
    "armv7": ("32-bit ARM (ARMv7)", 32, "Windows 10 or later on 32-bit ARM (ARMv7)", "armv7-w64-mingw32"),
}


def exports(def_file: pathlib.Path) -> list[tuple[int, str]]:
    found = []
    for line in def_file.read_text().splitlines():
        match = re.match(r"\s+(\w+)\s+@(\d+)\s*$", line)
        if match:
            found.append((int(match.group(2)), match.group(1)))
    if not found:
        sys.exit(f"{def_file}: no exports found")
    return sorted(found)


def declaring_header(name: str, include_dir: pathlib.Path) -> str:
    for header in sorted(include_dir.glob("*.h")):
        if re.search(rf"TARVELO_CALL\s+{name}\s*\(", header.read_text()):
            return header.name
    sys.exit(f"{name} is exported but declared in no header of {include_dir}")


def fill(template: str, values: dict[str, str]) -> str:
    text = template
    for key, value in values.items():
        text = text.replace(f"@{key}@", value)
    left = re.findall(r"@[A-Z_]+@", text)
    if left:
        sys.exit(f"unfilled placeholders: {sorted(set(left))}")
    return text


def main() -> None:
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    arch, version, def_file, include_dir, stage = sys.argv[1:]
    if arch not in ARCHITECTURES:
        sys.exit(f"unknown architecture {arch!r}: add it to ARCHITECTURES in {__file__}")
    platform, bits, windows, triplet = ARCHITECTURES[arch]
    stage_dir = pathlib.Path(stage)
    include = pathlib.Path(include_dir)
    rows = [
        f"| {ordinal} | `{name}` | [`{header}`](include/{header}) |"
        for ordinal, name in exports(pathlib.Path(def_file))
        for header in [declaring_header(name, include)]
    ]
    values = {
        "VERSION": version,
        "MAJOR": version.split(".")[0],
        "NAME": stage_dir.name,
        "PLATFORM": platform,
        "BITS": str(bits),
        "POINTER_SIZE": str(bits // 8),
        "WINDOWS": windows,
        "MINGW_TRIPLET": triplet,
        "EXPORTS": "\n".join(rows),
    }
    (stage_dir / "README.md").write_text(fill((HERE / "README.md.in").read_text(), values))
    package = stage_dir / "lib" / "cmake" / "TarveloImageTGA"
    package.mkdir(parents=True, exist_ok=True)
    (package / "TarveloImageTGAConfig.cmake").write_text((HERE / "TarveloImageTGAConfig.cmake").read_text())
    (package / "TarveloImageTGAConfigVersion.cmake").write_text(
        fill((HERE / "TarveloImageTGAConfigVersion.cmake.in").read_text(), values)
    )


if __name__ == "__main__":
    main()
