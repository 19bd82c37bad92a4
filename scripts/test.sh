#!/usr/bin/env bash
# Installs the dependencies, builds everything with warnings as errors and runs the
# whole test suite. Usage: scripts/test.sh [build directory, default build]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
bash scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELO_WERROR=ON
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
