#!/usr/bin/env bash
# Installs the dependencies, builds everything with warnings as errors and runs the
# whole test suite, through a CMake preset (CMakePresets.json) into build/<preset>.
# Usage: scripts/test.sh [preset: release (default) or portable]
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${1:-release}
bash scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
