#!/usr/bin/env bash
# Cross-builds the Windows DLL with MinGW-w64 (the windows preset): installs what it
# needs, then builds build/windows/bin/TarveloImageTGA.dll (64-bit, runtime linked
# in). Only the DLL is built; .ci/windows.sh builds the tests too and runs them
# under Wine.
# Usage: scripts/build-windows.sh [extra CMake options for the configure step...]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix googletest
cmake --preset windows "$@" >/dev/null
cmake --build --preset windows -j "$(nproc)" --target TarveloImageTGA
echo "built: build/windows/bin/TarveloImageTGA.dll"
