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

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-arm64/CMakeCache.txt)
/usr/bin/python3 tests/windows/check_dll_image.py build/windows-armv7/bin/TarveloImageTGA.dll "$version" armv7
/usr/bin/python3 tests/windows/check_dll_image.py build/windows-arm64/bin/TarveloImageTGA.dll "$version" arm64

# The host test in one arm64 Wine session, in a copy of the prefix that
# scripts/wine-arm64.sh made once. Under qemu the server's SIGKILL for a process
# that has ended often lands before qemu has exited, so the exit status says
# nothing: GoogleTest's XML report decides, and no report is a failure.
server=$(dirname "$wine_arm64")/wineserver
export WINEPREFIX=$PWD/build/windows-arm64/wine-prefix WINEARCH=win64 WINEDEBUG=-all LC_ALL=C.UTF-8 \
       "WINEDLLOVERRIDES=mscoree,mshtml="
trap '"$server" -k >/dev/null 2>&1 || true' EXIT
"$server" -k >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
cp -a "$(dirname "$wine_arm64")/../prefix" "$WINEPREFIX"
# qemu's -L root also answers for "/", so Wine's Z: drive would be the Wine tree:
# drive D: is this checkout, the programs' paths and the report's.
ln -sfn "$PWD" "$WINEPREFIX/dosdevices/d:"
# Bounded, so that an emulated Wine that hangs fails the job instead of stalling CI.
"$server" -p >/dev/null 2>&1 </dev/null
timeout 600 "$wine_arm64" cmd /c exit >/dev/null 2>&1 </dev/null || true
echo "windows-arm job: arm64 Wine session ready in $(($(date +%s) - started)) s"
report=build/windows-arm64/dll_host_tests.xml
rm -f "$report"
timeout 900 "$wine_arm64" 'D:\build\windows-arm64\bin\tarvelo_dll_host_tests.exe' --gtest_color=no \
  '--gtest_output=xml:D:\build\windows-arm64\dll_host_tests.xml' </dev/null || true
if ! /usr/bin/python3 tests/windows/check_gtest_report.py "$report"; then
  echo "windows-arm job: the ARM64 host test did not pass (report: $report)" >&2
  exit 1
fi
echo "windows-arm job: ARM64 host test passed"
echo "windows-arm job: done in $(($(date +%s) - started)) s"
