#!/usr/bin/env bash
# ARM Windows job: builds (or reuses from the cache) the ARM64 and ARMv7 sysroots
# from Debian's source packages (scripts/windows-arm-sysroot.sh), cross-builds both
# DLLs with clang 14 and warnings as errors, checks both PE images from Linux, and
# runs the DLL host test on ARM64 under Debian's arm64 Wine through qemu-aarch64
# (scripts/wine-arm64.sh). The ARMv7 DLL is not run: docs/platforms.md says why.
# Builds through the windows-arm64 and windows-armv7 presets. Usage: .ci/windows-arm.sh
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

bash scripts/install-deps.sh googletest python3-pefile qemu-user
bash scripts/windows-arm-sysroot.sh aarch64 armv7 >/dev/null
echo "windows-arm job: sysroots ready in $(($(date +%s) - started)) s"
wine_arm64=$(bash scripts/wine-arm64.sh)
echo "windows-arm job: arm64 Wine ready in $(($(date +%s) - started)) s"

for preset in windows-arm64 windows-armv7; do
  TARVELO_WINE_ARM64=$wine_arm64 cmake --preset "$preset" >/dev/null
done
cmake --build --preset windows-armv7 -j 2 --target TarveloImageTGA
cmake --build --preset windows-arm64 -j 2 --target TarveloImageTGA tarvelo_dll_host_tests
echo "windows-arm job: built in $(($(date +%s) - started)) s"

ctest --preset windows-armv7
server=$(dirname "$wine_arm64")/wineserver
trap 'WINEPREFIX="$PWD/build/windows-arm64/wine-prefix" "$server" -k >/dev/null 2>&1 || true' EXIT
ctest --preset windows-arm64 --timeout 1500
echo "windows-arm job: passed in $(($(date +%s) - started)) s"
