#!/usr/bin/env bash
# Windows CE job: builds (or reuses from the cache) the CE assembler and linker from
# Debian's binutils source (scripts/wince-toolchain.sh), the CE DLL (wince-arm
# preset), checks its image (tests/windows/check_dll_image.py wince: imports, exports,
# resources, no instruction after ARMv4) and its deepest stack frame, then runs the
# stand-in CE loader's tests (tests/wince/) under qemu-arm on an emulated XScale
# (pxa270), against what the Linux library (release preset) makes of the same
# sources. Usage: .ci/wince.sh
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

tools=$(bash scripts/wince-toolchain.sh)/bin
echo "wince job: toolchain ready in $(($(date +%s) - started)) s"
cmake --preset wince-arm -DTARVELO_WINCE_TOOLS="$tools" >/dev/null
cmake --build --preset wince-arm -j 2
echo "wince job: image built in $(($(date +%s) - started)) s"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/wince-arm/CMakeCache.txt)
image=build/wince-arm/bin/TarveloImageTGA.dll
TARVELO_WINCE_OBJDUMP=$tools/arm-mingw32ce-objdump /usr/bin/python3 tests/windows/check_dll_image.py \
  "$image" "$version" wince

# CE threads start with 64 KiB of stack, and the loader's tests run every conversion
# on a stack of that size; no single frame may take most of it.
deepest=$(cat $(find build/wince-arm -name '*.su') | sort -t "$(printf '\t')" -k 2 -n | tail -n 1)
echo "wince job: deepest frame: $deepest"
[ "$(printf '%s' "$deepest" | cut -f 2)" -lt 49152 ] || { echo "a frame over 48 KiB" >&2; exit 1; }

# What the Linux library makes of the conformance set.
[ -f build/release/CMakeCache.txt ] || cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target TarveloImageTGA  # its errors are on stdout
rm -rf build/wince-arm/conformance
/usr/bin/python3 tests/wince/make_conformance.py build/release/src/libTarveloImageTGA.so build/wince-arm/conformance

mkdir -p build/wince-arm/loader
arm-linux-gnueabi-gcc -std=gnu11 -O1 -Wall -Wextra -Werror -march=armv5te -marm -D_FILE_OFFSET_BITS=64 \
  -o build/wince-arm/loader/ce_loader_test tests/wince/ce_loader.c tests/wince/ce_loader_test.c -lm
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
qemu-arm -cpu pxa270 -L /usr/arm-linux-gnueabi build/wince-arm/loader/ce_loader_test "$image" \
  build/wince-arm/conformance "$scratch"
echo "wince job: done in $(($(date +%s) - started)) s"
