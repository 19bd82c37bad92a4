#!/usr/bin/env bash
# Sanitizer jobs, with clang 14 (presets asan and tsan, into build/asan and
# build/tsan):
#   1. the whole test suite (fuzz corpus replays included) under AddressSanitizer
#      and UndefinedBehaviorSanitizer, any report fatal: test preset asan (all but
#      the export-table, consumer and isolation tests), then asan-isolation (the
#      isolation tests, with AddressSanitizer's signal handlers off, as they crash
#      a worker on purpose); CMakePresets.json says why each is left out where;
#   2. the concurrency tests (CTest names matching "Concurren") under
#      ThreadSanitizer.
# Usage: .ci/sanitizers.sh [asan|tsan|all]   (default all)
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
jobs=$(nproc)
bash scripts/install-deps.sh clang-14 libclang-rt-14-dev

if [ "$which" = all ] || [ "$which" = asan ]; then
  echo "--- address + undefined: whole test suite"
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$jobs"
  ctest --preset asan -j "$jobs"
  ctest --preset asan-isolation -j "$jobs"
fi

if [ "$which" = all ] || [ "$which" = tsan ]; then
  echo "--- thread: concurrency tests"
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j "$jobs"
  ctest --preset tsan -j "$jobs"
fi
