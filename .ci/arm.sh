#!/usr/bin/env bash
# ARM Linux jobs: cross-builds the library, the tool and the tests with Debian's
# cross compilers (warnings as errors) and runs the whole suite under qemu-user,
# which CTest starts each test program through. No target packages are needed:
# GoogleTest is built from its source (googletest), stb and CLI11 are headers.
# Usage: .ci/arm.sh [aarch64|armhf ...]   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."

architectures=("$@")
if [ "${#architectures[@]}" -eq 0 ]; then
  architectures=(aarch64 armhf)
fi
for architecture in "${architectures[@]}"; do
  started=$(date +%s)
  case "$architecture" in
    aarch64) triplet=aarch64-linux-gnu ;;
    armhf) triplet=arm-linux-gnueabihf ;;
    *) echo "unknown architecture: $architecture" >&2; exit 2 ;;
  esac
  bash scripts/install-deps.sh "g++-$triplet" qemu-user googletest
  build_dir=build-$architecture-ci
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triplet.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DTARVELO_WERROR=ON -DTARVELO_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$build_dir" -j "$(nproc)"
  ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
  echo "$architecture job: passed in $(($(date +%s) - started)) s"
done
