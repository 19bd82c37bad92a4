#!/usr/bin/env bash
# ARM Linux jobs: cross-builds the library, the tool and the tests with Debian's
# cross compilers (warnings as errors) and runs the whole suite under qemu-user,
# which CTest starts each test program through. No target packages are needed:
# GoogleTest is built from its source (googletest), stb and CLI11 are headers.
# Builds through the aarch64 and armhf presets, into build/<architecture>.
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
  cmake --preset "$architecture" >/dev/null
  cmake --build --preset "$architecture" -j "$(nproc)"
  ctest --preset "$architecture" -j "$(nproc)"
  echo "$architecture job: passed in $(($(date +%s) - started)) s"
done
