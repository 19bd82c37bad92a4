#!/usr/bin/env bash
# Windows job (the windows preset, build/windows): cross-builds the DLL and its tests
# with warnings as errors, checks the DLL image from Linux (python3-pefile: module
# name, exports and ordinals, version record, string table, imports) and runs the
# Windows tests under Wine.
# Usage: .ci/windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build/windows
bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix googletest wine wine64 python3-pefile
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
/usr/bin/python3 tests/windows/check_dll_image.py "$build_dir/bin/TarveloImageTGA.dll" "$version"

# CTest starts the Wine session (prefix in the build directory, one persistent
# server) as the tests' setup and stops it as their cleanup; stop it here too in
# case the run is interrupted.
trap 'WINEPREFIX="$PWD/$build_dir/wine-prefix" wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --preset windows -j 2
