#!/usr/bin/env bash
# Cross-builds the Windows DLL with MinGW-w64: installs what it needs, then builds
# <build directory>/bin/TarveloImageTGA.dll (64-bit, runtime linked in).
# Usage: scripts/build-windows.sh [build directory, default build-windows] [CMake options...]
# The tests are off unless asked for (-DTARVELO_BUILD_TESTS=ON; .ci/windows.sh runs them under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-windows}
shift || true
bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
      -DCMAKE_BUILD_TYPE=Release -DTARVELO_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
echo "built: $build_dir/bin/TarveloImageTGA.dll"
