#!/usr/bin/env bash
# Windows job: cross-builds the DLL and its tests with warnings as errors, checks
# the DLL image from Linux (python3-pefile: module name, exports and ordinals,
# version record, string table, imports) and runs the Windows tests under Wine.
# Usage: .ci/windows.sh [build directory, default build-windows-ci]
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

build_dir=${1:-build-windows-ci}
bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix googletest wine wine64 python3-pefile
bash scripts/build-windows.sh "$build_dir" -DTARVELO_BUILD_TESTS=ON -DTARVELO_WERROR=ON

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
/usr/bin/python3 tests/windows/check_dll_image.py "$build_dir/bin/TarveloImageTGA.dll" "$version"

# CTest starts the Wine session (prefix in the build directory, one persistent
# server) as the tests' setup and stops it as their cleanup; stop it here too in
# case the run is interrupted.
trap 'WINEPREFIX="$PWD/$build_dir/wine-prefix" wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --test-dir "$build_dir" --output-on-failure -j 2
echo "windows job: passed in $(($(date +%s) - started)) s"
