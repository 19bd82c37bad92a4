#!/usr/bin/env bash
# ARM Linux jobs: cross-builds the library, the tool and the tests with Debian's
# cross compilers (warnings as errors) and runs the whole suite under qemu-user,
# which CTest starts each test program through. No target packages are needed:
# GoogleTest is built from its source (googletest), stb and CLI11 are headers.
# Builds through the aarch64 and armhf presets, into build/<architecture>.
# aarch64-clang builds the aarch64 library (where the NEON routines are) with clang
# 14 instead, warnings as errors, without running it: clang's NEON intrinsics
# differ from GCC's (some are macros). The x86 clang presets cover the rest.
# Usage: .ci/arm.sh [aarch64|armhf|aarch64-clang ...]   (default: aarch64 armhf)
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
    aarch64-clang) triplet=aarch64-linux-gnu ;;
    *) echo "unknown architecture: $architecture" >&2; exit 2 ;;
  esac
  bash scripts/install-deps.sh "g++-$triplet" qemu-user googletest clang-14 lld-14
  cmake --preset "$architecture" >/dev/null
  if [ "$architecture" = aarch64-clang ]; then
    cmake --build --preset "$architecture" -j "$(nproc)" --target TarveloImageTGA
  else
    cmake --build --preset "$architecture" -j "$(nproc)"
    ctest --preset "$architecture" -j "$(nproc)"
  fi
  echo "$architecture job: passed in $(($(date +%s) - started)) s"
done
